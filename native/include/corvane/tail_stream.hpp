// How the engine stores a growing dataset's last chunk, so that an append
// extends the stored stream instead of inflating the chunk and deflating
// all of it again.
//
// A tail stream is a zlib stream of the chunk's raw bytes laid out as:
//   the zlib header 78 01;
//   one segment per write that added rows: those rows' deflate blocks at
//     kTailChunkLevel, none of them final, then an empty stored block, which
//     ends on a byte boundary;
//   the zeros after the last row in one final fixed-Huffman block (a zero,
//     then copies of it), the same bytes for the same number of zeros;
//   the Adler-32 of the chunk's raw bytes.
// Any zlib reader inflates it. An append whose rows start where the stored
// ones end keeps every stored segment byte for byte, adds its own, and
// writes the zeros block and the checksum anew.
#pragma once

#include "corvane/deflate.hpp"

#include <cstddef>
#include <vector>

namespace corvane {

// The fewest bytes of rows worth a segment of their own: fewer deflate
// poorly alone, and a chunk of many small segments is larger than its raw
// bytes. A smaller append deflates the chunk's rows anew as one segment.
inline constexpr std::size_t kMinSegmentBytes = 4096;

// Whether a last chunk of `chunk_bytes` holding `rows_bytes` of rows has
// room for another segment. One without (a date index's 4 KiB chunk, say)
// is never extended, so it is deflated whole, which costs less.
inline bool has_room_for_a_segment(std::size_t rows_bytes, std::size_t chunk_bytes) {
    return rows_bytes < chunk_bytes && chunk_bytes - rows_bytes >= kMinSegmentBytes;
}

// Replaces `out` with the tail stream of a chunk of `chunk_bytes` whose
// first `rows_bytes` bytes are those at `rows` and the rest zeros.
// `compressor` deflates the rows.
void deflate_tail(const ZlibCompressor& compressor, const unsigned char* rows,
                  std::size_t rows_bytes, std::size_t chunk_bytes, std::vector<unsigned char>& out);

// Replaces `out` with `stored`, the tail stream of a chunk holding
// `stored_bytes` bytes of rows, extended by the `added` bytes at `rows`.
// False, with `out` undefined, when `stored` is not such a tail stream (a
// chunk deflated whole, by another writer or an earlier version) or
// `added` is under kMinSegmentBytes: the chunk must then be inflated and
// deflated anew.
bool extend_tail(const ZlibCompressor& compressor, const std::vector<unsigned char>& stored,
                 std::size_t stored_bytes, const unsigned char* rows, std::size_t added,
                 std::size_t chunk_bytes, std::vector<unsigned char>& out);

}  // namespace corvane
