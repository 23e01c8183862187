// Reading a bundle file back, without ever writing it: under the shared
// flock() an HDF5 reader takes, so that an update running beside writes a new
// version instead of changing this one in place, and with the chunks of a row
// range inflated by libdeflate on several threads.
#pragma once

#include "corvane/dataset.hpp"
#include "corvane/handle.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace corvane {

// How long a reader waits for the shared lock by default.
inline constexpr std::chrono::milliseconds kReaderLockWait{10000};

// One bundle file open for reading. The shared lock is taken before HDF5
// opens the file and held until close (or destruction), so the version read
// stays the same for as long as the object lives.
class ReadOnlyFile {
public:
    // Throws FileError naming the file when it cannot be opened, or is not
    // an HDF5 file, or another process still holds it exclusively after
    // `lock_wait` (a writer landing pages in place holds it for an instant).
    explicit ReadOnlyFile(std::string path, std::chrono::milliseconds lock_wait = kReaderLockWait);
    ~ReadOnlyFile();

    ReadOnlyFile(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    const std::string& path() const { return path_; }
    bool is_open() const { return static_cast<bool>(handle_); }
    // Closes the file, then lets go of the lock. Idempotent, never throws.
    void close() noexcept;

    // Names of the root group's members, in ascending byte order.
    std::vector<std::string> members() const;
    bool contains(const std::string& name) const;
    // Root member `name`; throws as Dataset::open.
    Dataset dataset(const std::string& name) const;

private:
    void release() noexcept;

    std::string path_;
    Handle handle_;
    int descriptor_ = -1;  // holds the shared lock
};

// Where one field of a dataset's records goes when rows are read by column.
struct ColumnTarget {
    enum class Decode {
        copy,         // the field's bytes as stored
        bar_time_ns,  // an "<i8" YYYYMMDDHHMMSS as nanoseconds since 1970 (UTC
                      // clock reading); a value that is no such time gives
                      // INT64_MIN, numpy's NaT
        tick_time_ns,  // a "<u4" YYYYMMDD and the "<u4" HHMMSSmmm right after
                       // it as nanoseconds since 1970, as tick_time_ns()
        divided,       // an "<i4" divided by `divisor`, as a double
    };
    std::size_t offset = 0;  // of the field in a record
    std::size_t size = 0;    // of the field: 1, 2, 4 or 8 bytes
    void* out = nullptr;     // count values of `size` bytes (8 unless copied)
    Decode decode = Decode::copy;
    double divisor = 1.0;    // of Decode::divided
};

// Reads rows [first, first + count) of `dataset` into `columns`. Only the
// chunks that overlap the rows are read; the engine's deflate chunks are
// inflated with libdeflate on up to `threads` threads (0: one per core), one
// for every 16 chunks at most, and one only when HDF5 is not threadsafe;
// others go through HDF5's filter pipeline.
// Throws ArgumentError when the rows lie outside the dataset or a column
// does not fit in a record, and IoError naming the dataset and the rows of a
// chunk that cannot be read.
void read_columns(const Dataset& dataset, std::size_t first, std::size_t count,
                  const std::vector<ColumnTarget>& columns, unsigned threads = 0);

// What for_each_chunk hands over of one chunk: its bytes, checked (stored,
// and inflated to exactly a chunk), the row its bytes start at, the rows of
// the range asked for that it holds, and its place among the range's chunks.
struct ChunkRows {
    const unsigned char* raw;
    std::size_t chunk_first;
    std::size_t from, to;
    std::size_t index;
};

// Rows [first, first + count) of `dataset` a chunk at a time, on threads as
// read_columns reads them: `visit` runs on any of them, each chunk once, in
// no particular order. Throws as read_columns; an exception from `visit`
// stops the others and is thrown again here.
void for_each_chunk(const Dataset& dataset, std::size_t first, std::size_t count, unsigned threads,
                    const std::function<void(const ChunkRows&)>& visit);

// A bar's YYYYMMDDHHMMSS as nanoseconds since 1970-01-01 00:00; INT64_MIN
// when it names no valid time.
std::int64_t bar_time_ns(std::int64_t value);

// bar_time_ns of bars that come a day at a time: each date is decoded once,
// and a bar a minute after the one before (the common case) costs one
// comparison.
class BarTimeDecoder {
public:
    std::int64_t operator()(std::int64_t value) {
        // The next minute of the same hour: the same seconds, a minute more.
        if (last_minute_ < 59 && value == last_ + 100) {
            last_ = value;
            ++last_minute_;
            return last_ns_ += 60 * std::int64_t{1000000000};
        }
        last_ = value;
        last_minute_ = kNoMinute;
        if (value < 0 || value / 1000000 != day_) {
            day_ = value < 0 ? -1 : value / 1000000;
            midnight_ = bar_time_ns(day_ * 1000000);
        }
        const std::int64_t clock = value - day_ * 1000000;
        const std::int64_t hh = clock / 10000, mm = clock / 100 % 100, ss = clock % 100;
        if (midnight_ == INT64_MIN || value < 0 || hh > 23 || mm > 59 || ss > 59) return last_ns_ = INT64_MIN;
        last_minute_ = mm;
        return last_ns_ = midnight_ + (hh * 3600 + mm * 60 + ss) * 1000000000;
    }

private:
    static constexpr std::int64_t kNoMinute = 99;  // the last value was no time
    std::int64_t day_ = -1, midnight_ = 0;
    std::int64_t last_ = INT64_MIN, last_minute_ = kNoMinute, last_ns_ = INT64_MIN;
};

// A tick's YYYYMMDD `date` and HHMMSSmmm `clock` as nanoseconds since
// 1970-01-01 00:00: the date's midnight plus the clock's hours, minutes,
// seconds and milliseconds, each as written (a clock is not checked: it only
// counts). INT64_MIN when `date` names no valid day.
std::int64_t tick_time_ns(std::uint32_t date, std::uint32_t clock);

}  // namespace corvane
