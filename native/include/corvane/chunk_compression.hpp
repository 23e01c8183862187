// Compression of a dataset's chunks by the engine: the libdeflate levels it
// uses and the compression of many chunks on several threads.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace corvane {

// libdeflate level of every chunk that is full. Its files must be no larger
// than HDF5's own deflate filter at zlib level 9 would make them, which the
// filter pipeline of every dataset still declares. Measured over 64 KiB
// chunks of the demo market (bench/engine_levels.py; size and time against
// zlib -9 alone over the same chunks, one thread):
//                  level 9          level 10         level 12
//   stock bars     1.003  0.65x     0.970  0.91x     0.966  1.24x
//   futures bars   1.002  0.49x     0.949  0.53x     0.943  0.77x
//   index bars     1.000  0.99x     0.925  0.49x     0.924  0.65x
//   ticks          1.039  0.45x     0.991  0.62x     0.984  0.85x
// Levels up to 9 are zlib-like greedy/lazy parsers that come out larger than
// zlib -9 on stock bars and ticks; 10 is the first near-optimal level and the
// fastest one that is never larger.
inline constexpr int kFullChunkLevel = 10;

// libdeflate level of a dataset's last chunk while it is only partly filled.
// The next append reads that chunk back and writes it again, so its size only
// lasts until then; compressing it fast makes a daily append several times
// cheaper (see chunking.hpp for the figures).
inline constexpr int kTailChunkLevel = 1;

// One chunk to compress: `chunk_bytes` raw bytes at `raw`, at `level`.
struct ChunkTask {
    const unsigned char* raw;
    int level;
};

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
