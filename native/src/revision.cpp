#include "corvane/revision.hpp"

#include "corvane/dataset.hpp"
#include "corvane/descriptor.hpp"
#include "corvane/error.hpp"
#include "corvane/failpoint.hpp"
#include "corvane/guarded_file.hpp"
#include "corvane/layout.hpp"
#include "corvane/minbar_store.hpp"
#include "corvane/segment.hpp"
#include "corvane/tick_store.hpp"

#include <hdf5.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace corvane {

namespace {

// Rows read from a dataset in its stored layout, to be written elsewhere whole.
struct Cut {
    std::string name;
    RecordLayout layout;
    std::vector<unsigned char> bytes;
    std::size_t rows;
    RecordsView view() const { return RecordsView{layout, bytes.data(), rows}; }
};

Cut read_rows(const Dataset& dataset, std::size_t first, std::size_t count) {
    Cut cut{dataset.name(), dataset.layout(), std::vector<unsigned char>(count * dataset.layout().itemsize()),
            count};
    if (count) dataset.read(first, count, cut.bytes.data());
    return cut;
}

// The segment's number when `name` is one ("000042.h5"), else 0.
std::uint64_t seq_of(const std::string& name) {
    const std::size_t suffix = std::strlen(segment_names::kSuffix);
    if (name.size() <= suffix || name.compare(name.size() - suffix, suffix, segment_names::kSuffix) != 0) return 0;
    std::uint64_t seq = 0;
    for (std::size_t i = 0; i < name.size() - suffix; ++i) {
        if (name[i] < '0' || name[i] > '9' || seq > (UINT64_MAX - 9) / 10) return 0;
        seq = seq * 10 + static_cast<std::uint64_t>(name[i] - '0');
    }
    return seq;
}

// Makes `directory` and its missing parents; durable: each new name flushed
// in its parent, so that a segment's directory survives with the segment.
void make_directories(const std::string& directory, bool durable) {
    std::vector<std::string> made;
    for (std::size_t at = directory.find('/', 1);; at = directory.find('/', at + 1)) {
        const std::string part = directory.substr(0, at);
        if (!part.empty() && ::mkdir(part.c_str(), 0777) == 0) {
            made.push_back(part);
        } else if (!part.empty() && errno != EEXIST) {
            throw IoError("cannot make the side store '" + part + "' (" + std::strerror(errno) + ")");
        }
        if (at == std::string::npos) break;
    }
    if (durable) {
        for (const std::string& part : made) sync_directory_of(part);
    }
}

void write_attribute(const Handle& file, const char* name, std::int64_t value) {
    Handle space(H5Screate(H5S_SCALAR), H5Sclose);
    if (!space) throw_with_hdf5_message<IoError>("making the space of attribute '" + std::string(name) + "'");
    Handle attribute(H5Acreate2(file.get(), name, H5T_STD_I64LE, space.get(), H5P_DEFAULT, H5P_DEFAULT),
                     H5Aclose);
    if (!attribute || H5Awrite(attribute.get(), H5T_NATIVE_INT64, &value) < 0) {
        throw_with_hdf5_message<IoError>("writing attribute '" + std::string(name) + "'");
    }
}

// Writes `cuts` whole to the next segment of `side` and returns its number.
// A segment is a new file of its own: built under a temporary name and
// renamed into place, so that it is either absent or whole. A dead
// writer's leftovers around the segment it was making are settled first.
std::uint64_t write_segment(const SideStore& side, const std::vector<Cut>& cuts,
                            const std::vector<std::pair<const char*, std::int64_t>>& attributes) {
    make_directories(side.directory, side.durable);
    const std::uint64_t seq = next_segment(side.directory);
    if (seq > 1) GuardedFile::recover(segment_path(side.directory, seq - 1));
    const std::string path = segment_path(side.directory, seq);
    GuardedFile::recover(path);
    File segment(path, side.durable);
    if (!segment.members().empty()) {
        throw FileError("the side store's segment '" + path + "' exists already: not writing over it");
    }
    for (const Cut& cut : cuts) Dataset::create(segment, cut.name, cut.view());
    segment.begin_writing();
    for (const auto& [name, value] : attributes) write_attribute(segment.handle(), name, value);
    failpoint::pass("revision.segment_built");
    segment.close();
    failpoint::pass("revision.segment");
    return seq;
}

std::int32_t date_of(const unsigned char* index_row) {
    std::int32_t date;
    std::memcpy(&date, index_row + index_layout().field("date").offset, sizeof date);
    return date;
}

std::uint32_t line_of(const unsigned char* index_row) {
    std::uint32_t line;
    std::memcpy(&line, index_row + index_layout().field("line_no").offset, sizeof line);
    return line;
}

}  // namespace

std::string segment_path(const std::string& directory, std::uint64_t seq) {
    char name[32];
    std::snprintf(name, sizeof name, "%0*llu%s", segment_names::kDigits, static_cast<unsigned long long>(seq),
                  segment_names::kSuffix);
    return directory + "/" + name;
}

std::uint64_t next_segment(const std::string& directory) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        if (errno == ENOENT) return 1;
        throw IoError("cannot list the side store '" + directory + "' (" + std::strerror(errno) + ")");
    }
    std::uint64_t highest = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::uint64_t seq = seq_of(entry->d_name);
        if (seq > highest) highest = seq;
    }
    ::closedir(dir);
    return highest + 1;
}

std::uint64_t revise_minbar(File& file, std::int32_t from_date, const RecordsView& index,
                            const RecordsView& data, const SideStore& side) {
    check_minbar_batch(index, data);
    if (date_of(static_cast<const unsigned char*>(index.bytes)) < from_date) {
        throw ArgumentError("the batch's first date " + std::to_string(date_of(static_cast<const unsigned char*>(index.bytes))) +
                            " lies before the first revised date " + std::to_string(from_date));
    }
    file.begin_writing();
    if (!file.contains(kIndex)) {
        append_minbar(file, index, data);
        return 0;
    }
    Dataset& stored_index = file.dataset(kIndex);
    Dataset& stored_data = file.dataset(kData);
    if (stored_index.layout() != index_layout()) {
        throw LayoutError(stored_index.where() + " is not a minute-bar index");
    }
    // The index is one row per day: small enough to read whole.
    const std::size_t days = stored_index.length();
    const std::size_t rows = stored_data.length();
    const Cut all_days = read_rows(stored_index, 0, days);
    const std::size_t size = index_layout().itemsize();
    std::size_t cut_day = days;
    while (cut_day > 0 && date_of(all_days.bytes.data() + (cut_day - 1) * size) >= from_date) --cut_day;
    if (cut_day == days) {
        append_minbar(file, index, data);
        return 0;
    }
    const std::size_t cut_row = line_of(all_days.bytes.data() + cut_day * size);
    if (cut_row > rows) {
        throw LayoutError(stored_index.where() + ": day " + std::to_string(cut_day) + " starts at bar " +
                          std::to_string(cut_row) + " of " + std::to_string(rows) +
                          ": not a minute-bar index");
    }
    const std::uint64_t seq = write_segment(
        side, {read_rows(stored_data, cut_row, rows - cut_row), read_rows(stored_index, cut_day, days - cut_day)},
        {{segment_names::kCutDataRow, static_cast<std::int64_t>(cut_row)},
         {segment_names::kDataRows, static_cast<std::int64_t>(rows)},
         {segment_names::kCutIndexRow, static_cast<std::int64_t>(cut_day)},
         {segment_names::kIndexRows, static_cast<std::int64_t>(days)}});
    stored_index.shrink(cut_day);
    stored_data.shrink(cut_row);
    append_minbar(file, index, data);
    return seq;
}

std::uint64_t revise_days(File& file, const std::vector<DayRecords>& days, const SideStore& side) {
    file.begin_writing();
    std::vector<Cut> replaced;
    for (const DayRecords& day : days) {
        if (!file.contains(day.name)) continue;
        const Dataset& stored = file.dataset(day.name);
        replaced.push_back(read_rows(stored, 0, stored.length()));
    }
    const std::uint64_t seq = replaced.empty() ? 0 : write_segment(side, replaced, {});
    for (const DayRecords& day : days) write_day(file, day.name, day.ticks);
    return seq;
}

}  // namespace corvane
