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
// filter pipeline of every dataset still declares. Levels up to 9 are greedy
// or lazy parsers that come out larger than zlib -9 on bars and ticks; 10 is
// the first near-optimal level, and the fastest of those (bench/engine.py
// levels compares them on the demo market).
inline constexpr int kFullChunkLevel = 10;

// libdeflate level of a dataset's last chunk while appends leave it partly
// filled. Its size lasts only until the chunk fills and is compressed again
// at kFullChunkLevel, so a daily append pays for the cheapest level only;
// and since the chunk is a tail stream (tail_stream.hpp), only for its own
// rows (bench/engine.py chunks and daily measure what that saves).
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
