#include "corvane/tail_stream.hpp"

#include "corvane/error.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace corvane {

namespace {

// CMF 78 (deflate, 32 KiB window), FLG 01 (fastest level, no dictionary).
constexpr unsigned char kZlibHeader[2] = {0x78, 0x01};
// An empty stored block's length and its complement, after its header.
constexpr unsigned char kEmptyStored[4] = {0x00, 0x00, 0xff, 0xff};
// What follows a segment's blocks, their final mark cleared, to learn how
// they end: one zero byte and an empty stored block, then a final empty
// fixed-Huffman block (header bits 1, 01, then the 7-bit end code).
constexpr unsigned char kProbe[7] = {0x00, 0x00, 0x00, 0xff, 0xff, 0x03, 0x00};

constexpr std::uint32_t kAdlerModulus = 65521;
constexpr std::size_t kMaxStoredBlock = 65535;

// The Adler-32 of bytes followed by `zeros` zero bytes, from theirs: each
// zero adds the running sum of bytes to the second sum again.
std::uint32_t adler_with_zeros(std::uint32_t adler, std::uint64_t zeros) {
    const std::uint64_t low = adler & 0xffff;
    const std::uint64_t high = adler >> 16;
    const std::uint64_t grown = (high + (zeros % kAdlerModulus) * low) % kAdlerModulus;
    return static_cast<std::uint32_t>((grown << 16) | low);
}

// The Adler-32 of bytes without the `zeros` zero bytes that ended them.
std::uint32_t adler_without_zeros(std::uint32_t adler, std::uint64_t zeros) {
    const std::uint64_t low = adler & 0xffff;
    const std::uint64_t high = adler >> 16;
    const std::uint64_t added = (zeros % kAdlerModulus) * low % kAdlerModulus;
    const std::uint64_t shrunk = (high + kAdlerModulus - added) % kAdlerModulus;
    return static_cast<std::uint32_t>((shrunk << 16) | low);
}

void append_big_endian(std::uint32_t value, std::vector<unsigned char>& out) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

std::uint32_t big_endian_at(const unsigned char* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

// Deflate's bit order: values least significant bit first, Huffman codes
// most significant bit first, from a byte boundary.
class BitWriter {
public:
    explicit BitWriter(std::vector<unsigned char>& out) : out_(out) {}

    void put(std::uint32_t value, unsigned bits) {
        pending_ |= std::uint64_t{value} << count_;
        count_ += bits;
        for (; count_ >= 8; count_ -= 8, pending_ >>= 8) out_.push_back(static_cast<unsigned char>(pending_));
    }

    void put_code(std::uint32_t code, unsigned bits) {
        std::uint32_t reversed = 0;
        for (unsigned i = 0; i < bits; ++i) reversed |= ((code >> i) & 1u) << (bits - 1 - i);
        put(reversed, bits);
    }

    // Pads the last byte with zero bits.
    void finish() {
        if (count_ > 0) out_.push_back(static_cast<unsigned char>(pending_));
        pending_ = 0;
        count_ = 0;
    }

private:
    std::vector<unsigned char>& out_;
    std::uint64_t pending_ = 0;
    unsigned count_ = 0;
};

// A literal/length symbol in the fixed Huffman code.
void put_fixed_symbol(BitWriter& bits, unsigned symbol) {
    if (symbol < 144) {
        bits.put_code(0x30 + symbol, 8);
    } else if (symbol < 256) {
        bits.put_code(0x190 + (symbol - 144), 9);
    } else if (symbol < 280) {
        bits.put_code(symbol - 256, 7);
    } else {
        bits.put_code(0xc0 + (symbol - 280), 8);
    }
}

// A copy of `length` (3 to 258) bytes from one byte back.
void put_copy_of_previous(BitWriter& bits, unsigned length) {
    static constexpr unsigned kBase[29] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,
                                           15, 17, 19, 23, 27, 31, 35, 43,  51,  59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
    static constexpr unsigned kExtraBits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    unsigned code = 28;
    while (kBase[code] > length) --code;
    put_fixed_symbol(bits, 257 + code);
    bits.put(length - kBase[code], kExtraBits[code]);
    bits.put_code(0, 5);  // distance 1
}

// The final block that ends a tail stream with `zeros` zero bytes, from a
// byte boundary: the same bytes for the same count, so that an append can
// find where the segments end.
void append_zeros_block(std::size_t zeros, std::vector<unsigned char>& out) {
    BitWriter bits(out);
    bits.put(1, 1);  // final
    bits.put(1, 2);  // fixed Huffman codes
    if (zeros > 0) {
        put_fixed_symbol(bits, 0);
        std::size_t left = zeros - 1;
        for (; left >= 258; left -= 258) put_copy_of_previous(bits, 258);
        if (left >= 3) {
            put_copy_of_previous(bits, static_cast<unsigned>(left));
        } else {
            for (; left > 0; --left) put_fixed_symbol(bits, 0);
        }
    }
    put_fixed_symbol(bits, 256);
    bits.finish();
}

// The calling thread's buffers for making segments.
struct SegmentScratch {
    ZlibDecompressor decompressor;
    std::vector<unsigned char> blocks;
    std::vector<unsigned char> inflated;
};

SegmentScratch& calling_thread_scratch() {
    thread_local SegmentScratch scratch;
    return scratch;
}

// Appends the segment of the `size` bytes at `rows` to `out`, which ends on
// a byte boundary.
//
// libdeflate marks its last block final and pads it to a byte with zero
// bits. With the mark cleared, an inflater reads on past that block: three
// zero bits begin a stored block, whose length follows at the next byte
// boundary. Three padding bits or more are such a beginning already; fewer
// need a zero byte more. The probe tells which: inflating the blocks and
// then kProbe ends cleanly only when the padding was short, and fails on
// the empty block's length when it was long.
void append_segment(const ZlibCompressor& compressor, const unsigned char* rows, std::size_t size,
                    std::vector<unsigned char>& out) {
    if (size == 0) return;
    SegmentScratch& scratch = calling_thread_scratch();
    std::vector<unsigned char>& blocks = scratch.blocks;
    compressor.deflate(rows, size, blocks);
    const std::size_t blocks_size = blocks.size();
    blocks[0] &= 0xfe;  // the first block's final mark
    blocks.insert(blocks.end(), std::begin(kProbe), std::end(kProbe));
    scratch.inflated.resize(size);
    const auto probed =
        scratch.decompressor.inflate_raw(blocks.data(), blocks.size(), scratch.inflated.data(), size);
    using Outcome = ZlibDecompressor::RawInflation::Outcome;
    if (probed.outcome == Outcome::complete && probed.consumed == blocks.size() &&
        probed.produced == size) {
        out.insert(out.end(), blocks.begin(), blocks.begin() + blocks_size + 1);
        out.insert(out.end(), std::begin(kEmptyStored), std::end(kEmptyStored));
        return;
    }
    if (probed.outcome == Outcome::bad_data) {
        out.insert(out.end(), blocks.begin(), blocks.begin() + blocks_size);
        out.insert(out.end(), std::begin(kEmptyStored), std::end(kEmptyStored));
        return;
    }
    // More than one block, the last still final: the rows go stored, and
    // an empty stored block closes them as any segment.
    for (std::size_t at = 0; at < size; at += kMaxStoredBlock) {
        const std::size_t length = std::min(kMaxStoredBlock, size - at);
        out.push_back(0x00);  // not final, stored
        out.push_back(static_cast<unsigned char>(length));
        out.push_back(static_cast<unsigned char>(length >> 8));
        out.push_back(static_cast<unsigned char>(~length));
        out.push_back(static_cast<unsigned char>(~length >> 8));
        out.insert(out.end(), rows + at, rows + at + length);
    }
    out.push_back(0x00);
    out.insert(out.end(), std::begin(kEmptyStored), std::end(kEmptyStored));
}

}  // namespace

void deflate_tail(const ZlibCompressor& compressor, const unsigned char* rows,
                  std::size_t rows_bytes, std::size_t chunk_bytes, std::vector<unsigned char>& out) {
    if (rows_bytes > chunk_bytes) throw ArgumentError("more rows than a chunk holds");
    out.assign(std::begin(kZlibHeader), std::end(kZlibHeader));
    append_segment(compressor, rows, rows_bytes, out);
    append_zeros_block(chunk_bytes - rows_bytes, out);
    append_big_endian(adler_with_zeros(adler32(1, rows, rows_bytes), chunk_bytes - rows_bytes), out);
}

bool extend_tail(const ZlibCompressor& compressor, const std::vector<unsigned char>& stored,
                 std::size_t stored_bytes, const unsigned char* rows, std::size_t added,
                 std::size_t chunk_bytes, std::vector<unsigned char>& out) {
    if (added < kMinSegmentBytes || stored_bytes > chunk_bytes || added > chunk_bytes - stored_bytes) {
        return false;
    }
    const std::size_t zeros_before = chunk_bytes - stored_bytes;
    out.clear();
    append_zeros_block(zeros_before, out);
    const std::size_t zeros_block = out.size();
    const std::size_t size = stored.size();
    if (size < sizeof kZlibHeader + sizeof kEmptyStored + zeros_block + 4) return false;
    const std::size_t segments_end = size - 4 - zeros_block;
    if (std::memcmp(stored.data(), kZlibHeader, sizeof kZlibHeader) != 0 ||
        std::memcmp(stored.data() + segments_end - sizeof kEmptyStored, kEmptyStored,
                    sizeof kEmptyStored) != 0 ||
        std::memcmp(stored.data() + segments_end, out.data(), zeros_block) != 0) {
        return false;
    }
    // The framing does not prove the stored rows: behind a flipped bit or a
    // wrong checksum the new rows would land in a chunk that no reader can
    // inflate. Only a stream that inflates to the chunk's size with its
    // checksum matching is extended; any other is inflated anew by the
    // caller, which refuses one that does not inflate.
    SegmentScratch& scratch = calling_thread_scratch();
    scratch.inflated.resize(chunk_bytes);
    if (!scratch.decompressor.decompress(stored.data(), size, scratch.inflated.data(), chunk_bytes)) {
        return false;
    }
    const std::uint32_t stored_rows =
        adler_without_zeros(big_endian_at(stored.data() + size - 4), zeros_before);
    out.assign(stored.begin(), stored.begin() + static_cast<std::ptrdiff_t>(segments_end));
    append_segment(compressor, rows, added, out);
    const std::size_t zeros_after = zeros_before - added;
    append_zeros_block(zeros_after, out);
    append_big_endian(adler_with_zeros(adler32(stored_rows, rows, added), zeros_after), out);
    return true;
}

}  // namespace corvane
