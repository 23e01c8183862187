#include "corvane/dataset.hpp"
#include "corvane/error.hpp"
#include "corvane/failpoint.hpp"
#include "corvane/file.hpp"
#include "corvane/minbar_store.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <functional>
#include <ostream>

namespace corvane {
namespace {

using testing::DerivativeBar;
using testing::EquityBar;
using testing::IndexEntry;
using testing::TempDir;

class MinbarStoreTest : public ::testing::Test {
protected:
    void SetUp() override { failpoint::clear(); }
    void TearDown() override { failpoint::clear(); }

    std::vector<IndexEntry> stored_index() {
        return testing::read_all<IndexEntry>(Dataset::open(file, "index"));
    }
    std::vector<EquityBar> stored_bars() {
        return testing::read_all<EquityBar>(Dataset::open(file, "data"));
    }
    // The file's first batch: three days of 240, 240 and 10 bars.
    void initialise() {
        append_minbar(file, testing::view(testing::day_index({240, 240, 10}, 20240102)),
                      testing::view(testing::equity_bars(490)));
    }

    TempDir dir;
    File file{dir.path("000001.h5")};
};

std::vector<std::uint32_t> line_numbers(const std::vector<IndexEntry>& index) {
    std::vector<std::uint32_t> lines;
    for (const IndexEntry& e : index) lines.push_back(e.line_no);
    return lines;
}

TEST_F(MinbarStoreTest, FirstBatchInitialisesDataAndIndex) {
    initialise();
    EXPECT_EQ(file.members(), (std::vector<std::string>{"data", "index"}));
    EXPECT_EQ(stored_bars(), testing::equity_bars(490));
    EXPECT_EQ(stored_index(), testing::day_index({240, 240, 10}, 20240102));
}

TEST_F(MinbarStoreTest, LaterBatchesCountLineNumbersFromTheRowsAlreadyStored) {
    initialise();
    const auto index = testing::day_index({240, 240}, 20240105);
    const auto before = index;
    append_minbar(file, testing::view(index), testing::view(testing::equity_bars(480, 490)));
    EXPECT_EQ(index, before);  // the caller's batch is left as it was
    EXPECT_EQ(line_numbers(stored_index()),
              (std::vector<std::uint32_t>{0, 240, 480, 490, 730}));
    EXPECT_EQ(stored_bars(), testing::equity_bars(970));
}

TEST_F(MinbarStoreTest, DerivativeBarsAreStoredInTheirOwnLayout) {
    const auto bars = testing::derivative_bars(300);
    append_minbar(file, testing::view(testing::day_index({300}, 20240102)), testing::view(bars));
    append_minbar(file, testing::view(testing::day_index({300}, 20240103)),
                  testing::view(testing::derivative_bars(300, 300)));
    EXPECT_EQ(testing::read_all<DerivativeBar>(Dataset::open(file, "data")),
              testing::derivative_bars(600));
    EXPECT_EQ(line_numbers(stored_index()), (std::vector<std::uint32_t>{0, 300}));
}

TEST_F(MinbarStoreTest, BarsOfAnotherLayoutThanStoredAreRefusedAndNothingChanges) {
    initialise();
    EXPECT_THROW(append_minbar(file, testing::view(testing::day_index({5}, 20240105)),
                               testing::view(testing::derivative_bars(5))),
                 LayoutError);
    EXPECT_EQ(stored_bars(), testing::equity_bars(490));
    EXPECT_EQ(stored_index().size(), 3u);
}

TEST_F(MinbarStoreTest, OrphanDataFromAnInterruptedFirstWriteIsReplaced) {
    const auto orphan = testing::equity_bars(7, 9000);
    Dataset::create(file, "data", testing::view(orphan));
    initialise();
    EXPECT_EQ(stored_bars(), testing::equity_bars(490));
    EXPECT_EQ(stored_index().size(), 3u);
}

TEST_F(MinbarStoreTest, FailedIndexAppendLeavesTheFileAsBefore) {
    initialise();
    failpoint::fail_once("minbar.index_append");
    EXPECT_THROW(append_minbar(file, testing::view(testing::day_index({240, 240}, 20240105)),
                               testing::view(testing::equity_bars(480, 490))),
                 IoError);
    EXPECT_EQ(stored_bars(), testing::equity_bars(490));
    EXPECT_EQ(stored_index(), testing::day_index({240, 240, 10}, 20240102));
    // The same batch goes in cleanly afterwards.
    append_minbar(file, testing::view(testing::day_index({240, 240}, 20240105)),
                  testing::view(testing::equity_bars(480, 490)));
    EXPECT_EQ(stored_bars().size(), 970u);
}

TEST_F(MinbarStoreTest, FailedIndexCreationLeavesNoData) {
    failpoint::fail_once("minbar.index_create");
    EXPECT_THROW(initialise(), IoError);
    EXPECT_TRUE(file.members().empty());
}

// Sets the length of "data" directly, without writing rows: a file that
// holds nearly 2^32 bars costs no space until rows are written.
void set_stored_rows(File& file, hsize_t rows) {
    Dataset data = Dataset::open(file, "data");
    ASSERT_GE(H5Dset_extent(data.handle().get(), &rows), 0);
}

TEST_F(MinbarStoreTest, RowNumbersBeyond32BitsAreRefusedBeforeWriting) {
    initialise();
    const hsize_t stored = kMaxLineNo - 4;  // last row number in use: kMaxLineNo - 5
    set_stored_rows(file, stored);
    EXPECT_THROW(append_minbar(file, testing::view(testing::day_index({6}, 20240105)),
                               testing::view(testing::equity_bars(6))),
                 RowLimitError);
    EXPECT_EQ(Dataset::open(file, "data").length(), stored);
    EXPECT_EQ(stored_index().size(), 3u);

    // Exactly up to the last row number fits.
    append_minbar(file, testing::view(testing::day_index({2, 3}, 20240105)),
                  testing::view(testing::equity_bars(5)));
    const auto index = stored_index();
    EXPECT_EQ(index.back().line_no, kMaxLineNo - 2);
    EXPECT_EQ(Dataset::open(file, "data").length(), kMaxLineNo + 1);
}

struct BadBatch {
    const char* what;
    std::vector<IndexEntry> index;
    std::size_t bars;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const BadBatch& bad, std::ostream* out) { *out << bad.what; }

class MinbarBadBatch : public MinbarStoreTest, public ::testing::WithParamInterface<BadBatch> {};

TEST_P(MinbarBadBatch, IsRefusedAndChangesNothing) {
    initialise();
    const BadBatch& bad = GetParam();
    const auto bars = testing::equity_bars(bad.bars, 490);
    EXPECT_THROW(append_minbar(file, testing::view(bad.index), testing::view(bars)), ArgumentError)
        << bad.what;
    EXPECT_EQ(stored_bars(), testing::equity_bars(490));
    EXPECT_EQ(stored_index().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Batches, MinbarBadBatch,
    ::testing::Values(BadBatch{"no index rows", {}, 5}, BadBatch{"no bars", {{20240105, 0}}, 0},
                      BadBatch{"first line_no not 0", {{20240105, 1}}, 5},
                      BadBatch{"line_no not ascending", {{20240105, 0}, {20240108, 0}}, 5},
                      BadBatch{"line_no past the bars", {{20240105, 0}, {20240108, 5}}, 5},
                      BadBatch{"dates not ascending", {{20240108, 0}, {20240105, 3}}, 5},
                      BadBatch{"date already stored", {{20240104, 0}}, 5}));

TEST_F(MinbarStoreTest, WrongLayoutsAreRefused) {
    const auto bars = testing::equity_bars(3);
    const auto index = testing::day_index({3}, 20240102);
    // The bars passed as index and the index passed as bars.
    EXPECT_THROW(append_minbar(file, testing::view(bars), testing::view(bars)), LayoutError);
    EXPECT_THROW(append_minbar(file, testing::view(index), testing::view(index)), LayoutError);
    EXPECT_TRUE(file.members().empty());
}

}  // namespace
}  // namespace corvane
