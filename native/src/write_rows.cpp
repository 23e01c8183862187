#include "write_rows.hpp"

#include "stored_chunks.hpp"

#include "corvane/chunk_compression.hpp"
#include "corvane/datatype.hpp"
#include "corvane/error.hpp"
#include "corvane/tail_stream.hpp"

#include <hdf5.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace corvane::detail {

namespace {

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
// them. A growing dataset's last chunk that an append only adds rows to is
// instead extended as stored, when it is a tail stream: its stream is then
// ready without compression work.
class ChunkPlan {
public:
    ChunkPlan(const Dataset& dataset, const ChunkStorage& storage, std::size_t first_row,
              const RecordsView& records, LastChunk last_chunk)
        : chunk_rows_(storage.rows), itemsize_(records.layout.itemsize()) {
        const std::size_t chunk_rows = chunk_rows_;
        const std::size_t length = dataset.length();
        const std::size_t end = first_row + records.rows;
        const std::size_t first_chunk = first_row / chunk_rows;
        const std::size_t final_chunk = (end - 1) / chunk_rows;
        const auto* bytes = static_cast<const unsigned char*>(records.bytes);
        for (std::size_t chunk = first_chunk; chunk <= final_chunk; ++chunk) {
            const std::size_t begin_row = chunk * chunk_rows;
            const std::size_t stored_end = std::min(begin_row + chunk_rows, length);
            const std::size_t new_begin = std::max(first_row, begin_row);
            const std::size_t new_end = std::min(end, begin_row + chunk_rows);
            const bool full = stored_end == begin_row + chunk_rows;
            const bool tail = !full && last_chunk == LastChunk::grows;
            const unsigned char* new_rows = bytes + (new_begin - first_row) * itemsize_;
            if (new_begin == begin_row && new_end == begin_row + chunk_rows) {
                add({new_rows, kFullChunkLevel}, begin_row);
                continue;
            }
            const std::size_t added = (new_end - new_begin) * itemsize_;
            if (tail && new_begin > begin_row && new_end == stored_end &&
                added >= kMinSegmentBytes && read_stored_stream(dataset, begin_row, stored_) &&
                extend_tail(calling_thread_compressor(kTailChunkLevel), stored_,
                            (new_begin - begin_row) * itemsize_, new_rows, added, chunk_bytes(),
                            ready_)) {
                ready_row_ = begin_row;
                has_ready_ = true;
                continue;
            }
            std::vector<unsigned char>& raw = chunk == first_chunk ? head_ : tail_;
            raw.resize(chunk_bytes());
            // Stored rows before and after the new ones stay as they are.
            const bool keeps_stored = new_begin > begin_row || stored_end > new_end;
            if (keeps_stored && read_kept_chunk(dataset, begin_row, raw.data())) {
                // Past the last row, zeros as HDF5 pads them, whatever the
                // stored chunk held there.
                std::memset(raw.data() + (stored_end - begin_row) * itemsize_, 0,
                            (begin_row + chunk_rows - stored_end) * itemsize_);
            } else {
                std::fill(raw.begin(), raw.end(), 0);
                if (new_begin > begin_row) {
                    dataset.read(begin_row, new_begin - begin_row, raw.data());
                }
                if (stored_end > new_end) {
                    dataset.read(new_end, stored_end - new_end,
                                 raw.data() + (new_end - begin_row) * itemsize_);
                }
            }
            std::memcpy(raw.data() + (new_begin - begin_row) * itemsize_, new_rows, added);
            if (tail) {
                // A tail stream only where a later append can extend it.
                const std::size_t rows_bytes = (stored_end - begin_row) * itemsize_;
                const bool extendable = has_room_for_a_segment(rows_bytes, chunk_bytes());
                add({raw.data(), kTailChunkLevel, extendable ? rows_bytes : 0}, begin_row);
            } else {
                add({raw.data(), kFullChunkLevel}, begin_row);
            }
        }
    }

    std::size_t chunk_bytes() const { return chunk_rows_ * itemsize_; }
    const std::vector<ChunkTask>& tasks() const { return tasks_; }
    // Chunks compressed at the full level: the ones worth more threads.
    std::size_t full_chunks() const { return full_chunks_; }
    // First row of task `i`'s chunk.
    hsize_t row_of(std::size_t i) const { return task_rows_[i]; }
    // The extended chunk's stream and first row, if there is one.
    const std::vector<unsigned char>* ready() const { return has_ready_ ? &ready_ : nullptr; }
    hsize_t ready_row() const { return ready_row_; }

private:
    void add(const ChunkTask& task, std::size_t begin_row) {
        tasks_.push_back(task);
        task_rows_.push_back(begin_row);
        if (task.level == kFullChunkLevel) ++full_chunks_;
    }

    std::size_t chunk_rows_;
    std::size_t itemsize_;
    std::vector<ChunkTask> tasks_;
    std::vector<hsize_t> task_rows_;
    std::size_t full_chunks_ = 0;
    std::vector<unsigned char> head_;
    std::vector<unsigned char> tail_;
    std::vector<unsigned char> stored_;  // the last chunk's stream as stored
    std::vector<unsigned char> ready_;   // ... extended by the write
    hsize_t ready_row_ = 0;
    bool has_ready_ = false;
};

void write_chunk(const Dataset& dataset, hsize_t first_row, const std::vector<unsigned char>& stream) {
    const hsize_t offset[1] = {first_row};
    if (H5Dwrite_chunk(dataset.handle().get(), H5P_DEFAULT, 0, offset, stream.size(),
                       stream.data()) < 0) {
        throw_with_hdf5_message<IoError>("unable to write the chunk at row " +
                                         std::to_string(first_row) + " of " + dataset.where());
    }
}

void write_chunks(const Dataset& dataset, const ChunkStorage& storage, std::size_t first_row,
                  const RecordsView& records, LastChunk last_chunk) {
    const ChunkPlan plan(dataset, storage, first_row, records, last_chunk);
    if (const std::vector<unsigned char>* stream = plan.ready()) {
        write_chunk(dataset, plan.ready_row(), *stream);
    }
    compress_in_order(plan.tasks(), plan.chunk_bytes(), compression_threads(plan.full_chunks()),
                      [&](std::size_t i, const std::vector<unsigned char>& stream) {
                          write_chunk(dataset, plan.row_of(i), stream);
                      });
}

}  // namespace

void write_rows(const Dataset& dataset, std::size_t first_row, const RecordsView& records,
                LastChunk last_chunk) {
    if (records.rows == 0) return;
    // The plan may still use the kept chunk; what is written, or half
    // written when the write fails, no kept copy may hide.
    struct ForgetKeptChunk {
        const Dataset& dataset;
        ~ForgetKeptChunk() { dataset.kept_chunk().raw.clear(); }
    } forget{dataset};
    const ChunkStorage& storage = dataset.chunk_storage();
    if (storage.direct) {
        write_chunks(dataset, storage, first_row, records, last_chunk);
    } else {
        write_through_filters(dataset, dataset.memory_type(), first_row, records);
    }
}

}  // namespace corvane::detail
