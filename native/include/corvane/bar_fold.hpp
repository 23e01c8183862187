// Minute bars gathered into longer bars as their chunks are inflated: each
// chunk is folded straight into the bars it holds part of, on the reader's
// threads, and the parts of a bar that a chunk boundary cuts are joined in
// order afterwards. No column of minute bars is ever made.
#pragma once

#include "corvane/dataset.hpp"
#include "corvane/layout.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

// How a longer bar takes one field of the minute bars it holds.
enum class Gather { first, max, min, last, sum };

// One field to gather: an 8-byte i64 or f64 of the records.
struct FoldField {
    std::size_t offset = 0;
    FieldType type = FieldType::f64;
    Gather how = Gather::last;
};

// A gap between two consecutive bars longer than this starts a new session.
inline constexpr std::int64_t kSessionGapNs = 5LL * 60 * 1000000000;

// The rows of one chunk that belong to one longer bar.
struct BarPart {
    std::int64_t end, day, first_ns, last_ns;
    std::size_t from, to;  // rows of the dataset
};

// The longer bars as gathered chunk by chunk, before the parts of a bar that
// a chunk boundary cut are joined: size() tells how many bars they make, so
// that the columns can be made before join_into fills them.
class FoldedBars {
public:
    std::size_t size() const { return size_; }
    // Writes each bar's bucket end in ns (as bar_time_ns; nothing when
    // `ends` is null), its trading date as a position in `day_rows`, and
    // each field's 8 bytes as stored: size() values each, in order.
    void join_into(std::int64_t* ends, std::int64_t* days, const std::vector<std::uint64_t*>& columns) const;

private:
    friend FoldedBars fold_bars(const Dataset&, std::size_t, const std::vector<std::size_t>&, std::size_t,
                                const std::vector<FoldField>&, unsigned, unsigned);
    bool continues(const BarPart& before, const BarPart& part) const;

    std::vector<FoldField> fields_;
    std::int64_t step_ = 0;  // of a bucket in ns; 0: a bar per date
    // Each chunk's parts, and their gathered fields (a row of fields a part).
    std::vector<std::vector<BarPart>> parts_;
    std::vector<std::vector<std::uint64_t>> values_;
    std::size_t size_ = 0;
};

// Gathers the records of `dataset` from row `first` on, where trading date d
// holds the next day_rows[d] of them, into one bar per trading date
// (`minutes` 0) or one per bucket of `minutes` of each session: buckets end
// on the clock's marks (`minutes` divides a day) and hold the bars stamped
// after the previous mark up to theirs; a session is a run of bars of one
// date without a gap past kSessionGapNs. The bar time is the "<i8"
// YYYYMMDDHHMMSS at `time_offset` (not read for daily bars). A sum adds a
// chunk's part in four running totals, then the parts in order; max and min
// keep a NaN.
// Throws ArgumentError for fields or `minutes` it cannot gather,
// DamagedFileError for a bar time that is no time, and as read_columns.
FoldedBars fold_bars(const Dataset& dataset, std::size_t first, const std::vector<std::size_t>& day_rows,
                     std::size_t time_offset, const std::vector<FoldField>& fields, unsigned minutes,
                     unsigned threads = 0);

}  // namespace corvane
