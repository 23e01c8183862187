#include "corvane/chunk_compression.hpp"
#include "corvane/deflate.hpp"
#include "corvane/error.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

namespace corvane {
namespace {

// What any zlib reader (HDF5's deflate filter among them) gets back.
std::vector<unsigned char> inflate_zlib(const std::vector<unsigned char>& stream,
                                        std::size_t raw_size) {
    std::vector<unsigned char> raw(raw_size + 1);
    uLongf size = static_cast<uLongf>(raw.size());
    EXPECT_EQ(uncompress(raw.data(), &size, stream.data(), static_cast<uLong>(stream.size())),
              Z_OK);
    raw.resize(size);
    return raw;
}

// Chunks that compress somewhat, like records: counters and repeated values.
std::vector<unsigned char> sample_bytes(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<unsigned char>(i % 8 < 4 ? (i / 56) & 0xff : (state >> 24) & 0x0f);
    }
    return bytes;
}

struct Written {
    std::vector<std::vector<unsigned char>> streams;
    std::vector<std::size_t> order;
    bool all_on_calling_thread = true;
};

Written compress_all(const std::vector<ChunkTask>& tasks, std::size_t chunk_bytes,
                     unsigned threads) {
    Written out;
    const auto caller = std::this_thread::get_id();
    compress_in_order(tasks, chunk_bytes, threads,
                      [&](std::size_t i, const std::vector<unsigned char>& stream) {
                          out.order.push_back(i);
                          out.streams.push_back(stream);
                          if (std::this_thread::get_id() != caller) out.all_on_calling_thread = false;
                      });
    return out;
}

class CompressInOrder : public ::testing::Test {
protected:
    static constexpr std::size_t kChunkBytes = 4096;
    static constexpr std::size_t kChunks = 23;
    std::vector<unsigned char> raw = sample_bytes(kChunkBytes * kChunks);

    std::vector<ChunkTask> tasks() const {
        std::vector<ChunkTask> out;
        for (std::size_t i = 0; i < kChunks; ++i) {
            out.push_back({raw.data() + i * kChunkBytes,
                           i + 1 == kChunks ? kTailChunkLevel : kFullChunkLevel});
        }
        return out;
    }
};

TEST_F(CompressInOrder, StreamsDecodeToTheChunksAndComeInTaskOrder) {
    const Written w = compress_all(tasks(), kChunkBytes, 1);
    ASSERT_EQ(w.streams.size(), kChunks);
    for (std::size_t i = 0; i < kChunks; ++i) {
        EXPECT_EQ(w.order[i], i);
        const std::vector<unsigned char> chunk(raw.begin() + i * kChunkBytes,
                                               raw.begin() + (i + 1) * kChunkBytes);
        EXPECT_EQ(inflate_zlib(w.streams[i], kChunkBytes), chunk) << "chunk " << i;
        EXPECT_LT(w.streams[i].size(), kChunkBytes);
    }
}

TEST_F(CompressInOrder, ThreadsGiveTheSameBytesInTheSameOrderOnTheCallingThread) {
    const Written one = compress_all(tasks(), kChunkBytes, 1);
    for (unsigned threads : {2u, 3u, 8u}) {
        const Written many = compress_all(tasks(), kChunkBytes, threads);
        EXPECT_EQ(many.order, one.order) << threads;
        EXPECT_EQ(many.streams, one.streams) << threads;
        EXPECT_TRUE(many.all_on_calling_thread) << threads;
    }
}

TEST_F(CompressInOrder, EachChunkIsCompressedAtItsTasksLevel) {
    const Written w = compress_all(tasks(), kChunkBytes, 2);
    std::vector<unsigned char> expected;
    ZlibCompressor(kFullChunkLevel).compress(raw.data(), kChunkBytes, expected);
    EXPECT_EQ(w.streams.front(), expected);
    ZlibCompressor(kTailChunkLevel)
        .compress(raw.data() + (kChunks - 1) * kChunkBytes, kChunkBytes, expected);
    EXPECT_EQ(w.streams.back(), expected);
    EXPECT_NE(kFullChunkLevel, kTailChunkLevel);
}

TEST_F(CompressInOrder, AFailedWriteStopsTheWorkAndIsRethrown) {
    for (unsigned threads : {1u, 2u, 4u}) {
        std::vector<std::size_t> seen;
        EXPECT_THROW(compress_in_order(tasks(), kChunkBytes, threads,
                                       [&](std::size_t i, const std::vector<unsigned char>&) {
                                           seen.push_back(i);
                                           if (i == 5) throw IoError("disk full");
                                       }),
                     IoError)
            << threads;
        EXPECT_EQ(seen, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5})) << threads;
    }
}

TEST_F(CompressInOrder, AFailedCompressionIsRethrownWithoutWritingLaterChunks) {
    auto bad = tasks();
    bad[7].level = 13;  // no such level: the compressor refuses it
    for (unsigned threads : {1u, 3u}) {
        std::vector<std::size_t> seen;
        EXPECT_THROW(compress_in_order(bad, kChunkBytes, threads,
                                       [&](std::size_t i, const std::vector<unsigned char>&) {
                                           seen.push_back(i);
                                       }),
                     ArgumentError)
            << threads;
        ASSERT_LE(seen.size(), 7u) << threads;
        for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i);
    }
}

TEST_F(CompressInOrder, NoTasksWriteNothing) {
    EXPECT_TRUE(compress_all({}, kChunkBytes, 4).streams.empty());
}

TEST(CompressionThreads, SmallWritesStayOnTheCallingThreadAndNeverExceedTheCores) {
    EXPECT_EQ(compression_threads(0), 1u);
    EXPECT_EQ(compression_threads(1), 1u);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    EXPECT_EQ(compression_threads(1000), cores);
    EXPECT_EQ(compression_threads(2), std::min(2u, cores));
}

TEST(ZlibCompressor, RefusesLevelsLibdeflateDoesNotHave) {
    EXPECT_THROW(ZlibCompressor(-1), ArgumentError);
    EXPECT_THROW(ZlibCompressor(13), ArgumentError);
}

}  // namespace
}  // namespace corvane
