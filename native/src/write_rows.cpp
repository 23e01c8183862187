#include "write_rows.hpp"

#include "corvane/chunk_compression.hpp"
#include "corvane/datatype.hpp"
#include "corvane/error.hpp"

#include <hdf5.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace corvane::detail {

namespace {

// How a dataset stores its chunks, as far as writing them goes.
struct ChunkStorage {
    std::size_t rows = 0;
    // The engine may compress and write whole chunks itself: deflate is the
    // only filter, the stored type is byte for byte the records' layout and
    // the fill value is all zero bytes (what pads the last chunk).
    bool direct = false;
};

bool all_zero(const std::vector<unsigned char>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](unsigned char b) { return b == 0; });
}

ChunkStorage chunk_storage(const Dataset& dataset, const Datatype& memory_type,
                           std::size_t itemsize) {
    const hid_t id = dataset.handle().get();
    Handle dcpl(H5Dget_create_plist(id), H5Pclose);
    if (!dcpl) throw_with_hdf5_message<IoError>("unable to read the storage of " + dataset.where());
    ChunkStorage storage;
    hsize_t chunk[1] = {0};
    if (H5Pget_layout(dcpl.get()) != H5D_CHUNKED || H5Pget_chunk(dcpl.get(), 1, chunk) != 1) {
        H5Eclear2(H5E_DEFAULT);
        return storage;
    }
    storage.rows = static_cast<std::size_t>(chunk[0]);
    unsigned flags = 0;
    std::size_t n_values = 0;
    if (H5Pget_nfilters(dcpl.get()) != 1 ||
        H5Pget_filter2(dcpl.get(), 0, &flags, &n_values, nullptr, 0, nullptr, nullptr) !=
            H5Z_FILTER_DEFLATE) {
        H5Eclear2(H5E_DEFAULT);
        return storage;
    }
    Handle stored_type(H5Dget_type(id), H5Tclose);
    if (!stored_type || H5Tequal(stored_type.get(), memory_type.handle().get()) <= 0) {
        H5Eclear2(H5E_DEFAULT);
        return storage;
    }
    std::vector<unsigned char> fill(itemsize, 0xff);
    if (H5Pget_fill_value(dcpl.get(), memory_type.handle().get(), fill.data()) < 0) {
        H5Eclear2(H5E_DEFAULT);
        return storage;
    }
    storage.direct = all_zero(fill);
    return storage;
}

// Through HDF5's own filter pipeline: for datasets the engine did not make
// and cannot write chunk by chunk.
void write_through_filters(const Dataset& dataset, const Datatype& memory_type,
                           std::size_t first_row, const RecordsView& records) {
    Handle file_space(H5Dget_space(dataset.handle().get()), H5Sclose);
    if (!file_space) throw_with_hdf5_message<IoError>("unable to write " + dataset.where());
    const hsize_t start[1] = {first_row};
    const hsize_t count[1] = {records.rows};
    if (H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) < 0) {
        throw_with_hdf5_message<IoError>("unable to select rows of " + dataset.where());
    }
    Handle memory_space(H5Screate_simple(1, count, nullptr), H5Sclose);
    if (!memory_space) throw_with_hdf5_message<IoError>("unable to write " + dataset.where());
    if (H5Dwrite(dataset.handle().get(), memory_type.handle().get(), memory_space.get(),
                 file_space.get(), H5P_DEFAULT, records.bytes) < 0) {
        throw_with_hdf5_message<IoError>("unable to write " + std::to_string(records.rows) +
                                         " rows at row " + std::to_string(first_row) + " of " +
                                         dataset.where());
    }
}

// The chunks that rows [first_row, first_row + records.rows) fall into, each
// as the raw bytes to store. A chunk the records fill alone is read straight
// from them; the first and last chunk may also hold stored rows that the
// write keeps (the tail of an append's last chunk), and are assembled in a
// buffer of their own, with zeros after the dataset's last row as HDF5 pads
// them.
class ChunkPlan {
public:
    ChunkPlan(const Dataset& dataset, std::size_t chunk_rows, std::size_t first_row,
              const RecordsView& records, LastChunk last_chunk)
        : chunk_rows_(chunk_rows),
          itemsize_(records.layout.itemsize()),
          first_chunk_(first_row / chunk_rows) {
        const std::size_t length = dataset.length();
        const std::size_t end = first_row + records.rows;
        const std::size_t final_chunk = (end - 1) / chunk_rows;
        const auto* bytes = static_cast<const unsigned char*>(records.bytes);
        for (std::size_t chunk = first_chunk_; chunk <= final_chunk; ++chunk) {
            const std::size_t begin_row = chunk * chunk_rows;
            const std::size_t stored_end = std::min(begin_row + chunk_rows, length);
            const std::size_t new_begin = std::max(first_row, begin_row);
            const std::size_t new_end = std::min(end, begin_row + chunk_rows);
            const bool full = stored_end == begin_row + chunk_rows;
            const int level =
                full || last_chunk == LastChunk::final ? kFullChunkLevel : kTailChunkLevel;
            if (new_begin == begin_row && new_end == begin_row + chunk_rows) {
                tasks_.push_back({bytes + (new_begin - first_row) * itemsize_, level});
                if (level == kFullChunkLevel) ++full_chunks_;
                continue;
            }
            std::vector<unsigned char>& raw = chunk == first_chunk_ ? head_ : tail_;
            raw.assign(chunk_bytes(), 0);
            // Stored rows before and after the new ones stay as they are.
            if (new_begin > begin_row) {
                dataset.read(begin_row, new_begin - begin_row, raw.data());
            }
            if (stored_end > new_end) {
                dataset.read(new_end, stored_end - new_end,
                             raw.data() + (new_end - begin_row) * itemsize_);
            }
            std::memcpy(raw.data() + (new_begin - begin_row) * itemsize_,
                        bytes + (new_begin - first_row) * itemsize_,
                        (new_end - new_begin) * itemsize_);
            tasks_.push_back({raw.data(), level});
            if (level == kFullChunkLevel) ++full_chunks_;
        }
    }

    std::size_t chunk_bytes() const { return chunk_rows_ * itemsize_; }
    const std::vector<ChunkTask>& tasks() const { return tasks_; }
    // Chunks compressed at the full level: the ones worth more threads.
    std::size_t full_chunks() const { return full_chunks_; }
    // First row of the plan's chunk `i`.
    hsize_t row_of(std::size_t i) const { return (first_chunk_ + i) * chunk_rows_; }

private:
    std::size_t chunk_rows_;
    std::size_t itemsize_;
    std::size_t first_chunk_;
    std::vector<ChunkTask> tasks_;
    std::size_t full_chunks_ = 0;
    std::vector<unsigned char> head_;
    std::vector<unsigned char> tail_;
};

void write_chunks(const Dataset& dataset, std::size_t chunk_rows, std::size_t first_row,
                  const RecordsView& records, LastChunk last_chunk) {
    const ChunkPlan plan(dataset, chunk_rows, first_row, records, last_chunk);
    const hid_t id = dataset.handle().get();
    compress_in_order(plan.tasks(), plan.chunk_bytes(), compression_threads(plan.full_chunks()),
                      [&](std::size_t i, const std::vector<unsigned char>& stream) {
                          const hsize_t offset[1] = {plan.row_of(i)};
                          if (H5Dwrite_chunk(id, H5P_DEFAULT, 0, offset, stream.size(),
                                             stream.data()) < 0) {
                              throw_with_hdf5_message<IoError>(
                                  "unable to write the chunk at row " + std::to_string(offset[0]) +
                                  " of " + dataset.where());
                          }
                      });
}

}  // namespace

void write_rows(const Dataset& dataset, std::size_t first_row, const RecordsView& records,
                LastChunk last_chunk) {
    if (records.rows == 0) return;
    const Datatype memory_type = Datatype::from_layout(records.layout);
    const ChunkStorage storage = chunk_storage(dataset, memory_type, records.layout.itemsize());
    if (storage.direct) {
        write_chunks(dataset, storage.rows, first_row, records, last_chunk);
    } else {
        write_through_filters(dataset, memory_type, first_row, records);
    }
}

}  // namespace corvane::detail
