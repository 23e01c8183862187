// Shared helpers of the engine tests: temporary directories, small record
// batches in the three minute-bar layouts, byte-level file comparison.
#pragma once

#include "corvane/dataset.hpp"
#include "corvane/layout.hpp"
#include "corvane/records.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace corvane::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path(const std::string& name) const { return root_ + "/" + name; }

private:
    std::string root_;
};

std::string read_bytes(const std::string& path);
void write_bytes(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);
// Names of the entries of `dir`, sorted.
std::vector<std::string> names_in(const std::string& dir);

// Runs `body` in a forked child, which must end itself with ::_exit(): no
// cleanup runs, as for a killed writer. Returns the child's exit status
// (3: the body threw; 4: it returned without exiting).
int in_dying_child(const std::function<void()>& body);

struct EquityBar {
    std::int64_t datetime;
    double open, high, low, close, volume, total_turnover;
    bool operator==(const EquityBar& o) const;
};

struct DerivativeBar {
    std::int64_t datetime;
    double open, high, low, close;
    std::int64_t open_interest;
    double volume, total_turnover;
    bool operator==(const DerivativeBar& o) const;
};

struct IndexEntry {
    std::int32_t date;
    std::uint32_t line_no;
    bool operator==(const IndexEntry& o) const { return date == o.date && line_no == o.line_no; }
};

// `n` distinct bars starting at bar number `first`.
std::vector<EquityBar> equity_bars(std::size_t n, std::size_t first = 0);
std::vector<DerivativeBar> derivative_bars(std::size_t n, std::size_t first = 0);
// One index row per day, dates from `first_date` on, line_no of each day's
// first bar counted from 0.
std::vector<IndexEntry> day_index(const std::vector<std::size_t>& bars_per_day,
                                  std::int32_t first_date);

inline RecordsView view(const std::vector<EquityBar>& v) {
    return RecordsView{equities_layout(), v.data(), v.size()};
}
inline RecordsView view(const std::vector<DerivativeBar>& v) {
    return RecordsView{derivatives_layout(), v.data(), v.size()};
}
inline RecordsView view(const std::vector<IndexEntry>& v) {
    return RecordsView{index_layout(), v.data(), v.size()};
}

template <class Record>
std::vector<Record> read_all(const Dataset& dataset) {
    std::vector<Record> out(dataset.length());
    dataset.read(0, out.size(), out.data());
    return out;
}

}  // namespace corvane::testing
