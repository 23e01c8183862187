// The one rule for the chunk size of every dataset the engine creates.
#pragma once

#include <cstddef>

namespace corvane {

// Raw bytes aimed at per chunk.
inline constexpr std::size_t kChunkTargetBytes = 64 * 1024;
// Largest chunk the engine reads or writes, in raw bytes. A chunk's size is
// read from the file, and reading or appending to a dataset holds a whole
// chunk (two, and their compressed forms, on an append) in memory: a
// foreign file with gigabyte chunks is refused rather than trusted.
inline constexpr std::size_t kMaxChunkBytes = std::size_t{16} << 20;

// Rows per chunk for records of `itemsize` bytes in a dataset created with
// `initial_rows` rows.
//
// Rule: as many whole records as fit in kChunkTargetBytes, at least one,
// whatever the initial size. The initial row count deliberately does not
// shrink the chunk: a minute-bar file created from a single day grows by
// appends for years and must not be stuck with tiny chunks; a small dataset
// written once (a tick day) costs only the compressed fill of one chunk.
//
// Why 64 KiB, measured on the demo market's minute bars (bench/engine.py chunks;
// CPU time of one thread; size at the full level against zlib -9 over 64 KiB
// chunks; "append" is the compression work of one day's append, with the last
// chunk at the fast level, median / 90th percentile over a year of days;
// "read" inflates the chunks holding one day):
//   stock bars, 240 a day       size    append           read
//     16 KiB ( 292 rows)        1.024   2.83 / 3.09 ms   0.09 ms
//     32 KiB ( 585 rows)        0.990   0.41 / 5.93 ms   0.12 ms
//     64 KiB (1170 rows)        0.968   0.61 / 10.4 ms   0.23 ms
//    128 KiB (2340 rows)        0.958   1.21 / 15.0 ms   0.34 ms
//    256 KiB (4681 rows)        0.952   1.92 / 2.44 ms   0.68 ms   (fills too rarely for p90)
//   futures bars, 345 a day: 0.985 / 0.963 / 0.949 / 0.942 / 0.939 for the same sizes.
// Compressing at the full level costs the same per byte at every size (about
// 0.15-0.19 s per MB), so a year of appends pays the same for the chunks that
// fill; what grows with the size is the daily rewrite of the last chunk, the
// work on a day a chunk fills and the cost of reading a day back. 64 KiB is
// within 1.7% of the size of 256 KiB chunks and 2-3% smaller than 16-32 KiB,
// reads a day in a quarter of a millisecond and holds about five days of
// stock bars.
std::size_t chunk_rows(std::size_t itemsize, std::size_t initial_rows);

// Rows per chunk of a minute-bar file's "index" (one 8-byte record per
// trading date), in place of chunk_rows(): 64 KiB would hold 32 years of
// dates, so that every daily append recompressed some 60 KiB of padding
// after the few KB in use (about 0.27 ms of a 3 ms append, bench/engine.py
// daily). 512 dates (4 KiB, two years) keep that padding small; the whole
// index of a 20-year file is ten such chunks, read as fast as one of 64 KiB.
inline constexpr std::size_t kIndexChunkRows = 512;

}  // namespace corvane
