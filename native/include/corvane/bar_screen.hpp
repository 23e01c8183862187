// A screen of one trading day's minute bars before the quality checks
// (corvane.quality): whether no check can find a row of them, in one pass.
#pragma once

#include "corvane/records.hpp"

#include <cstdint>

namespace corvane {

// The bounds of one trading day's checks: its date YYYYMMDD, the earliest
// calendar date a bar of it may carry, and the jump check's factors: its bar
// is deviations x the largest of mad_to_sigma x the median move between
// neighbouring closes, floor x the median close, and the smallest move that
// is not 0.
struct DayBounds {
    std::int64_t date;
    std::int64_t earliest;
    double jump_deviations;
    double jump_floor;
    double mad_to_sigma;
};

// True when every bar of `bars` (of the trading date `day.date`, in order)
// passes every check: open, high, low and close finite and above 0, low <=
// open, close <= high, volume and turnover (when present) 0 or more, the
// "datetime" (YYYYMMDDhhmmss) rising, its calendar date within [earliest,
// date], and no move between neighbouring closes past the day's jump bar,
// computed as the jump check computes it. False says only that the checks
// must run: a record
// type without these fields, or any bound not met. Each comparison is the
// checks' own, on the same float64 values, so a true here means they find
// nothing.
bool day_passes_checks(const RecordsView& bars, const DayBounds& day);

}  // namespace corvane
