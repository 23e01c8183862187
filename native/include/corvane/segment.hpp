// A superseded segment: the file a revision moves what it replaces to. Its
// names are declared here once; the writer (revision.cpp) and the binding,
// which hands them to Python, both take them from here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::segment_names {

// A segment's file name: its number, zero-padded to kDigits, then kSuffix
// ("000042.h5").
inline constexpr const char* kSuffix = ".h5";
inline constexpr int kDigits = 6;

// Root-group attributes of a minute-bar segment: it holds rows
// [kCutDataRow, kDataRows) of the file's "data" and [kCutIndexRow,
// kIndexRows) of its "index", as they were before the cut. A tick segment
// has none: it holds one dataset per replaced day, named as in the file.
inline constexpr const char* kCutDataRow = "cut_data_row";
inline constexpr const char* kDataRows = "data_rows";
inline constexpr const char* kCutIndexRow = "cut_index_row";
inline constexpr const char* kIndexRows = "index_rows";

}  // namespace corvane::segment_names

namespace corvane {

// What a segment holds, as the readers of a version need it.
struct SegmentFacts {
    enum class Kind { minbar, tick };
    Kind kind = Kind::minbar;
    // Minute bars: where the file was cut (the cut attributes).
    std::uint64_t cut_data_row = 0;
    std::uint64_t cut_index_row = 0;
    // Every root member, in ascending byte order.
    std::vector<std::string> members;
    // Ticks: the members named as a day (YYYYMMDD, a real date), in order.
    std::vector<std::string> days;
};

// Whether `name` is a tick day's member name: eight ASCII digits that make
// a real date of the proleptic Gregorian calendar.
bool is_day_name(const std::string& name);

// The facts of the segment at `path`, opened read-only without a lock (a
// segment is renamed into place whole and never changed). A minute-bar
// segment has both cut attributes, each a scalar non-negative integer, and
// the datasets "data" and "index"; a tick segment has no cut attribute and
// at least one day dataset. Throws FileError when the file cannot be opened
// (absent, not a regular file), NotBundleFileError when it is not HDF5,
// DamagedFileError when it is HDF5 but not such a segment; nothing else is
// read than the attributes and the members' kinds.
SegmentFacts segment_facts(const std::string& path);

}  // namespace corvane
