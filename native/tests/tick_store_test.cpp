#include "corvane/dataset.hpp"
#include "corvane/tick_store.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

namespace corvane {
namespace {

using testing::EquityBar;

TEST(TickStore, WriteDayCreatesAndThenReplacesOnlyThatDay) {
    testing::TempDir dir;
    File file(dir.path("t.h5"));
    write_day(file, "20240102", testing::view(testing::equity_bars(30)));
    write_day(file, "20240103", testing::view(testing::equity_bars(20, 100)));
    const auto fresh = testing::equity_bars(45, 500);
    write_day(file, "20240103", testing::view(fresh));
    EXPECT_EQ(file.members(), (std::vector<std::string>{"20240102", "20240103"}));
    EXPECT_EQ(testing::read_all<EquityBar>(Dataset::open(file, "20240102")),
              testing::equity_bars(30));
    EXPECT_EQ(testing::read_all<EquityBar>(Dataset::open(file, "20240103")), fresh);
}

TEST(TickStore, ADayWithoutTicksIsAnEmptyDataset) {
    testing::TempDir dir;
    File file(dir.path("t.h5"));
    write_day(file, "20240102", testing::view(std::vector<EquityBar>{}));
    EXPECT_EQ(Dataset::open(file, "20240102").length(), 0u);
}

}  // namespace
}  // namespace corvane
