#include "corvane/bar_screen.hpp"
#include "corvane/layout.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace corvane {
namespace {

using testing::DerivativeBar;
using testing::EquityBar;

constexpr DayBounds kDay{20240103, 20240102, 25.0, 0.001, 1.4826};

// A clean day of 30 bars from 09:31, closes moving a cent at a time.
std::vector<EquityBar> clean_day() {
    std::vector<EquityBar> bars;
    for (int minute = 0; minute < 30; ++minute) {
        const double close = 10.0 + 0.01 * (minute % 7);
        bars.push_back({20240103093100 + minute * 100, close, close + 0.02, close - 0.02, close, 100, 1000});
    }
    return bars;
}

struct Fault {
    const char* name;
    std::function<void(std::vector<EquityBar>&)> spoil;
};

class EachFault : public ::testing::TestWithParam<Fault> {};

TEST_P(EachFault, SendsTheDayToTheChecks) {
    std::vector<EquityBar> bars = clean_day();
    ASSERT_TRUE(day_passes_checks(testing::view(bars), kDay));
    GetParam().spoil(bars);
    EXPECT_FALSE(day_passes_checks(testing::view(bars), kDay));
}

const double kNan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Screen, EachFault,
    ::testing::Values(
        Fault{"NanClose", [](auto& b) { b[4].close = kNan; }},
        Fault{"ZeroOpen", [](auto& b) { b[4].open = 0; }},
        Fault{"InfiniteHigh", [](auto& b) { b[4].high = std::numeric_limits<double>::infinity(); }},
        Fault{"LowAboveOpen", [](auto& b) { b[4].low = b[4].open + 0.001; }},
        Fault{"HighBelowClose", [](auto& b) { b[4].high = b[4].close - 0.001; }},
        Fault{"NegativeVolume", [](auto& b) { b[4].volume = -1; }},
        Fault{"NanTurnover", [](auto& b) { b[4].total_turnover = kNan; }},
        Fault{"RepeatedTime", [](auto& b) { b[4].datetime = b[3].datetime; }},
        Fault{"DayAfter", [](auto& b) { b[4].datetime += 1000000; }},
        Fault{"BeforeEarliest", [](auto& b) { b[0].datetime -= 2000000; }},
        Fault{"MovePastTheJumpBar",
              [](auto& b) {
                  b[10].close = b[9].close * 1.5;
                  b[10].high = b[10].close;
              }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BarScreen, AMoveUpToTheDaysJumpBarPassesAndOnePastItDoesNot) {
    // Closes bouncing between 10.00 and 10.01: the median move, and so the bar, is the checks'
    // 25 x (1.4826 x that move), above the floor's and the step's.
    std::vector<EquityBar> bars = clean_day();
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const double close = i % 2 ? 10.01 : 10.0;
        bars[i] = {bars[i].datetime, close, close, close, close, 100, 1000};
    }
    const double bar = kDay.jump_deviations * (kDay.mad_to_sigma * std::fabs(10.01 - 10.0));
    for (const double share : {0.99, 1.0, 1.01}) {
        std::vector<EquityBar> moved = bars;
        EquityBar& last = moved.back();
        last.close = last.open = last.high = last.low = moved[moved.size() - 2].close + bar * share;
        const bool within = std::fabs(last.close - moved[moved.size() - 2].close) <= bar;
        EXPECT_EQ(within, day_passes_checks(testing::view(moved), kDay)) << share;
        if (share != 1.0) EXPECT_EQ(within, share < 1.0) << share;
    }
}

TEST(BarScreen, DerivativesOneBarAndNoBars) {
    std::vector<DerivativeBar> bars = {{20240103093100, 5, 6, 4, 5, -3, 10, 10},
                                       {20240103093200, 5, 6, 4, 5.01, 7, 10, 10}};
    // Open interest is no check's: a negative one passes.
    EXPECT_TRUE(day_passes_checks(testing::view(bars), kDay));
    bars.resize(1);
    EXPECT_TRUE(day_passes_checks(testing::view(bars), kDay));
    bars.clear();
    EXPECT_FALSE(day_passes_checks(testing::view(bars), kDay));
}

TEST(BarScreen, ARecordTypeWithoutThePricesOrTheTimeGoesToTheChecks) {
    const std::vector<testing::IndexEntry> index = {{20240103, 0}};
    EXPECT_FALSE(day_passes_checks(testing::view(index), kDay));
}

TEST(BarScreen, TimesBefore1970AreDatedByTheirCalendarDay) {
    // -1 second before 0000-00-00 00:00:00 as YYYYMMDDhhmmss: calendar date -1, not 0.
    std::vector<EquityBar> bars = {{-1, 5, 6, 4, 5, 1, 1}};
    EXPECT_TRUE(day_passes_checks(testing::view(bars), DayBounds{0, -1, 25.0, 0.001, 1.4826}));
    EXPECT_FALSE(day_passes_checks(testing::view(bars), DayBounds{0, 0, 25.0, 0.001, 1.4826}));
}

}  // namespace
}  // namespace corvane
