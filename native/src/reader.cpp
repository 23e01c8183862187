#include "corvane/reader.hpp"

#include "corvane/error.hpp"
#include "fork_registry.hpp"
#include "reading_threads.hpp"
#include "root_members.hpp"
#include "stored_chunks.hpp"

#include <hdf5.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace corvane {

namespace {

// A rename over the file between our lock and HDF5's open would leave the
// lock on the old file; the open is then made again, a few times at most.
constexpr int kOpenAttempts = 8;

// Chunks a reading thread is worth: about 1 MiB of the engine's 64 KiB chunks,
// some 1 ms of inflating.
constexpr std::size_t kChunksPerThread = 16;

Handle unlocked_read_access() {
    // The lock is ours, taken on our own descriptor before the open: HDF5
    // taking it again on its own would add nothing.
    Handle fapl = unlocked_file_access();
    if (H5Pset_fclose_degree(fapl.get(), H5F_CLOSE_STRONG) < 0) {
        throw_with_hdf5_message<Error>("cannot set read-only file access properties");
    }
    return fapl;
}

// Whether HDF5's open file is the very file `descriptor` is locked on.
bool same_file(hid_t file, hid_t fapl, int descriptor) {
    void* vfd_handle = nullptr;
    struct stat ours {}, theirs {};
    if (H5Fget_vfd_handle(file, fapl, &vfd_handle) < 0 || vfd_handle == nullptr) {
        H5Eclear2(H5E_DEFAULT);
        return true;  // a driver without a descriptor: nothing to compare
    }
    const int hdf5_descriptor = *static_cast<int*>(vfd_handle);
    return ::fstat(descriptor, &ours) == 0 && ::fstat(hdf5_descriptor, &theirs) == 0 &&
           ours.st_dev == theirs.st_dev && ours.st_ino == theirs.st_ino;
}

// Takes the shared lock on `descriptor`, trying again for up to `wait`: a
// writer holds the file exclusively only in the instant it lands its changed
// pages in place, but another program's writer may hold it for as long as it
// has it open, and a read must not hang on that. 0, or the errno of the
// failure (EWOULDBLOCK when still held after `wait`).
int lock_shared(int descriptor, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        if (::flock(descriptor, LOCK_SH | LOCK_NB) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return errno;
        if (std::chrono::steady_clock::now() >= deadline) return EWOULDBLOCK;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(50));
    }
}

// An unchunked dataset is read whole: its declared length must fit in its
// file before a buffer is sized by it.
void check_unchunked_fits(const Dataset& dataset, std::size_t rows) {
    Handle file(H5Iget_file_id(dataset.handle().get()), H5Fclose);
    hsize_t file_size = 0;
    if (!file || H5Fget_filesize(file.get(), &file_size) < 0) {
        throw_with_hdf5_message<IoError>("unable to read the size of the file of " + dataset.where());
    }
    if (rows > file_size / std::max<std::size_t>(1, dataset.layout().itemsize())) {
        throw DamagedFileError(dataset.where() + " declares " + std::to_string(rows) +
                               " rows, more than its file of " + std::to_string(file_size) + " bytes holds");
    }
}

// A reader's dataset holds the rows its length promises, as far as can be
// seen before they are read: an unchunked one fits in its file, a chunked
// one has its last chunk stored (the others are checked as they are read).
void check_length_stored(const Dataset& dataset) {
    ErrorPrintingOff quiet;
    const std::size_t length = dataset.length();
    const std::size_t rows = dataset.chunk_storage().rows;
    if (rows == 0) return check_unchunked_fits(dataset, length);
    if (length == 0) return;
    const hsize_t offset[1] = {(length - 1) / rows * rows};
    hsize_t stored = 0;
    if (H5Dget_chunk_storage_size(dataset.handle().get(), offset, &stored) < 0 || stored == 0) {
        H5Eclear2(H5E_DEFAULT);
        throw DamagedFileError(dataset.where() + " holds " + std::to_string(length) + " rows, but not the chunk of row " +
                               std::to_string(length - 1));
    }
}

}  // namespace

ReadOnlyFile::ReadOnlyFile(std::string path, std::chrono::milliseconds lock_wait)
    : path_(std::move(path)) {
    ErrorPrintingOff quiet;
    if (path_.empty() || path_.find('\0') != std::string::npos) {
        throw FileError("invalid file name '" + path_ + "'");
    }
    const Handle fapl = unlocked_read_access();
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        if (ForkRegistry::open_lock(path_, &descriptor_) < 0) {
            throw FileError("unable to open file '" + path_ + "' (" + std::strerror(errno) + ")");
        }
        const int error = lock_shared(descriptor_, lock_wait);
        if (error == EWOULDBLOCK) {
            release();
            throw BusyError("unable to lock file '" + path_ + "' for reading (another process holds it for writing)");
        }
        if (error != 0) {
            release();
            throw FileError("unable to lock file '" + path_ + "' for reading (" + std::strerror(error) + ")");
        }
        handle_ = Handle(H5Fopen(path_.c_str(), H5F_ACC_RDONLY, fapl.get()), H5Fclose);
        if (!handle_) {
            const std::string hdf5 = take_hdf5_error_message();
            release();
            throw FileError("unable to open file '" + path_ + "'" + (hdf5.empty() ? "" : " (" + hdf5 + ")"));
        }
        if (same_file(handle_.get(), fapl.get(), descriptor_)) return;
        release();
    }
    throw FileError("unable to open file '" + path_ + "' (replaced again and again while opening)");
}

ReadOnlyFile::~ReadOnlyFile() { release(); }

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : path_(std::move(other.path_)), handle_(std::move(other.handle_)) {
    ForkRegistry::move_lock(&other.descriptor_, &descriptor_);
}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        release();
        path_ = std::move(other.path_);
        handle_ = std::move(other.handle_);
        ForkRegistry::move_lock(&other.descriptor_, &descriptor_);
    }
    return *this;
}

void ReadOnlyFile::release() noexcept {
    // HDF5 lets go of the file before the lock goes: a writer that then
    // lands pages in place finds no reader inside.
    if (handle_ && !handle_.close()) H5Eclear2(H5E_DEFAULT);
    ForkRegistry::close_lock(&descriptor_);  // drops the lock
}

void ReadOnlyFile::close() noexcept { release(); }

std::vector<std::string> ReadOnlyFile::members() const {
    if (!handle_) throw ArgumentError("file '" + path_ + "' is closed");
    ErrorPrintingOff quiet;
    return detail::root_member_names(handle_.get(), path_);
}

bool ReadOnlyFile::contains(const std::string& name) const {
    if (!handle_) throw ArgumentError("file '" + path_ + "' is closed");
    if (!is_member_name(name)) return false;
    ErrorPrintingOff quiet;
    const htri_t exists = H5Lexists(handle_.get(), name.c_str(), H5P_DEFAULT);
    if (exists < 0) throw_with_hdf5_message<IoError>("unable to look up '" + name + "' in '" + path_ + "'");
    return exists > 0;
}

Dataset ReadOnlyFile::dataset(const std::string& name) const {
    if (!handle_) throw ArgumentError("file '" + path_ + "' is closed");
    Dataset dataset = Dataset::open(handle_, path_, name);
    check_length_stored(dataset);
    return dataset;
}

// ---------------------------------------------------------------- by column

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date (Howard Hinnant's
// days_from_civil).
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Nanoseconds past midnight of a tick's HHMMSSmmm, each part as written.
std::int64_t clock_ns(std::uint32_t clock) {
    const std::int64_t ms = std::int64_t{clock} / 10000000 * 3600000 + clock / 100000 % 100 * 60000 +
                            clock / 1000 % 100 * 1000 + clock % 1000;
    return ms * 1000000;
}

// Stores an 8-byte value, past the caches when `PastCache`: a large read's
// columns are written once and are larger than the caches, and fetching each
// line before overwriting it would double the memory traffic. Such stores
// are ordered by store_fence() before another thread may see them.
template <bool PastCache>
inline void store8(unsigned char* out, std::int64_t value) {
#if defined(__x86_64__)
    if constexpr (PastCache) return _mm_stream_si64(reinterpret_cast<long long*>(out), value);
#endif
    std::memcpy(out, &value, 8);
}

// Columns larger than this are stored past the caches: a table of a few
// megabytes is still in them when its caller reads it.
constexpr std::size_t kPastCacheBytes = std::size_t{16} << 20;

inline void store_fence() {
#if defined(__x86_64__)
    _mm_sfence();
#endif
}

// Copies the field of rows [from, to) of the raw chunk `raw` (whose first row
// is `chunk_first`) to `column`'s rows counted from `first`.
template <bool PastCache>
void scatter(const unsigned char* raw, std::size_t itemsize, std::size_t chunk_first, std::size_t from,
             std::size_t to, std::size_t first, const ColumnTarget& column) {
    const unsigned char* in = raw + (from - chunk_first) * itemsize + column.offset;
    const std::size_t out_size = column.decode == ColumnTarget::Decode::copy ? column.size : 8;
    unsigned char* out = static_cast<unsigned char*>(column.out) + (from - first) * out_size;
    const std::size_t rows = to - from;
    if (column.decode == ColumnTarget::Decode::bar_time_ns) {
        BarTimeDecoder decode;
        for (std::size_t r = 0; r < rows; ++r, in += itemsize, out += 8) {
            std::int64_t value;
            std::memcpy(&value, in, 8);
            store8<PastCache>(out, decode(value));
        }
        return;
    }
    if (column.decode == ColumnTarget::Decode::tick_time_ns) {
        // A day's ticks share their date: each date's midnight is found once.
        std::uint32_t day = 0;
        std::int64_t midnight = tick_time_ns(0, 0);
        for (std::size_t r = 0; r < rows; ++r, in += itemsize, out += 8) {
            std::uint32_t date, clock;
            std::memcpy(&date, in, 4);
            std::memcpy(&clock, in + 4, 4);
            if (date != day) {
                day = date;
                midnight = tick_time_ns(date, 0);
            }
            const std::int64_t ns = midnight == INT64_MIN ? INT64_MIN : midnight + clock_ns(clock);
            std::memcpy(out, &ns, 8);
        }
        return;
    }
    if (column.decode == ColumnTarget::Decode::divided) {
        for (std::size_t r = 0; r < rows; ++r, in += itemsize, out += 8) {
            std::int32_t value;
            std::memcpy(&value, in, 4);
            const double quotient = static_cast<double>(value) / column.divisor;
            std::memcpy(out, &quotient, 8);
        }
        return;
    }
    // A fixed size per loop lets the compiler turn each copy into one move.
    switch (column.size) {
    case 8:
        for (std::size_t r = 0; r < rows; ++r, in += itemsize, out += 8) {
            std::int64_t value;
            std::memcpy(&value, in, 8);
            store8<PastCache>(out, value);
        }
        break;
    case 4:
        for (std::size_t r = 0; r < rows; ++r, in += itemsize, out += 4) std::memcpy(out, in, 4);
        break;
    default:
        for (std::size_t r = 0; r < rows; ++r, in += itemsize, out += column.size) {
            std::memcpy(out, in, column.size);
        }
    }
}

// Reads all `rows` of an unchunked dataset (which HDF5 stores without
// filters) into `raw`.
void read_unchunked(const Dataset& dataset, std::size_t rows, unsigned char* raw) {
    const hid_t id = dataset.handle().get();
    Handle file_space(H5Dget_space(id), H5Sclose);
    const hsize_t size[1] = {rows};
    Handle memory_space(H5Screate_simple(1, size, nullptr), H5Sclose);
    if (!file_space || !memory_space ||
        H5Dread(id, dataset.memory_type().handle().get(), memory_space.get(), file_space.get(), H5P_DEFAULT,
                raw) < 0) {
        throw_with_hdf5_message<IoError>("the rows of " + dataset.where() + " cannot be read");
    }
}

// ArgumentError unless every column fits in a record of `dataset`.
void check_columns(const Dataset& dataset, const std::vector<ColumnTarget>& columns) {
    const std::size_t itemsize = dataset.layout().itemsize();
    for (const ColumnTarget& column : columns) {
        // What a decode reads of the record: 8 bytes of a bar's or a tick's time, 4 of a divided field.
        const std::size_t size = column.decode == ColumnTarget::Decode::copy      ? column.size
                                 : column.decode == ColumnTarget::Decode::divided ? 4
                                                                                  : 8;
        if (column.size == 0 || column.offset > itemsize || size > itemsize - column.offset ||
            (column.decode != ColumnTarget::Decode::copy && column.size != size)) {
            throw ArgumentError("a column of " + std::to_string(column.size) + " bytes at offset " +
                                std::to_string(column.offset) + " does not fit the " +
                                std::to_string(itemsize) + "-byte records of " + dataset.where());
        }
    }
}

}  // namespace

std::int64_t bar_time_ns(std::int64_t value) {
    constexpr std::int64_t nat = INT64_MIN;
    if (value < 0) return nat;
    const std::int64_t date = value / 1000000, clock = value % 1000000;
    const std::int64_t y = date / 10000, m = date / 100 % 100, d = date % 100;
    const std::int64_t hh = clock / 10000, mm = clock / 100 % 100, ss = clock % 100;
    static constexpr std::int64_t month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // Years numpy's nanoseconds can hold (1678 to 2261), and a real clock.
    if (y < 1678 || y > 2261 || m < 1 || m > 12 || d < 1 ||
        d > month_days[m - 1] + (m == 2 && leap(y)) || hh > 23 || mm > 59 || ss > 59) {
        return nat;
    }
    const std::int64_t seconds = days_from_civil(y, m, d) * 86400 + hh * 3600 + mm * 60 + ss;
    return seconds * 1000000000;
}

std::int64_t tick_time_ns(std::uint32_t date, std::uint32_t clock) {
    const std::int64_t midnight = bar_time_ns(std::int64_t{date} * 1000000);
    return midnight == INT64_MIN ? INT64_MIN : midnight + clock_ns(clock);
}

void read_columns(const Dataset& dataset, std::size_t first, std::size_t count,
                  const std::vector<ColumnTarget>& columns, unsigned threads) {
    check_columns(dataset, columns);
    const std::size_t itemsize = dataset.layout().itemsize();
    std::size_t out_bytes = 0;
    for (const ColumnTarget& column : columns) {
        out_bytes += count * (column.decode == ColumnTarget::Decode::copy ? column.size : 8);
    }
    const bool past_cache = out_bytes > kPastCacheBytes;
    for_each_chunk(dataset, first, count, threads, [&](const ChunkRows& chunk) {
        for (const ColumnTarget& column : columns) {
            if (past_cache) {
                scatter<true>(chunk.raw, itemsize, chunk.chunk_first, chunk.from, chunk.to, first, column);
            } else {
                scatter<false>(chunk.raw, itemsize, chunk.chunk_first, chunk.from, chunk.to, first, column);
            }
        }
        if (past_cache) store_fence();
    });
}

void for_each_chunk(const Dataset& dataset, std::size_t first, std::size_t count, unsigned threads,
                    const std::function<void(const ChunkRows&)>& visit) {
    ErrorPrintingOff quiet;
    const std::size_t length = dataset.length();
    if (first > length || count > length - first) {
        throw ArgumentError("rows " + std::to_string(first) + " to " + std::to_string(first + count) +
                            " are outside " + dataset.where() + " (" + std::to_string(length) + " rows)");
    }
    // The dataset caches these on first use: made here, before any thread
    // reads them.
    const RecordLayout& layout = dataset.layout();
    const ChunkStorage& storage = dataset.chunk_storage();
    dataset.memory_type();
    const std::size_t itemsize = layout.itemsize();
    if (count == 0) return;
    if (storage.rows == 0) check_unchunked_fits(dataset, length);
    // An unchunked dataset is read as one piece.
    const std::size_t chunk_rows = storage.rows ? storage.rows : length;
    const std::size_t first_chunk = first / chunk_rows;
    const std::size_t chunks = (first + count - 1) / chunk_rows - first_chunk + 1;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    if (!hdf5_is_threadsafe()) threads = 1;  // its chunk reads must not overlap
    // A thread gets a share of at least kChunksPerThread chunks: the read
    // waits for its slowest thread, and on a busy machine one that is not
    // scheduled at once costs more than inflating a few chunks alone.
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, std::max<std::size_t>(1, chunks / kChunksPerThread)));

    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_mutex;
    auto work = [&] {
        ErrorPrintingOff thread_quiet;  // HDF5's printing is per thread
        try {
            std::vector<unsigned char> raw(chunk_rows * itemsize);
            for (std::size_t k; !failed && (k = next.fetch_add(1)) < chunks;) {
                const std::size_t chunk_first = (first_chunk + k) * chunk_rows;
                const std::size_t rows = std::min(chunk_rows, length - chunk_first);
                // The chunk's stream is read under HDF5's own lock; it
                // inflates outside it, beside the other threads.
                if (storage.rows == 0) {
                    read_unchunked(dataset, rows, raw.data());
                } else if (!detail::read_stored_chunk(dataset, chunk_first, raw.data())) {
                    // The engine stores every chunk it writes: a row HDF5
                    // would fill is a row the file lost.
                    throw DamagedFileError("the chunk of rows " + std::to_string(chunk_first) + " to " +
                                           std::to_string(chunk_first + rows) + " of " + dataset.where() +
                                           " cannot be read: it is not stored");
                }
                const std::size_t from = std::max(first, chunk_first);
                const std::size_t to = std::min(first + count, chunk_first + rows);
                visit(ChunkRows{raw.data(), chunk_first, from, to, k});
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
            failed = true;
        }
    };
    detail::run_on_threads(threads - 1, work);
    if (error) std::rethrow_exception(error);
}

}  // namespace corvane
