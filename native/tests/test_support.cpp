#include "test_support.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/wait.h>
#include <unistd.h>

namespace corvane::testing {

static_assert(sizeof(EquityBar) == 56 && offsetof(EquityBar, total_turnover) == 48);
static_assert(sizeof(DerivativeBar) == 64 && offsetof(DerivativeBar, open_interest) == 40);
static_assert(sizeof(IndexEntry) == 8 && offsetof(IndexEntry, line_no) == 4);

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

bool EquityBar::operator==(const EquityBar& o) const {
    return datetime == o.datetime && open == o.open && high == o.high && low == o.low &&
           close == o.close && volume == o.volume && total_turnover == o.total_turnover;
}

bool DerivativeBar::operator==(const DerivativeBar& o) const {
    return datetime == o.datetime && open == o.open && high == o.high && low == o.low &&
           close == o.close && open_interest == o.open_interest && volume == o.volume &&
           total_turnover == o.total_turnover;
}

std::vector<EquityBar> equity_bars(std::size_t n, std::size_t first) {
    std::vector<EquityBar> bars;
    for (std::size_t i = first; i < first + n; ++i) {
        const double price = 10.0 + 0.01 * static_cast<double>(i % 500);
        bars.push_back(EquityBar{20240102093000 + static_cast<std::int64_t>(i), price, price + 0.02,
                                 price - 0.01, price + 0.01, 100.0 * static_cast<double>(i + 1),
                                 price * 100.0 * static_cast<double>(i + 1)});
    }
    return bars;
}

std::vector<DerivativeBar> derivative_bars(std::size_t n, std::size_t first) {
    std::vector<DerivativeBar> bars;
    for (std::size_t i = first; i < first + n; ++i) {
        const double price = 3500.0 + static_cast<double>(i % 300);
        bars.push_back(DerivativeBar{20240102090000 + static_cast<std::int64_t>(i), price,
                                     price + 2, price - 1, price + 1,
                                     100000 + static_cast<std::int64_t>(i),
                                     static_cast<double>(i + 1), price * static_cast<double>(i + 1)});
    }
    return bars;
}

std::vector<IndexEntry> day_index(const std::vector<std::size_t>& bars_per_day,
                                  std::int32_t first_date) {
    std::vector<IndexEntry> index;
    std::uint32_t line = 0;
    for (std::size_t i = 0; i < bars_per_day.size(); ++i) {
        index.push_back(IndexEntry{first_date + static_cast<std::int32_t>(i), line});
        line += static_cast<std::uint32_t>(bars_per_day[i]);
    }
    return index;
}

int in_dying_child(const std::function<void()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            body();
        } catch (...) {
            ::_exit(3);
        }
        ::_exit(4);  // the body forgot to die
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace corvane::testing
