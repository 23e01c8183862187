// Tail streams, decoded by zlib as any HDF5 reader would.
#include "corvane/chunk_compression.hpp"
#include "corvane/deflate.hpp"
#include "corvane/tail_stream.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

namespace corvane {
namespace {

using Bytes = std::vector<unsigned char>;

const ZlibCompressor& tail_compressor() {
    static const ZlibCompressor compressor(kTailChunkLevel);
    return compressor;
}

Bytes inflate_all(const Bytes& stream, std::size_t raw_size) {
    Bytes raw(raw_size + 1);
    uLongf size = static_cast<uLongf>(raw.size());
    EXPECT_EQ(uncompress(raw.data(), &size, stream.data(), static_cast<uLong>(stream.size())), Z_OK);
    raw.resize(size);
    return raw;
}

// The chunk's raw bytes: `rows`, then zeros up to `chunk_bytes`.
Bytes padded(const Bytes& rows, std::size_t chunk_bytes) {
    Bytes raw(rows);
    raw.resize(chunk_bytes, 0);
    return raw;
}

// Row-like bytes (minute bars), random bytes and zeros: streams that
// libdeflate ends after every number of padding bits.
Bytes sample(int kind, std::size_t size, unsigned seed) {
    Bytes out(size);
    if (kind == 0) {
        const auto bars = testing::equity_bars(size / sizeof(testing::EquityBar) + 1, seed);
        std::memcpy(out.data(), bars.data(), size);
    } else if (kind == 1) {
        std::mt19937 random(seed);
        for (auto& b : out) b = static_cast<unsigned char>(random());
    }
    return out;
}

// Bytes of the zeros block that ends the tail stream of `zeros` zeros.
std::size_t zeros_block_size(std::size_t zeros) {
    Bytes stream;
    deflate_tail(tail_compressor(), nullptr, 0, zeros, stream);
    return stream.size() - 2 - 4;
}

constexpr std::size_t kChunk = 65520;

TEST(TailStream, InflatesToItsRowsThenZeros) {
    for (int kind = 0; kind < 3; ++kind) {
        for (std::size_t size = 1; size <= kChunk; size += 997) {
            const Bytes rows = sample(kind, size, static_cast<unsigned>(size));
            Bytes stream;
            deflate_tail(tail_compressor(), rows.data(), rows.size(), kChunk, stream);
            ASSERT_EQ(inflate_all(stream, kChunk), padded(rows, kChunk))
                << "kind " << kind << ", " << size << " bytes";
        }
    }
}

TEST(TailStream, AppendsAddASegmentAndKeepTheStoredOnes) {
    for (int kind = 0; kind < 2; ++kind) {
        const Bytes all = sample(kind, kChunk, 11);
        std::size_t held = 13440;
        Bytes stream;
        deflate_tail(tail_compressor(), all.data(), held, kChunk, stream);
        for (std::size_t added : {13440u, 4096u, 20000u, 14544u}) {
            Bytes extended;
            ASSERT_TRUE(extend_tail(tail_compressor(), stream, held, all.data() + held, added,
                                    kChunk, extended));
            const std::size_t kept = stream.size() - zeros_block_size(kChunk - held) - 4;
            EXPECT_TRUE(std::equal(stream.begin(), stream.begin() + kept, extended.begin()));
            held += added;
            const Bytes rows(all.begin(), all.begin() + held);
            ASSERT_EQ(inflate_all(extended, kChunk), padded(rows, kChunk)) << held << " bytes";
            stream.swap(extended);
        }
        EXPECT_EQ(held, kChunk);
    }
}

TEST(TailStream, OnlyItsOwnTailStreamsAreExtended) {
    const Bytes all = sample(0, kChunk, 5);
    const std::size_t held = 20000;
    Bytes tail;
    deflate_tail(tail_compressor(), all.data(), held, kChunk, tail);
    const Bytes more(all.begin() + held, all.begin() + held + 8192);
    Bytes out;
    EXPECT_TRUE(extend_tail(tail_compressor(), tail, held, more.data(), more.size(), kChunk, out));

    Bytes whole;
    ZlibCompressor(kTailChunkLevel).compress(padded(Bytes(all.begin(), all.begin() + held), kChunk).data(),
                                             kChunk, whole);
    Bytes cut(tail.begin(), tail.end() - 1);
    Bytes bent(tail);
    bent[bent.size() - 10] ^= 0x01;
    // Framing intact, contents not: extending these would put the new rows
    // behind a chunk that no reader can inflate.
    Bytes flipped(tail);
    flipped[tail.size() / 3] ^= 0x10;
    Bytes checksum(tail);
    checksum.back() ^= 0x01;
    EXPECT_FALSE(extend_tail(tail_compressor(), whole, held, more.data(), more.size(), kChunk, out));
    EXPECT_FALSE(extend_tail(tail_compressor(), cut, held, more.data(), more.size(), kChunk, out));
    EXPECT_FALSE(extend_tail(tail_compressor(), bent, held, more.data(), more.size(), kChunk, out));
    EXPECT_FALSE(extend_tail(tail_compressor(), flipped, held, more.data(), more.size(), kChunk, out));
    EXPECT_FALSE(extend_tail(tail_compressor(), checksum, held, more.data(), more.size(), kChunk, out));
    // Held rows that the stream does not end with.
    EXPECT_FALSE(extend_tail(tail_compressor(), tail, held - 56, more.data(), more.size(), kChunk, out));
    EXPECT_FALSE(extend_tail(tail_compressor(), tail, held + 56, more.data(), more.size(), kChunk, out));
    // Too few bytes for a segment, or more than the chunk holds.
    EXPECT_FALSE(extend_tail(tail_compressor(), tail, held, more.data(), kMinSegmentBytes - 1, kChunk, out));
    EXPECT_FALSE(extend_tail(tail_compressor(), tail, held, all.data(), kChunk - held + 1, kChunk, out));
}

TEST(TailStream, RowsLibdeflateSplitsIntoBlocksGoStored) {
    // Random bytes beyond one stored block's 64 KiB come out of libdeflate
    // as several blocks, whose last final mark cannot be cleared.
    const std::size_t chunk = 400000;
    const Bytes rows = sample(1, 300000, 3);
    Bytes stream;
    deflate_tail(tail_compressor(), rows.data(), rows.size(), chunk, stream);
    EXPECT_EQ(inflate_all(stream, chunk), padded(rows, chunk));
    const Bytes more = sample(0, 8192, 4);
    Bytes extended;
    ASSERT_TRUE(extend_tail(tail_compressor(), stream, rows.size(), more.data(), more.size(), chunk,
                            extended));
    Bytes both(rows);
    both.insert(both.end(), more.begin(), more.end());
    EXPECT_EQ(inflate_all(extended, chunk), padded(both, chunk));
}

}  // namespace
}  // namespace corvane
