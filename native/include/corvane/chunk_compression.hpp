// Compression of a dataset's chunks by the engine: the libdeflate levels it
// uses and the compression of many chunks on several threads.
#pragma once

#include "corvane/deflate.hpp"

#include <cstddef>
#include <functional>
#include <vector>

namespace corvane {

// libdeflate level of every chunk that is full. Its files must be no larger
// than HDF5's own deflate filter at zlib level 9 would make them, which the
// filter pipeline of every dataset still declares. Measured over 64 KiB
// chunks of the demo market, 12 MB of each kind (bench/engine.py levels;
// stored size / CPU time against zlib -9 over the same chunks, one thread):
//                  level 7          level 9          level 10         level 12
//   stock bars     1.008  0.27x     1.004  0.80x     0.968  0.98x     0.963  1.75x
//   futures bars   0.999  0.12x     1.002  0.55x     0.949  0.69x     0.943  0.91x
//   index bars     0.993  0.29x     1.000  0.95x     0.925  0.54x     0.924  0.78x
//   ticks          1.039  0.11x     1.041  0.46x     0.993  0.60x     0.986  0.86x
// Levels up to 9 are greedy or lazy parsers that come out larger than zlib -9
// on stock bars and ticks; 10 is the first near-optimal level, never larger
// at 16 to 256 KiB chunks, and the fastest such level. (On stock bars it
// saves little time: zlib -9 at 64 KiB is about as fast; the gain there is
// the threads.)
inline constexpr int kFullChunkLevel = 10;

// libdeflate level of a dataset's last chunk while appends leave it partly
// filled. Its size only lasts until the chunk fills (level 1 stores it about
// 12% larger than zlib -9 on stock bars). Compression work of one day's
// append of stock bars to a one-year file, the whole chunk compressed again,
// median over a year (bench/engine.py chunks): 0.61 ms at level 1, 0.95 ms
// at level 3, 8.2 ms at level 10. Since the chunk is a tail stream
// (tail_stream.hpp), an append compresses only its own rows: about 0.07 ms
// for a day of stock bars at level 1, where compressing the whole chunk
// again took 0.25 to 0.35 ms (most of it hashing the zero padding after the
// rows in use) after 0.06 to 0.12 ms inflating it. A whole engine call
// (open, append_minbar, close, crash-safety journal included;
// bench/engine.py daily, median): 8.8 ms through HDF5's filter at zlib -9
// at first, 1.25 to 1.4 ms with the chunk compressed whole, 0.93 ms now
// against 1.26 ms in the same run (a day on which a chunk fills still
// compresses it at the full level: 90th percentile about 11 ms).
inline constexpr int kTailChunkLevel = 1;

// One chunk to compress: `chunk_bytes` raw bytes at `raw`, at `level`. With
// `tail_bytes` set, the chunk is instead stored as a tail stream of its
// first `tail_bytes` bytes (tail_stream.hpp), at kTailChunkLevel.
struct ChunkTask {
    const unsigned char* raw;
    int level;
    std::size_t tail_bytes = 0;
};

// The calling thread's compressor at `level`, kept between writes.
const ZlibCompressor& calling_thread_compressor(int level);

// Number of threads for compressing `full_chunks` chunks at kFullChunkLevel:
// one (the calling thread) for fewer than two, otherwise one per chunk up to
// std::thread::hardware_concurrency().
unsigned compression_threads(std::size_t full_chunks);

// Compresses the `chunk_bytes` bytes of every task into a zlib stream and
// passes the streams to `write(task_number, bytes)` in task order, always on
// the calling thread (HDF5 is called from there). Up to `threads` threads
// compress, the calling thread among them, holding at most two streams per
// thread that wait to be written. The streams do not depend on `threads`.
// An exception thrown by `write` or by a compression stops the work and is
// rethrown here once every thread has ended.
void compress_in_order(
    const std::vector<ChunkTask>& tasks, std::size_t chunk_bytes, unsigned threads,
    const std::function<void(std::size_t, const std::vector<unsigned char>&)>& write);

}  // namespace corvane
