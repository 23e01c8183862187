#include "corvane/dataset.hpp"
#include "corvane/file.hpp"
#include "corvane/reader.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvane {
namespace {

using testing::EquityBar;
using testing::TempDir;

constexpr int kForks = 100;
// A bound that only fails the test: the child reads a small file at once.
constexpr int kChildWaitMs = 20000;

// The child's exit code; -1 when it still ran after the wait (it is then
// killed: it waits for a lock nobody in it will give back).
int exit_code(pid_t pid) {
    const int handle = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    pollfd ready{handle, POLLIN, 0};
    const bool ended = handle >= 0 && ::poll(&ready, 1, kChildWaitMs) == 1;
    if (handle >= 0) ::close(handle);
    if (!ended) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void write(const std::string& path, const std::vector<EquityBar>& bars) {
    File file(path);
    Dataset::create(file, "data", testing::view(bars), /*rows_per_chunk=*/64);
    file.close();
}

// Reads the times of `path` on three threads: the child's threads need
// HDF5's lock as much as the one the child began with.
std::vector<std::int64_t> times_of(const std::string& path, std::size_t rows) {
    std::vector<std::int64_t> times(rows);
    ReadOnlyFile file(path);
    read_columns(file.dataset("data"), 0, rows, {{0, 8, times.data()}}, 3);
    return times;
}

[[noreturn]] void read_in_child(const std::string& path, const std::vector<EquityBar>& expected) {
    int code = 3;
    try {
        const std::vector<std::int64_t> times = times_of(path, expected.size());
        code = 0;
        for (std::size_t i = 0; i < times.size(); ++i) code = times[i] == expected[i].datetime ? code : 2;
    } catch (...) {
    }
    ::_exit(code);
}

TEST(ForkBesideReads, TheChildOpensAndReadsAFileOfItsOwn) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizer's own allocator takes no lock at fork: a child forked while
    // a reader thread allocates may wait on it, whatever the engine does.
    GTEST_SKIP() << "fork beside threads under a sanitizer's allocator";
#endif
    TempDir dir;
    const std::string busy = dir.path("busy.h5"), own = dir.path("own.h5");
    const std::vector<EquityBar> bars = testing::equity_bars(20000), mine = testing::equity_bars(5000, 7);
    write(busy, bars);
    write(own, mine);
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    auto read_again_and_again = [&] {
        while (!stop) {
            times_of(busy, bars.size());
            ++reads;
        }
    };
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) readers.emplace_back(read_again_and_again);
    while (reads == 0) std::this_thread::yield();
    std::vector<int> codes;
    for (int i = 0; i < kForks; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) read_in_child(own, mine);
        codes.push_back(exit_code(pid));
        if (codes.back() == -1) break;  // one is enough: the next would wait as long
    }
    stop = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(codes, std::vector<int>(kForks, 0)) << "child " << codes.size() << " ended " << codes.back();
}

}  // namespace
}  // namespace corvane
