#include "corvane/chunking.hpp"
#include "corvane/error.hpp"
#include "corvane/layout.hpp"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(ChunkRows, FillsTheTargetWithWholeRecords) {
    for (std::size_t itemsize : {1u, 8u, 56u, 64u, 100u, 4097u, 65536u}) {
        const std::size_t rows = chunk_rows(itemsize, 1000);
        EXPECT_LE(rows * itemsize, kChunkTargetBytes) << itemsize;
        EXPECT_GT((rows + 1) * itemsize, kChunkTargetBytes) << itemsize;
    }
    EXPECT_EQ(chunk_rows(equities_layout().itemsize(), 490), 1170u);
}

TEST(ChunkRows, DoesNotShrinkForSmallInitialDatasets) {
    // A file created from one day of bars keeps growing for years.
    const std::size_t itemsize = derivatives_layout().itemsize();
    EXPECT_EQ(chunk_rows(itemsize, 0), chunk_rows(itemsize, 1));
    EXPECT_EQ(chunk_rows(itemsize, 240), chunk_rows(itemsize, 5'000'000));
}

TEST(ChunkRows, GivesOneRowForRecordsLargerThanTheTarget) {
    EXPECT_EQ(chunk_rows(kChunkTargetBytes * 3, 10), 1u);
}

TEST(ChunkRows, RefusesZeroByteRecords) { EXPECT_THROW(chunk_rows(0, 10), ArgumentError); }

}  // namespace
}  // namespace corvane
