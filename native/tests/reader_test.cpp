#include "corvane/dataset.hpp"
#include "corvane/error.hpp"
#include "corvane/file.hpp"
#include "corvane/reader.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvane {
namespace {

using testing::EquityBar;
using testing::TempDir;

constexpr std::int64_t kNaT = INT64_MIN;
constexpr std::int64_t kSecond = 1000000000;

TEST(BarTime, DecodesValidTimesAndRefusesOthers) {
    EXPECT_EQ(bar_time_ns(19700101000000), 0);
    EXPECT_EQ(bar_time_ns(20250102093100), (20090LL * 86400 + 9 * 3600 + 31 * 60) * kSecond);
    EXPECT_EQ(bar_time_ns(20240229235959), (19782LL * 86400 + 86399) * kSecond);  // a leap day
    EXPECT_EQ(bar_time_ns(19000301000000), -25508LL * 86400 * kSecond);           // 1900: no leap year
    for (std::int64_t bad : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{20230229093100},
                             std::int64_t{20251301093100}, std::int64_t{20250100093100},
                             std::int64_t{20250131240000}, std::int64_t{20250131236000},
                             std::int64_t{20250131235960}, std::int64_t{22630101000000},
                             std::int64_t{16000101000000}, INT64_MAX}) {
        EXPECT_EQ(bar_time_ns(bad), kNaT) << bad;
    }
}

TEST(BarTime, TheDecoderOfRunsDecodesEveryValueAsAlone) {
    // Minutes running on across an hour, a day and a month, seconds, a
    // minute 60, values that are no time, the same value twice, going back.
    const std::vector<std::int64_t> values{
        20250102095800, 20250102095900, 20250102100000, 20250102100100, 20250102105930, 20250102110030,
        20250102115900, 20250102116000, 20250102120000, 20250131235800, 20250131235900, 20250201000000,
        20250201000100, -1, -1 + 100, 0, 100, 20250230093000, 20250230093100, 20250102093100,
        20250102093100, 20250102093200, 20250102093000, 20250102093100, 22621231235800, 22621231235900};
    BarTimeDecoder decode;
    for (const std::int64_t value : values) EXPECT_EQ(decode(value), bar_time_ns(value)) << value;
}

TEST(TickTime, DecodesTheDateAndCountsTheClock) {
    EXPECT_EQ(tick_time_ns(19700101, 0), 0);
    EXPECT_EQ(tick_time_ns(20250102, 93000500), (20090LL * 86400 + 9 * 3600 + 30 * 60) * kSecond + 500000000);
    EXPECT_EQ(tick_time_ns(20240229, 235959999), (19782LL * 86400 + 86399) * kSecond + 999000000);
    // A clock is only counted: 25 hours are the next day's 1 o'clock.
    EXPECT_EQ(tick_time_ns(20250102, 250000000), tick_time_ns(20250103, 10000000));
    for (std::uint32_t bad : {0u, 20230229u, 20251301u, 20250100u, 22630101u, 16000101u, UINT32_MAX}) {
        EXPECT_EQ(tick_time_ns(bad, 93000000), kNaT) << bad;
    }
}

struct Tick {
    std::uint32_t date, time;
    std::int32_t last;
    std::int32_t spare;
};

TEST(ReadTickColumns, DecodesTimesAndDividesPricesOnAnyThreads) {
    const RecordLayout layout({{"date", FieldType::u32, 0}, {"time", FieldType::u32, 4},
                               {"last", FieldType::i32, 8}, {"spare", FieldType::i32, 12}},
                              sizeof(Tick));
    std::vector<Tick> ticks(300);
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        ticks[i] = {i < 120 ? 20241231u : 20250102u, static_cast<std::uint32_t>(93000000 + 1000 * (i % 60) + i),
                    static_cast<std::int32_t>(125800 + 7 * i) * (i % 2 ? 1 : -1), 0};
    }
    ticks[200].date = 20250230;  // no day: its tick alone has no time
    TempDir dir;
    {
        File file(dir.path("t.h5"));
        Dataset::create(file, "20250102", RecordsView{layout, ticks.data(), ticks.size()}, 8);
        file.close();
    }
    ReadOnlyFile file(dir.path("t.h5"));
    const Dataset data = file.dataset("20250102");
    for (unsigned threads : {1u, 3u}) {
        std::vector<std::int64_t> times(290);
        std::vector<double> last(290);
        read_columns(data, 10, 290,
                     {{0, 8, times.data(), ColumnTarget::Decode::tick_time_ns},
                      {8, 4, last.data(), ColumnTarget::Decode::divided, 10000.0}},
                     threads);
        for (std::size_t r = 0; r < times.size(); ++r) {
            const Tick& tick = ticks[10 + r];
            ASSERT_EQ(times[r], tick_time_ns(tick.date, tick.time)) << r;
            ASSERT_EQ(last[r], tick.last / 10000.0) << r;
        }
    }
    std::vector<double> out(2);
    // A decode reads 8 bytes of a time, 4 of a divided field.
    EXPECT_THROW(read_columns(data, 0, 1, {{12, 8, out.data(), ColumnTarget::Decode::tick_time_ns}}), ArgumentError);
    EXPECT_THROW(read_columns(data, 0, 1, {{0, 4, out.data(), ColumnTarget::Decode::tick_time_ns}}), ArgumentError);
    EXPECT_THROW(read_columns(data, 0, 1, {{8, 8, out.data(), ColumnTarget::Decode::divided, 2.0}}), ArgumentError);
}

// Bars of consecutive minutes over several days, a few of them not times at all.
std::vector<EquityBar> timed_bars(std::size_t n) {
    auto bars = testing::equity_bars(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t day = 20250102 + static_cast<std::int64_t>(i / 100);
        bars[i].datetime = day * 1000000 + 90000 + static_cast<std::int64_t>(i % 100 / 60 * 10000 + i % 60 * 100);
    }
    bars[150].datetime = 0;
    bars[151].datetime = 20250103250000;
    return bars;
}

class ReadColumnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        File file(path);
        // Small chunks: enough of them for several threads.
        Dataset::create(file, "data", testing::view(bars), /*rows_per_chunk=*/8);
        file.close();
    }
    TempDir dir;
    std::string path = dir.path("f.h5");
    std::vector<EquityBar> bars = timed_bars(1000);
};

TEST_F(ReadColumnsTest, ReadsTheRowsOfAnyRangeFieldByField) {
    ReadOnlyFile file(path);
    const Dataset data = file.dataset("data");
    struct Range { std::size_t first, count; unsigned threads; };
    for (const Range range : {Range{0, 1000, 1}, Range{0, 1000, 3}, Range{63, 2, 2}, Range{64, 64, 4},
                              Range{130, 700, 0}, Range{999, 1, 2}, Range{500, 0, 2}}) {
        std::vector<std::int64_t> times(range.count), raw_times(range.count);
        std::vector<double> close(range.count);
        std::vector<EquityBar> whole(range.count);
        read_columns(data, range.first, range.count,
                     {{0, 8, times.data(), ColumnTarget::Decode::bar_time_ns},
                      {0, 8, raw_times.data()},
                      {offsetof(EquityBar, close), 8, close.data()},
                      {0, sizeof(EquityBar), whole.data()}},
                     range.threads);
        for (std::size_t r = 0; r < range.count; ++r) {
            const EquityBar& bar = bars[range.first + r];
            ASSERT_EQ(times[r], bar_time_ns(bar.datetime)) << range.first + r;
            ASSERT_EQ(raw_times[r], bar.datetime);
            ASSERT_EQ(close[r], bar.close);
            ASSERT_TRUE(whole[r] == bar);
        }
    }
    EXPECT_EQ(bar_time_ns(bars[150].datetime), kNaT);
}

TEST_F(ReadColumnsTest, ReadsBesideEachOtherAndPastTheCachesTheSameRows) {
    ReadOnlyFile file(path);
    const Dataset data = file.dataset("data");
    // Two reads at once: one on the kept threads, the other on its own.
    auto read_times = [&](std::vector<std::int64_t>& times) {
        for (int again = 0; again < 20; ++again) {
            read_columns(data, 0, times.size(), {{0, 8, times.data(), ColumnTarget::Decode::bar_time_ns}}, 3);
        }
    };
    std::vector<std::int64_t> mine(bars.size()), theirs(bars.size());
    std::thread other(read_times, std::ref(theirs));
    read_times(mine);
    other.join();
    // Columns of more than 16 MiB together are stored past the caches.
    std::vector<std::vector<double>> closes(2100, std::vector<double>(bars.size()));
    std::vector<ColumnTarget> columns{{0, 8, mine.data(), ColumnTarget::Decode::bar_time_ns}};
    for (auto& close : closes) columns.push_back({offsetof(EquityBar, close), 8, close.data()});
    read_columns(data, 0, bars.size(), columns, 2);
    for (std::size_t r = 0; r < bars.size(); ++r) {
        ASSERT_EQ(theirs[r], bar_time_ns(bars[r].datetime)) << r;
        ASSERT_EQ(mine[r], theirs[r]) << r;
        ASSERT_EQ(closes[r % closes.size()][r], bars[r].close) << r;
    }
}

TEST_F(ReadColumnsTest, RefusesRowsOutsideAndColumnsThatDoNotFit) {
    ReadOnlyFile file(path);
    const Dataset data = file.dataset("data");
    std::vector<unsigned char> out(sizeof(EquityBar) * 2);
    EXPECT_THROW(read_columns(data, 999, 2, {{0, 8, out.data()}}), ArgumentError);
    EXPECT_THROW(read_columns(data, 1001, 0, {{0, 8, out.data()}}), ArgumentError);
    EXPECT_THROW(read_columns(data, 0, 1, {{52, 8, out.data()}}), ArgumentError);
    EXPECT_THROW(read_columns(data, 0, 1, {{8, 4, out.data(), ColumnTarget::Decode::bar_time_ns}}),
                 ArgumentError);
    EXPECT_THROW(read_columns(data, 0, 1, {{0, 0, out.data()}}), ArgumentError);
}

// The file offset of the stored chunk holding row `row`.
haddr_t chunk_address(const std::string& path, std::size_t row, hsize_t& size) {
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t dataset = H5Dopen2(file, "data", H5P_DEFAULT);
    const hsize_t offset[1] = {row};
    unsigned mask = 0;
    haddr_t address = HADDR_UNDEF;
    H5Dget_chunk_info_by_coord(dataset, offset, &mask, &address, &size);
    H5Dclose(dataset);
    H5Fclose(file);
    return address;
}

TEST_F(ReadColumnsTest, ADamagedChunkIsNamedWithItsRows) {
    hsize_t size = 0;
    const haddr_t address = chunk_address(path, 128, size);
    ASSERT_NE(address, HADDR_UNDEF);
    {
        std::fstream bytes(path, std::ios::in | std::ios::out | std::ios::binary);
        bytes.seekp(static_cast<std::streamoff>(address + size / 2));
        const std::string garbage(16, '\xa5');
        bytes.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    ReadOnlyFile file(path);
    const Dataset data = file.dataset("data");
    std::vector<double> close(1000);
    // The chunks before it read well.
    EXPECT_NO_THROW(read_columns(data, 0, 128, {{offsetof(EquityBar, close), 8, close.data()}}));
    for (unsigned threads : {1u, 4u}) {
        try {
            read_columns(data, 100, 900, {{offsetof(EquityBar, close), 8, close.data()}}, threads);
            FAIL() << "a damaged chunk read without error";
        } catch (const DamagedFileError& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find("rows 128 to 136"), std::string::npos) << message;
            EXPECT_NE(message.find("'data' in '" + path + "'"), std::string::npos) << message;
        }
    }
}

bool exclusive_lock_possible(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return locked;
}

TEST_F(ReadColumnsTest, HoldsAReadersSharedLockUntilClosed) {
    ASSERT_TRUE(exclusive_lock_possible(path));
    ReadOnlyFile file(path);
    EXPECT_FALSE(exclusive_lock_possible(path));
    // Another reader goes beside it.
    ReadOnlyFile other(path);
    EXPECT_EQ(other.members(), std::vector<std::string>{"data"});
    other.close();
    EXPECT_FALSE(exclusive_lock_possible(path));
    ReadOnlyFile moved(std::move(file));
    EXPECT_FALSE(exclusive_lock_possible(path));
    moved.close();
    EXPECT_TRUE(exclusive_lock_possible(path));
    EXPECT_THROW(moved.members(), ArgumentError);
}

TEST_F(ReadColumnsTest, AFileHeldForWritingIsRefusedAfterTheWait) {
    const int writer = ::open(path.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(writer, LOCK_EX), 0);
    try {
        ReadOnlyFile file(path, std::chrono::milliseconds(20));
        FAIL() << "opened a file another process holds exclusively";
    } catch (const BusyError& e) {
        EXPECT_NE(std::string(e.what()).find("another process holds it for writing"), std::string::npos)
            << e.what();
    }
    ::close(writer);
    ReadOnlyFile file(path, std::chrono::milliseconds(0));
    EXPECT_TRUE(file.contains("data"));
}

TEST_F(ReadColumnsTest, OpensNothingButHdf5FilesAndNamesWhatIsMissing) {
    EXPECT_THROW(ReadOnlyFile(dir.path("absent.h5")), FileError);
    testing::write_bytes(dir.path("text.h5"), "not hdf5");
    try {
        ReadOnlyFile text(dir.path("text.h5"));
        FAIL();
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("text.h5"), std::string::npos);
    }
    EXPECT_TRUE(exclusive_lock_possible(dir.path("text.h5")));  // the lock went with the failure
    ReadOnlyFile file(path);
    EXPECT_TRUE(file.contains("data"));
    EXPECT_FALSE(file.contains("index"));
    EXPECT_FALSE(file.contains("a/b"));
    EXPECT_THROW(file.dataset("index"), NotFound);
}

}  // namespace
}  // namespace corvane
