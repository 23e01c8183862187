// The minute-bar file's one unit operation: add a batch of bars ("data") and
// their per-date index ("index") so that the file never names missing bars.
#pragma once

#include "corvane/file.hpp"
#include "corvane/records.hpp"

#include <cstdint>

namespace corvane {

// The two datasets of a minute-bar file: the bars, and one entry per trading date.
inline constexpr const char* kData = "data";
inline constexpr const char* kIndex = "index";

// The largest row number an index entry can hold (line_no is 32-bit unsigned).
inline constexpr std::uint64_t kMaxLineNo = 4294967295u;

// `index` has index_layout(); its line_no count from 0 at the first bar of
// `data`, which has equities_layout() or derivatives_layout(). Both must be
// non-empty, line_no must start at 0 and ascend strictly below data.rows, and
// dates must ascend strictly (ArgumentError); wrong layouts throw LayoutError.
//
// A file without "index" is initialised: an orphan "data" left by an
// interrupted first write is removed, then "data" and "index" are created
// (if "index" cannot be created, "data" is removed again).
//
// Otherwise the batch is appended: the stored "data" layout must equal
// data.layout (LayoutError); the batch's first date must follow the last
// stored one (ArgumentError); a row number above kMaxLineNo throws
// RowLimitError before anything is written. line_no are shifted by the rows
// "data" held before (on a copy), "data" is extended, then "index"; if
// extending "index" fails, "data" is cut back and the failure rethrown.
void append_minbar(File& file, const RecordsView& index, const RecordsView& data);

// The checks append_minbar makes of a batch on its own (ArgumentError,
// LayoutError), for callers that must refuse it before touching anything.
void check_minbar_batch(const RecordsView& index, const RecordsView& data);

}  // namespace corvane
