#include "corvane/dataset.hpp"
#include "corvane/error.hpp"
#include "corvane/failpoint.hpp"
#include "corvane/file.hpp"
#include "corvane/minbar_store.hpp"
#include "corvane/revision.hpp"
#include "corvane/tick_store.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <unistd.h>

namespace corvane {
namespace {

using testing::EquityBar;
using testing::IndexEntry;
using testing::TempDir;

std::int64_t attribute(const std::string& path, const char* name) {
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t attr = H5Aopen(file, name, H5P_DEFAULT);
    std::int64_t value = -1;
    H5Aread(attr, H5T_NATIVE_INT64, &value);
    H5Aclose(attr);
    H5Fclose(file);
    return value;
}

template <class Record>
std::vector<Record> stored(const std::string& path, const std::string& name) {
    File file(path);
    return testing::read_all<Record>(Dataset::open(file, name));
}

class RevisionTest : public ::testing::Test {
protected:
    void SetUp() override {
        failpoint::clear();
        File file(path);
        // Three days of 240, 240 and 10 bars, the last one stored while it ran.
        append_minbar(file, testing::view(testing::day_index({240, 240, 10}, 20240102)),
                      testing::view(testing::equity_bars(490)));
        file.close();
        before = testing::read_bytes(path);
    }
    void TearDown() override { failpoint::clear(); }

    // The last day whole and the next one: 240 + 240 bars from bar 5000.
    void revise(std::int32_t from = 20240104) {
        File file(path);
        seq = revise_minbar(file, from, testing::view(testing::day_index({240, 240}, from)),
                            testing::view(testing::equity_bars(480, 5000)), side);
        file.close();
    }

    // The exit status of a child that revises and dies at `point`.
    int revise_dying_at(const char* point) {
        return testing::in_dying_child([&] {
            failpoint::die_once(point);
            revise();
            ::_exit(0);
        });
    }

    TempDir dir;
    std::string path = dir.path("000001.h5");
    SideStore side{dir.path(".corvane/superseded/000001.h5"), false};
    std::string before;
    std::uint64_t seq = 0;
};

TEST_F(RevisionTest, TheTailIsCutAndWrittenAgainAndTheCutRowsKeptWholeInASegment) {
    revise();
    EXPECT_EQ(seq, 1u);
    auto bars = testing::equity_bars(480);
    const auto fresh = testing::equity_bars(480, 5000);
    bars.insert(bars.end(), fresh.begin(), fresh.end());
    EXPECT_EQ(stored<EquityBar>(path, "data"), bars);
    EXPECT_EQ(stored<IndexEntry>(path, "index"),
              (std::vector<IndexEntry>{{20240102, 0}, {20240103, 240}, {20240104, 480}, {20240105, 720}}));

    const std::string segment = segment_path(side.directory, 1);
    const auto all = testing::equity_bars(490);
    EXPECT_EQ(stored<EquityBar>(segment, "data"), std::vector<EquityBar>(all.begin() + 480, all.end()));
    EXPECT_EQ(stored<IndexEntry>(segment, "index"), (std::vector<IndexEntry>{{20240104, 480}}));
    EXPECT_EQ(attribute(segment, "cut_data_row"), 480);
    EXPECT_EQ(attribute(segment, "data_rows"), 490);
    EXPECT_EQ(attribute(segment, "cut_index_row"), 2);
    EXPECT_EQ(attribute(segment, "index_rows"), 3);
    EXPECT_EQ(testing::names_in(side.directory), (std::vector<std::string>{"000001.h5"}));
}

TEST_F(RevisionTest, SegmentsAreNumberedInTheOrderTheyAreMade) {
    revise();
    revise(20240105);
    EXPECT_EQ(seq, 2u);
    EXPECT_EQ(attribute(segment_path(side.directory, 2), "cut_index_row"), 3);
    EXPECT_EQ(next_segment(side.directory), 3u);
    EXPECT_EQ(next_segment(dir.path("nowhere")), 1u);
}

TEST_F(RevisionTest, NothingStoredFromTheDateOnIsAPlainAppendWithoutASegment) {
    File file(path);
    seq = revise_minbar(file, 20240105, testing::view(testing::day_index({240}, 20240105)),
                        testing::view(testing::equity_bars(240, 5000)), side);
    file.close();
    EXPECT_EQ(seq, 0u);
    EXPECT_EQ(stored<IndexEntry>(path, "index").size(), 4u);
    EXPECT_FALSE(testing::exists(side.directory));
}

TEST_F(RevisionTest, ABatchBeforeTheRevisedDateIsRefusedBeforeAnythingIsWritten) {
    File file(path);
    EXPECT_THROW(revise_minbar(file, 20240105, testing::view(testing::day_index({240}, 20240104)),
                               testing::view(testing::equity_bars(240, 5000)), side),
                 ArgumentError);
    file.abort();
    EXPECT_EQ(testing::read_bytes(path), before);
    EXPECT_FALSE(testing::exists(side.directory));
}

TEST_F(RevisionTest, AFailureAfterTheSegmentLeavesTheFileAsBeforeAndTheSegmentWhole) {
    failpoint::fail_once("revision.segment");
    EXPECT_THROW(revise(), IoError);
    EXPECT_EQ(testing::read_bytes(path), before);
    // The leftover holds what the file still holds at those rows: harmless to
    // a reader of any version, and the next revision numbers after it.
    const auto all = testing::equity_bars(490);
    EXPECT_EQ(stored<EquityBar>(segment_path(side.directory, 1), "data"),
              std::vector<EquityBar>(all.begin() + 480, all.end()));
    revise();
    EXPECT_EQ(seq, 2u);
}

TEST_F(RevisionTest, AWriterKilledAfterTheSegmentLeavesTheFileAsBeforeForTheNextOpen) {
    EXPECT_NE(revise_dying_at("revision.segment"), 0);
    { File reopened(path); reopened.close(); }
    EXPECT_EQ(testing::read_bytes(path), before);
    EXPECT_TRUE(testing::exists(segment_path(side.directory, 1)));
}

TEST_F(RevisionTest, AWriterKilledBeforeTheSegmentLandsLeavesNoSegmentAndNoLitterAfterTheNextRevision) {
    EXPECT_NE(revise_dying_at("revision.segment_built"), 0);
    EXPECT_FALSE(testing::exists(segment_path(side.directory, 1)));
    EXPECT_NE(testing::names_in(side.directory), std::vector<std::string>{});
    revise();
    EXPECT_EQ(seq, 1u);
    EXPECT_EQ(testing::names_in(side.directory), (std::vector<std::string>{"000001.h5"}));
}

TEST(RevisionDays, StoredDaysGoWholeToOneSegmentAndNewDaysAreOnlyWrittenWithoutOne) {
    TempDir dir;
    const std::string path = dir.path("t.h5");
    const SideStore side{dir.path("side"), false};
    {
        File file(path);
        write_day(file, "20240102", testing::view(testing::equity_bars(30)));
        write_day(file, "20240103", testing::view(testing::equity_bars(20, 100)));
        file.close();
    }
    const auto fresh = testing::equity_bars(45, 500);
    const auto next = testing::equity_bars(5, 900);
    File file(path);
    const std::uint64_t seq = revise_days(
        file, {DayRecords{"20240103", testing::view(fresh)}, DayRecords{"20240104", testing::view(next)}}, side);
    file.close();
    EXPECT_EQ(seq, 1u);
    EXPECT_EQ(stored<EquityBar>(path, "20240103"), fresh);
    EXPECT_EQ(stored<EquityBar>(path, "20240104"), next);
    EXPECT_EQ(stored<EquityBar>(path, "20240102"), testing::equity_bars(30));
    File segment(segment_path(side.directory, 1));
    EXPECT_EQ(segment.members(), (std::vector<std::string>{"20240103"}));
    EXPECT_EQ(testing::read_all<EquityBar>(Dataset::open(segment, "20240103")), testing::equity_bars(20, 100));
    // Only new days: nothing is cut, so no segment and no side directory.
    TempDir other;
    File fresh_file(other.path("t.h5"));
    EXPECT_EQ(revise_days(fresh_file, {DayRecords{"20240102", testing::view(next)}}, SideStore{other.path("side"), true}),
              0u);
    fresh_file.close();
    EXPECT_FALSE(testing::exists(other.path("side")));
}

}  // namespace
}  // namespace corvane
