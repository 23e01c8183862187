#include "stored_chunks.hpp"

#include "corvane/deflate.hpp"
#include "corvane/error.hpp"

#include <hdf5.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

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
    std::vector<unsigned char> spare;  // a filter's output
};

Inflating& calling_thread_inflating() {
    thread_local Inflating inflating;
    return inflating;
}

}  // namespace

namespace {

// What reading a chunk's stored bytes found.
enum class Stored { read, absent, oversized };

// HDF5 serves one call at a time, and a thread that finds its lock taken
// sleeps until woken, which costs more than the few microseconds a chunk's
// stream takes: the reading threads take turns here first, and one that finds
// the turn taken tries again for a while before it sleeps.
class StreamTurn {
public:
    void lock() {
        if (mutex_.try_lock()) return;
        const auto until = std::chrono::steady_clock::now() + kTrying;
        while (!mutex_.try_lock()) {
            if (std::chrono::steady_clock::now() > until) {
                mutex_.lock();
                return;
            }
        }
    }
    void unlock() { mutex_.unlock(); }

private:
    // Some ten streams' worth: longer means the holder is not running.
    static constexpr std::chrono::microseconds kTrying{50};
    std::mutex mutex_;
};

StreamTurn& stream_turn() {
    static StreamTurn turn;
    return turn;
}

// The stored bytes of the chunk at `offset` into `stream`, and HDF5's mask
// of the filters it skipped. A size read from the file sizes no buffer
// beyond what a chunk of this dataset can take through its filters.
Stored read_chunk_stream(const Dataset& dataset, const hsize_t offset[1],
                         std::vector<unsigned char>& stream, std::uint32_t& filter_mask) {
    const hid_t id = dataset.handle().get();
    const std::size_t chunk_bytes = dataset.chunk_storage().rows * dataset.layout().itemsize();
    const std::size_t bound =
        ZlibDecompressor::stream_bound(chunk_bytes + 4 * dataset.chunk_storage().filters.size());
    hsize_t stored = 0;
    std::lock_guard<StreamTurn> turn(stream_turn());
    if (H5Dget_chunk_storage_size(id, offset, &stored) < 0 || stored == 0) {
        H5Eclear2(H5E_DEFAULT);
        return Stored::absent;
    }
    if (stored > bound) return Stored::oversized;
    stream.resize(static_cast<std::size_t>(stored));
    if (H5Dread_chunk(id, H5P_DEFAULT, offset, &filter_mask, stream.data()) < 0) {
        H5Eclear2(H5E_DEFAULT);
        return Stored::absent;
    }
    return Stored::read;
}

// Names the rows of the dataset the chunk holds, and what is wrong with it.
[[noreturn]] void damaged_chunk(const Dataset& dataset, std::size_t first_row, const std::string& what) {
    std::size_t end = first_row + dataset.chunk_storage().rows;
    try {
        end = std::min(end, dataset.length());
    } catch (const Error&) {
        // The chunk's own rows are named then.
    }
    throw DamagedFileError("the chunk of rows " + std::to_string(first_row) + " to " + std::to_string(end) + " of " +
                           dataset.where() + " cannot be read: it " + what);
}

// HDF5's Fletcher-32 of a chunk's filtered bytes: of 16-bit big-endian
// words, an odd last byte as a word's high byte.
std::uint32_t fletcher32(const unsigned char* data, std::size_t size) {
    std::uint32_t sum1 = 0, sum2 = 0;
    for (std::size_t words = size / 2; words > 0;) {
        std::size_t run = std::min<std::size_t>(words, 360);  // no 32-bit sum overflows in a run
        words -= run;
        for (; run > 0; --run, data += 2) {
            sum1 += static_cast<std::uint32_t>(data[0]) << 8 | data[1];
            sum2 += sum1;
        }
        sum1 = (sum1 & 0xffff) + (sum1 >> 16);
        sum2 = (sum2 & 0xffff) + (sum2 >> 16);
    }
    if (size % 2) {
        sum1 += static_cast<std::uint32_t>(*data) << 8;
        sum2 += sum1;
        sum1 = (sum1 & 0xffff) + (sum1 >> 16);
        sum2 = (sum2 & 0xffff) + (sum2 >> 16);
    }
    sum1 = (sum1 & 0xffff) + (sum1 >> 16);
    sum2 = (sum2 & 0xffff) + (sum2 >> 16);
    return sum2 << 16 | sum1;
}

// Undoes the shuffle filter: byte b of element e was stored at b * n + e.
void unshuffle(const std::vector<unsigned char>& in, std::size_t element, std::vector<unsigned char>& out) {
    out.resize(in.size());
    const std::size_t n = element ? in.size() / element : 0;
    for (std::size_t b = 0; b < element && n > 0; ++b) {
        for (std::size_t e = 0; e < n; ++e) out[e * element + b] = in[b * n + e];
    }
    std::copy(in.begin() + static_cast<std::ptrdiff_t>(n * element), in.end(),
              out.begin() + static_cast<std::ptrdiff_t>(n * element));
}

// Undoes `storage`'s filters (last first) on the stored bytes in `bytes`,
// each step checked: what stays in `bytes` is exactly what the first filter
// was given, or the chunk is refused. Every buffer is sized by the chunk,
// never by what a stream says of itself.
void undo_filters(const Dataset& dataset, std::size_t first_row, std::uint32_t filter_mask,
                  Inflating& inflating, std::size_t chunk_bytes) {
    const auto& filters = dataset.chunk_storage().filters;
    // What each filter was given: known up to the first deflate.
    std::vector<std::size_t> given(filters.size(), 0);
    bool known = true;
    std::size_t size = chunk_bytes;
    for (std::size_t i = 0; i < filters.size(); ++i) {
        given[i] = known ? size : 0;
        if (filter_mask >> i & 1) continue;
        if (filters[i].id == H5Z_FILTER_FLETCHER32) size += 4;
        if (filters[i].id == H5Z_FILTER_DEFLATE) known = false;
    }
    std::vector<unsigned char>& bytes = inflating.stream;
    std::vector<unsigned char>& spare = inflating.spare;
    for (std::size_t i = filters.size(); i-- > 0;) {
        if (filter_mask >> i & 1) continue;
        const int id = filters[i].id;
        if (id == H5Z_FILTER_FLETCHER32) {
            if (bytes.size() < 4) damaged_chunk(dataset, first_row, "is shorter than its checksum");
            const std::size_t body = bytes.size() - 4;
            const std::uint32_t sum = fletcher32(bytes.data(), body);
            const std::uint32_t stored = bytes[body] | bytes[body + 1] << 8 | bytes[body + 2] << 16 |
                                         static_cast<std::uint32_t>(bytes[body + 3]) << 24;
            if (sum != stored) damaged_chunk(dataset, first_row, "does not match its checksum");
            bytes.resize(body);
        } else if (id == H5Z_FILTER_DEFLATE) {
            if (given[i] == 0) damaged_chunk(dataset, first_row, "is deflated twice");
            spare.resize(given[i]);
            if (!inflating.decompressor.decompress(bytes.data(), bytes.size(), spare.data(), given[i])) {
                damaged_chunk(dataset, first_row,
                              "does not inflate to its " + std::to_string(given[i]) + " bytes");
            }
            bytes.swap(spare);
        } else if (id == H5Z_FILTER_SHUFFLE) {
            unshuffle(bytes, filters[i].element_size ? filters[i].element_size : dataset.layout().itemsize(),
                      spare);
            bytes.swap(spare);
        } else {
            damaged_chunk(dataset, first_row, "is stored through filter " + std::to_string(id) +
                                                  ", which corvane does not read");
        }
        if (given[i] != 0 && bytes.size() != given[i]) {
            damaged_chunk(dataset, first_row, "holds " + std::to_string(bytes.size()) + " bytes, not " +
                                                  std::to_string(given[i]));
        }
    }
    if (bytes.size() != chunk_bytes) {
        damaged_chunk(dataset, first_row, "holds " + std::to_string(bytes.size()) + " bytes, not " +
                                              std::to_string(chunk_bytes));
    }
}

// The chunk's records in the stored type converted in place to the layout's
// (of the same size: the layout is read from the stored type).
void convert_to_layout(const Dataset& dataset, std::size_t first_row, unsigned char* raw,
                       std::vector<unsigned char>& background) {
    const std::size_t rows = dataset.chunk_storage().rows;
    background.assign(rows * dataset.layout().itemsize(), 0);
    Handle stored(H5Dget_type(dataset.handle().get()), H5Tclose);
    if (!stored || H5Tget_size(stored.get()) != dataset.layout().itemsize() ||
        H5Tconvert(stored.get(), dataset.memory_type().handle().get(), rows, raw, background.data(),
                   H5P_DEFAULT) < 0) {
        H5Eclear2(H5E_DEFAULT);
        damaged_chunk(dataset, first_row, "holds records that do not convert to its layout");
    }
}

}  // namespace

void take_stream_turn() { stream_turn().lock(); }
void give_stream_turn() { stream_turn().unlock(); }

bool read_stored_chunk(const Dataset& dataset, std::size_t first_row, unsigned char* raw) {
    const ChunkStorage& storage = dataset.chunk_storage();
    const std::size_t chunk_bytes = storage.rows * dataset.layout().itemsize();
    const hsize_t offset[1] = {first_row};
    Inflating& inflating = calling_thread_inflating();
    std::uint32_t filter_mask = 0;
    switch (read_chunk_stream(dataset, offset, inflating.stream, filter_mask)) {
    case Stored::absent: return false;
    case Stored::oversized: damaged_chunk(dataset, first_row, "is stored larger than a chunk can be");
    case Stored::read: break;
    }
    if (storage.direct && filter_mask == 0) {
        // The engine's own chunks: one inflation, straight into place.
        if (!inflating.decompressor.decompress(inflating.stream.data(), inflating.stream.size(), raw,
                                               chunk_bytes)) {
            damaged_chunk(dataset, first_row, "does not inflate to its " + std::to_string(chunk_bytes) + " bytes");
        }
    } else {
        if (storage.unknown_filter) {
            damaged_chunk(dataset, first_row, "is stored through a filter corvane does not read");
        }
        undo_filters(dataset, first_row, filter_mask, inflating, chunk_bytes);
        std::memcpy(raw, inflating.stream.data(), chunk_bytes);
        if (!storage.same_type) convert_to_layout(dataset, first_row, raw, inflating.spare);
    }
    // A foreign file's large chunks leave no large buffer behind.
    if (inflating.stream.capacity() > kKeptStreamBytes) std::vector<unsigned char>().swap(inflating.stream);
    if (inflating.spare.capacity() > kKeptStreamBytes) std::vector<unsigned char>().swap(inflating.spare);
    return true;
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
    return read_chunk_stream(dataset, offset, stream, filter_mask) == Stored::read && filter_mask == 0;
}

bool read_stored_rows(const Dataset& dataset, std::size_t first, std::size_t count,
                      unsigned char* out) {
    const ChunkStorage& storage = dataset.chunk_storage();
    if (storage.rows == 0) return false;
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
