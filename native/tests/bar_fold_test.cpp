#include "corvane/bar_fold.hpp"
#include "corvane/error.hpp"
#include "corvane/file.hpp"
#include "corvane/reader.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace corvane {
namespace {

using testing::DerivativeBar;
using testing::TempDir;

// A longer bar expected: its trading date's position, its end (YYYYMMDDhhmmss,
// 0 for a daily bar) and the rows it holds.
struct Expected {
    std::int64_t day, end;
    std::size_t first, last;
};

struct Case {
    const char* name;
    std::vector<std::vector<std::int64_t>> days;  // each date's bar stamps
    unsigned minutes;
    std::vector<Expected> bars;
    std::size_t nan_row = SIZE_MAX;  // a row whose high and low are no number
};

std::vector<std::int64_t> minutes_from(std::int64_t stamp, int count) {
    std::vector<std::int64_t> out;
    for (int k = 0; k < count; ++k) {
        const std::int64_t minute = stamp / 100 % 100 + k;
        out.push_back(stamp / 10000 * 10000 + minute / 60 * 10000 + minute % 60 * 100);
    }
    return out;
}

std::vector<std::int64_t> joined(std::vector<std::int64_t> a, const std::vector<std::int64_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<Case>& cases() {
    static const std::vector<Case> all{
        {"a lunch break splits the day",
         {joined(minutes_from(20250102093100, 7), minutes_from(20250102130100, 6))}, 5,
         {{0, 20250102093500, 0, 4}, {0, 20250102094000, 5, 6}, {0, 20250102130500, 7, 11},
          {0, 20250102131000, 12, 12}}},
        {"night bars keep their date, apart from the morning",
         {minutes_from(20250102093100, 3), joined(minutes_from(20250102210100, 7), minutes_from(20250103090100, 2))},
         5,
         {{0, 20250102093500, 0, 2}, {1, 20250102210500, 3, 7}, {1, 20250102211000, 8, 9},
          {1, 20250103090500, 10, 11}}},
        {"a gap of five minutes stays in the session, of six starts one",
         {{20250102093100, 20250102093600, 20250102094200}}, 60,
         {{0, 20250102100000, 0, 1}, {0, 20250102100000, 2, 2}}},
        {"one-bar days, daily", {{20250102093100}, {20250103093100}, minutes_from(20250106093100, 30)}, 0,
         {{0, 0, 0, 0}, {1, 0, 1, 1}, {2, 0, 2, 31}}},
        {"one-bar days, by the minute, across an hour", {{20250102093100}, minutes_from(20250103095900, 2)}, 1,
         {{0, 20250102093100, 0, 0}, {1, 20250103095900, 1, 1}, {1, 20250103100000, 2, 2}}},
        {"a day of many chunks", {minutes_from(20250102090100, 200), minutes_from(20250103090100, 100)}, 0,
         {{0, 0, 0, 199}, {1, 0, 200, 299}}},
        {"a high and low that are no number stay in their bar alone", {minutes_from(20250102093100, 20)}, 5,
         {{0, 20250102093500, 0, 4}, {0, 20250102094000, 5, 9}, {0, 20250102094500, 10, 14},
          {0, 20250102095000, 15, 19}}, 13},
        {"a high and low that are no number, daily", {minutes_from(20250102093100, 20)}, 0, {{0, 0, 0, 19}}, 13},
    };
    return all;
}

// A file whose bar k is priced k, its day_rows, and the chunks of `rows_per_chunk` rows.
std::vector<std::size_t> write_case(const std::string& path, const Case& c, std::size_t rows_per_chunk) {
    std::vector<DerivativeBar> bars;
    std::vector<std::size_t> day_rows;
    for (const auto& day : c.days) {
        day_rows.push_back(day.size());
        for (std::int64_t stamp : day) {
            const double k = static_cast<double>(bars.size());
            bars.push_back(DerivativeBar{stamp, k, k + 0.5, k - 0.5, k, static_cast<std::int64_t>(bars.size()), 1.0, k});
        }
    }
    if (c.nan_row < bars.size()) bars[c.nan_row].high = bars[c.nan_row].low = std::numeric_limits<double>::quiet_NaN();
    File file(path);
    Dataset::create(file, "data", testing::view(bars), rows_per_chunk);
    file.close();
    return day_rows;
}

const std::vector<FoldField> kFields{{offsetof(DerivativeBar, open), FieldType::f64, Gather::first},
                                     {offsetof(DerivativeBar, high), FieldType::f64, Gather::max},
                                     {offsetof(DerivativeBar, low), FieldType::f64, Gather::min},
                                     {offsetof(DerivativeBar, close), FieldType::f64, Gather::last},
                                     {offsetof(DerivativeBar, volume), FieldType::f64, Gather::sum},
                                     {offsetof(DerivativeBar, open_interest), FieldType::i64, Gather::sum}};

template <class T>
T as(std::uint64_t bits) {
    T value;
    std::memcpy(&value, &bits, 8);
    return value;
}

TEST(FoldBars, GathersEachSessionsBucketsWhereverTheChunksEnd) {
    for (const Case& c : cases()) {
        for (std::size_t rows_per_chunk : {3u, 1024u}) {
            for (unsigned threads : {1u, 3u}) {
                SCOPED_TRACE(std::string(c.name) + ", chunks of " + std::to_string(rows_per_chunk) + ", " +
                             std::to_string(threads) + " thread(s)");
                TempDir dir;
                const auto day_rows = write_case(dir.path("f.h5"), c, rows_per_chunk);
                ReadOnlyFile file(dir.path("f.h5"));
                const FoldedBars folded = fold_bars(file.dataset("data"), 0, day_rows, 0, kFields, c.minutes, threads);
                ASSERT_EQ(folded.size(), c.bars.size());
                std::vector<std::int64_t> ends(folded.size()), days(folded.size());
                std::vector<std::vector<std::uint64_t>> got(kFields.size(), std::vector<std::uint64_t>(folded.size()));
                std::vector<std::uint64_t*> columns;
                for (auto& column : got) columns.push_back(column.data());
                folded.join_into(c.minutes ? ends.data() : nullptr, days.data(), columns);
                for (std::size_t b = 0; b < c.bars.size(); ++b) {
                    const Expected& e = c.bars[b];
                    const double first = static_cast<double>(e.first), last = static_cast<double>(e.last);
                    const bool nan = e.first <= c.nan_row && c.nan_row <= e.last;
                    EXPECT_EQ(days[b], e.day) << b;
                    EXPECT_EQ(ends[b], c.minutes ? bar_time_ns(e.end) : 0) << b;
                    const double want[] = {first, last + 0.5, first - 0.5, last, last - first + 1};
                    for (std::size_t f = 0; f < 5; ++f) {
                        if ((f == 1 || f == 2) && nan) continue;
                        EXPECT_EQ(as<double>(got[f][b]), want[f]) << b << " " << f;
                    }
                    EXPECT_EQ(std::isnan(as<double>(got[1][b])), nan) << b;
                    EXPECT_EQ(std::isnan(as<double>(got[2][b])), nan) << b;
                    EXPECT_EQ(as<std::int64_t>(got[5][b]),
                              static_cast<std::int64_t>((e.first + e.last) * (e.last - e.first + 1) / 2)) << b;
                }
            }
        }
    }
}

TEST(FoldBars, RefusesWhatItCannotGatherAndABarTimeThatIsNoTime) {
    TempDir dir;
    const std::string path = dir.path("f.h5");
    Case bad{"", {minutes_from(20250102093100, 10)}, 5, {}};
    bad.days[0][6] = 20250102096100;
    write_case(path, bad, 4);
    ReadOnlyFile file(path);
    const Dataset data = file.dataset("data");
    for (unsigned minutes : {7u, 2880u, 4000000000u}) {  // no tiling of a day
        EXPECT_THROW(fold_bars(data, 0, {10}, 0, kFields, minutes), ArgumentError) << minutes;
    }
    EXPECT_THROW(fold_bars(data, 0, {10}, 0, {{8, FieldType::f32, Gather::sum}}, 0), ArgumentError);
    EXPECT_THROW(fold_bars(data, 5, {10}, 0, kFields, 0), ArgumentError);  // past the last row
    try {
        fold_bars(data, 0, {10}, 0, kFields, 5, 2);
        FAIL() << "a bar without a time gathered";
    } catch (const DamagedFileError& e) {
        EXPECT_NE(std::string(e.what()).find("row 6 of"), std::string::npos) << e.what();
    }
    EXPECT_EQ(fold_bars(data, 0, {10}, 0, kFields, 0).size(), 1u);  // a day's bar reads no time
}

}  // namespace
}  // namespace corvane
