// Revisions: stored rows of a bundle file replaced by the client's newer
// answer, with what they replace kept whole in a side store first.
#pragma once

#include "corvane/file.hpp"
#include "corvane/records.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace corvane {

// Where the rows a revision replaces go: the file's own directory of
// numbered segments ("000001.h5", "000002.h5", ...), created when missing.
// `durable`: a segment, and the directories made for it, are on disk
// before the file changes.
struct SideStore {
    std::string directory;
    bool durable = false;
};

// The number the next segment of `directory` takes: one above the highest
// there, 1 when there is none. Callers hold the file's writer lock.
std::uint64_t next_segment(const std::string& directory);

// "000042.h5" in `directory`.
std::string segment_path(const std::string& directory, std::uint64_t seq);

// Cuts a minute-bar file back to the days before `from_date` and appends the
// batch (as append_minbar, whose checks it makes), all in the one call of
// `file`. The rows cut, [cut_data_row, data_rows) of "data" and
// [cut_index_row, index_rows) of "index", are first written whole to the
// next segment of `side` (its own new file, renamed into place), with those
// four numbers as attributes of its root group. A file without a stored day
// at or after `from_date` has nothing cut: the batch is appended. Returns the
// segment's number, 0 when none was written.
std::uint64_t revise_minbar(File& file, std::int32_t from_date, const RecordsView& index,
                            const RecordsView& data, const SideStore& side);

// One tick day to write: its member name and records.
struct DayRecords {
    std::string name;
    RecordsView ticks;
};

// Writes each day (as write_day), all in the one call of `file`. The days
// the file already holds are first written whole to the next segment of
// `side`, one dataset each, named and typed as in the file. Returns the
// segment's number, 0 when no stored day was replaced.
std::uint64_t revise_days(File& file, const std::vector<DayRecords>& days, const SideStore& side);

}  // namespace corvane
