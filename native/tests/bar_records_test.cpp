#include "corvane/bar_records.hpp"
#include "corvane/error.hpp"
#include "corvane/layout.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace corvane {
namespace {

using testing::EquityBar;

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kDay = 86400 * kSecond;

TEST(BarRecords, TimesAreTheirCalendarDateAndTheSecondOfTheDay) {
    // Days from 1970-01-01: the epoch, a leap day, the day before the epoch, a century that is
    // no leap year, the calendar's far ends.
    const std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
        {0, 19700101000000},
        {11016 * kDay + 86399 * kSecond + kSecond - 1, 20000229235959},
        {-1, 19691231235959},
        {-25508 * kDay + 3600 * kSecond + 61 * kSecond, 19000301010101},
        {47540 * kDay + 9 * 3600 * kSecond + 31 * 60 * kSecond, 21000228093100},
        {-106751 * kDay, 16770922000000},
        {106750 * kDay + 86399 * kSecond, 22620410235959},
    };
    std::vector<EquityBar> bars(cases.size());
    std::vector<std::int64_t> ns;
    for (const auto& [time, stamp] : cases) ns.push_back(time);
    const std::vector<double> close = {1, 2, 3, 4, 5, 6, 7};
    fill_bar_records(equities_layout(), bars.data(), bars.size(), ns.data(), {{"close", close.data()}});
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(bars[i].datetime, cases[i].second) << i;
        EXPECT_EQ(bars[i].close, close[i]);
        EXPECT_EQ(bars[i].open, 0);
    }
}

TEST(BarRecords, AFieldMissingOrOfAnotherTypeIsRefused) {
    std::vector<testing::DerivativeBar> bars(1);
    const std::int64_t ns = 0;
    const double value = 1;
    EXPECT_THROW(fill_bar_records(derivatives_layout(), bars.data(), 1, &ns, {{"open_interest", &value}}),
                 LayoutError);
    EXPECT_THROW(fill_bar_records(derivatives_layout(), bars.data(), 1, &ns, {{"note", &value}}), LayoutError);
    EXPECT_THROW(fill_bar_records(index_layout(), bars.data(), 1, &ns, {}), LayoutError);
}

}  // namespace
}  // namespace corvane
