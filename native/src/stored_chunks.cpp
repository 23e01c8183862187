#include "stored_chunks.hpp"

#include "corvane/deflate.hpp"
#include "corvane/error.hpp"

#include <hdf5.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace corvane::detail {

namespace {

// Stream buffer a thread keeps between reads (the engine's own chunks are
// 64 KiB raw).
constexpr std::size_t kKeptStreamBytes = std::size_t{1} << 20;

// The calling thread's inflater and stream buffer, kept between reads: a
// daily append reads two tail chunks.
struct Inflating {
    ZlibDecompressor decompressor;
    std::vector<unsigned char> stream;
};

Inflating& calling_thread_inflating() {
    thread_local Inflating inflating;
    return inflating;
}

}  // namespace

namespace {

// The stream of the chunk at `offset` into `stream`, and HDF5's mask of the
// filters it skipped; false when it had better be read by HDF5.
bool read_chunk_stream(const Dataset& dataset, const hsize_t offset[1],
                       std::vector<unsigned char>& stream, std::uint32_t& filter_mask) {
    const hid_t id = dataset.handle().get();
    const std::size_t chunk_bytes = dataset.chunk_storage().rows * dataset.layout().itemsize();
    hsize_t stored = 0;
    // A size read from the file sizes no buffer beyond what a chunk of
    // this dataset can take compressed.
    if (H5Dget_chunk_storage_size(id, offset, &stored) < 0 || stored == 0 ||
        stored > ZlibDecompressor::stream_bound(chunk_bytes)) {
        H5Eclear2(H5E_DEFAULT);
        return false;
    }
    stream.resize(static_cast<std::size_t>(stored));
    if (H5Dread_chunk(id, H5P_DEFAULT, offset, &filter_mask, stream.data()) < 0) {
        H5Eclear2(H5E_DEFAULT);
        return false;
    }
    return true;
}

}  // namespace

bool read_stored_chunk(const Dataset& dataset, std::size_t first_row, unsigned char* raw) {
    const std::size_t chunk_bytes = dataset.chunk_storage().rows * dataset.layout().itemsize();
    const hsize_t offset[1] = {first_row};
    Inflating& inflating = calling_thread_inflating();
    std::uint32_t filter_mask = 0;
    bool read = read_chunk_stream(dataset, offset, inflating.stream, filter_mask);
    if (read && filter_mask != 0) {
        // Stored without deflate (a writer's optional filter that failed).
        read = inflating.stream.size() == chunk_bytes;
        if (read) std::memcpy(raw, inflating.stream.data(), chunk_bytes);
    } else if (read) {
        read = inflating.decompressor.decompress(inflating.stream.data(), inflating.stream.size(),
                                                 raw, chunk_bytes);
    }
    // A foreign file's large chunks leave no large buffer behind.
    if (inflating.stream.capacity() > kKeptStreamBytes) std::vector<unsigned char>().swap(inflating.stream);
    return read;
}

bool read_kept_chunk(const Dataset& dataset, std::size_t first_row, unsigned char* raw) {
    const std::size_t chunk_bytes = dataset.chunk_storage().rows * dataset.layout().itemsize();
    const std::size_t length = dataset.length();
    KeptChunk& kept = dataset.kept_chunk();
    if (kept.raw.size() == chunk_bytes && kept.first_row == first_row && kept.length == length) {
        std::memcpy(raw, kept.raw.data(), chunk_bytes);
        return true;
    }
    kept.raw.clear();
    if (!read_stored_chunk(dataset, first_row, raw)) return false;
    const std::size_t rows = std::min(dataset.chunk_storage().rows, length - std::min(length, first_row));
    const std::size_t itemsize = dataset.layout().itemsize();
    std::memset(raw + rows * itemsize, 0, chunk_bytes - rows * itemsize);
    kept.raw.assign(raw, raw + chunk_bytes);
    kept.first_row = first_row;
    kept.length = length;
    return true;
}

bool read_stored_stream(const Dataset& dataset, std::size_t first_row,
                        std::vector<unsigned char>& stream) {
    const hsize_t offset[1] = {first_row};
    std::uint32_t filter_mask = 0;
    return read_chunk_stream(dataset, offset, stream, filter_mask) && filter_mask == 0;
}

bool read_stored_rows(const Dataset& dataset, std::size_t first, std::size_t count,
                      unsigned char* out) {
    const ChunkStorage& storage = dataset.chunk_storage();
    if (!storage.direct) return false;
    const std::size_t itemsize = dataset.layout().itemsize();
    const std::size_t rows = storage.rows;
    std::vector<unsigned char> chunk;
    for (std::size_t at = first; at < first + count;) {
        const std::size_t begin_row = at - at % rows;
        const std::size_t end = std::min(begin_row + rows, first + count);
        unsigned char* to = out + (at - first) * itemsize;
        if (at == begin_row && end == begin_row + rows) {
            // A whole chunk inflates straight into place.
            if (!read_stored_chunk(dataset, begin_row, to)) return false;
        } else {
            chunk.resize(rows * itemsize);
            if (!read_kept_chunk(dataset, begin_row, chunk.data())) return false;
            std::memcpy(to, chunk.data() + (at - begin_row) * itemsize, (end - at) * itemsize);
        }
        at = end;
    }
    return true;
}

}  // namespace corvane::detail
