// The tick file's one operation: a trading day is always written whole.
#pragma once

#include "corvane/file.hpp"
#include "corvane/records.hpp"

#include <string>

namespace corvane {

// Removes member `name` when present, then creates it from `ticks`.
void write_day(File& file, const std::string& name, const RecordsView& ticks);

}  // namespace corvane
