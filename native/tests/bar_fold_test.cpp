#include "corvane/bar_fold.hpp"
#include "corvane/error.hpp"
#include "corvane/file.hpp"
#include "corvane/reader.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
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

// The bars joined into columns of their own.
struct Bars {
    std::vector<std::int64_t> ends, days;
    std::vector<std::vector<std::uint64_t>> columns;
};

Bars fold(const Dataset& data, std::size_t first, const std::vector<std::size_t>& day_rows, unsigned minutes,
          unsigned threads = 0) {
    const FoldedBars folded = fold_bars(data, first, day_rows, 0, kFields, minutes, threads);
    Bars bars{std::vector<std::int64_t>(minutes ? folded.size() : 0), std::vector<std::int64_t>(folded.size()),
              std::vector<std::vector<std::uint64_t>>(kFields.size(), std::vector<std::uint64_t>(folded.size()))};
    std::vector<std::uint64_t*> columns;
    for (auto& column : bars.columns) columns.push_back(column.data());
    folded.join_into(minutes ? bars.ends.data() : nullptr, bars.days.data(), columns);
    return bars;
}

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
                TempDir dir;
                const std::string path = dir.path("f.h5");
                const auto day_rows = write_case(path, c, rows_per_chunk);
                ReadOnlyFile file(path);
                const Bars got = fold(file.dataset("data"), 0, day_rows, c.minutes, threads);
                SCOPED_TRACE(std::string(c.name) + ", chunks of " + std::to_string(rows_per_chunk) + ", " +
                             std::to_string(threads) + " thread(s)");
                ASSERT_EQ(got.days.size(), c.bars.size());
                ASSERT_EQ(got.ends.size(), c.minutes ? c.bars.size() : 0);
                for (std::size_t b = 0; b < c.bars.size(); ++b) {
                    const Expected& e = c.bars[b];
                    const double first = static_cast<double>(e.first), last = static_cast<double>(e.last);
                    EXPECT_EQ(got.days[b], e.day) << b;
                    if (c.minutes) {
                        EXPECT_EQ(got.ends[b], bar_time_ns(e.end)) << b;
                    }
                    EXPECT_EQ(as<double>(got.columns[0][b]), first) << b;
                    EXPECT_EQ(as<double>(got.columns[1][b]), last + 0.5) << b;
                    EXPECT_EQ(as<double>(got.columns[2][b]), first - 0.5) << b;
                    EXPECT_EQ(as<double>(got.columns[3][b]), last) << b;
                    EXPECT_EQ(as<double>(got.columns[4][b]), last - first + 1) << b;
                    EXPECT_EQ(as<std::int64_t>(got.columns[5][b]),
                              static_cast<std::int64_t>((e.first + e.last) * (e.last - e.first + 1) / 2)) << b;
                }
            }
        }
    }
}

TEST(FoldBars, AHighThatIsNoNumberStaysSoInItsBarAlone) {
    TempDir dir;
    const std::string path = dir.path("f.h5");
    std::vector<DerivativeBar> bars;
    for (std::int64_t stamp : minutes_from(20250102093100, 20)) {
        const double k = static_cast<double>(bars.size());
        bars.push_back(DerivativeBar{stamp, k, k + 0.5, k - 0.5, k, 0, 1.0, k});
    }
    bars[13].high = std::numeric_limits<double>::quiet_NaN();
    // Parts of four rows, and a day in one chunk (whose 20 rows go through the lanes).
    for (std::size_t rows_per_chunk : {4u, 1024u}) {
        {
            File file(path);
            Dataset::create(file, "data", testing::view(bars), rows_per_chunk);
            file.close();
        }
        ReadOnlyFile reading(path);
        for (unsigned minutes : {0u, 5u}) {
            const Bars got = fold(reading.dataset("data"), 0, {20}, minutes, 2);
            for (std::size_t b = 0; b < got.days.size(); ++b) {
                const bool holds_it = minutes == 0 || b == 2;  // 09:41 to 09:45: rows 10 to 14
                EXPECT_EQ(std::isnan(as<double>(got.columns[1][b])), holds_it) << minutes << " " << b;
                EXPECT_FALSE(std::isnan(as<double>(got.columns[2][b])));
            }
        }
        std::remove(path.c_str());
    }
}

TEST(FoldBars, FromARowOnAndOfNoRows) {
    TempDir dir;
    const std::string path = dir.path("f.h5");
    const auto day_rows = write_case(path, cases()[1], 3);
    ReadOnlyFile file(path);
    const Dataset data = file.dataset("data");
    // The second date alone: its bars as above, its position now 0.
    const Bars second = fold(data, 3, {day_rows[1]}, 5);
    ASSERT_EQ(second.ends.size(), 3u);
    EXPECT_EQ(second.days, (std::vector<std::int64_t>{0, 0, 0}));
    EXPECT_EQ(as<double>(second.columns[4][0]), 5.0);
    const Bars none = fold(data, 12, {}, 5);
    EXPECT_TRUE(none.days.empty() && none.ends.empty() && none.columns[0].empty());
}

TEST(FoldBars, RefusesWhatItCannotGatherAndBarsThatAreNotThere) {
    TempDir dir;
    const std::string path = dir.path("f.h5");
    write_case(path, cases()[0], 3);
    ReadOnlyFile file(path);
    const Dataset data = file.dataset("data");
    for (unsigned minutes : {7u, 2880u, 4000000000u}) {  // no tiling of a day
        EXPECT_THROW(fold_bars(data, 0, {13}, 0, kFields, minutes), ArgumentError) << minutes;
    }
    EXPECT_THROW(fold_bars(data, 0, {13}, 60, kFields, 5), ArgumentError);
    EXPECT_THROW(fold_bars(data, 0, {13}, 0, {{60, FieldType::f64, Gather::sum}}, 0), ArgumentError);
    EXPECT_THROW(fold_bars(data, 0, {13}, 0, {{8, FieldType::f32, Gather::sum}}, 0), ArgumentError);
    EXPECT_THROW(fold_bars(data, 5, {13}, 0, kFields, 0), ArgumentError);  // past the last row
}

TEST(FoldBars, ABarTimeThatIsNoTimeOrADamagedChunkIsRefused) {
    TempDir dir;
    const std::string path = dir.path("f.h5");
    {
        std::vector<DerivativeBar> bars;
        for (int k = 0; k < 10; ++k) bars.push_back(DerivativeBar{20250102093100, k * 1.5, k * 2.5, 0, 0, k, 1, 1});
        bars[6].datetime = 20250102096100;
        File file(path);
        Dataset::create(file, "data", testing::view(bars), 4);
        file.close();
    }
    {
        ReadOnlyFile file(path);
        try {
            fold_bars(file.dataset("data"), 0, {10}, 0, kFields, 5);
            FAIL() << "a bar without a time gathered";
        } catch (const DamagedFileError& e) {
            EXPECT_NE(std::string(e.what()).find("row 6 of"), std::string::npos) << e.what();
        }
        // Daily bars do not look at the time.
        EXPECT_EQ(fold_bars(file.dataset("data"), 0, {10}, 0, kFields, 0).size(), 1u);
    }
    // The second chunk's stream spoiled: refused before any of it is gathered.
    testing::spoil_chunk(path, 4, 8);
    ReadOnlyFile file(path);
    EXPECT_THROW(fold_bars(file.dataset("data"), 0, {10}, 0, kFields, 0, 2), DamagedFileError);
}

}  // namespace
}  // namespace corvane
