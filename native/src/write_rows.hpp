// The engine's one path for putting record bytes into a dataset. Creation and
// appends both end here, so the way rows are compressed and written can
// change in this one place without touching any caller.
#pragma once

#include "corvane/dataset.hpp"
#include "corvane/records.hpp"

#include <cstddef>

namespace corvane::detail {

// Writes `records` into rows [first_row, first_row + records.rows) of
// `dataset`, whose extent must already cover them and whose stored layout
// equals records.layout. Throws IoError.
void write_rows(const Dataset& dataset, std::size_t first_row, const RecordsView& records);

}  // namespace corvane::detail
