// Filling a fetch's minute-bar records in place: their times turned to
// YYYYMMDDhhmmss and their float64 columns copied into their fields, in
// one pass a field instead of an array operation a step.
#pragma once

#include "corvane/records.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace corvane {

// The "datetime" field (<i8) of the `rows` records at `bytes` set to
// YYYYMMDDhhmmss of the wall-clock times `ns` (nanoseconds from
// 1970-01-01, any sign): the date by the proleptic Gregorian calendar, the
// time of day cut to the second. Each field of `columns` (<f8) set to its
// values. Throws LayoutError naming a field that is missing or of another type.
void fill_bar_records(const RecordLayout& layout, void* bytes, std::size_t rows, const std::int64_t* ns,
                      const std::vector<std::pair<std::string, const double*>>& columns);

}  // namespace corvane
