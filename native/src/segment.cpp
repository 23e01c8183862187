#include "corvane/segment.hpp"

#include "corvane/error.hpp"
#include "corvane/handle.hpp"
#include "corvane/minbar_store.hpp"
#include "root_members.hpp"

#include <hdf5.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <sys/stat.h>

namespace corvane {

namespace {

[[noreturn]] void not_a_segment(const std::string& path, const std::string& why) {
    throw DamagedFileError("'" + path + "' is not a superseded segment: " + why);
}

Handle open_segment(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos) {
        throw FileError("invalid file name '" + path + "'");
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw FileError("unable to open superseded segment '" + path + "' (" + std::strerror(errno) + ")");
    }
    if (!S_ISREG(status.st_mode)) {
        throw FileError("unable to open superseded segment '" + path + "' (not a regular file)");
    }
    // Held past the failure: closing it (an HDF5 call) would clear the error stack.
    const Handle fapl = unlocked_file_access();
    Handle file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, fapl.get()), H5Fclose);
    if (!file) {
        const Hdf5Failure failure = take_hdf5_failure();
        if (failure.not_hdf5) {
            throw NotBundleFileError("'" + path + "' is not a superseded segment: not an HDF5 file");
        }
        const std::string context = "unable to open superseded segment '" + path + "'";
        if (failure.damaged) throw DamagedFileError(context, failure.message, failure.cause);
        throw FileError(context, failure.message, failure.cause);
    }
    return file;
}

bool has_attribute(hid_t file, const std::string& path, const char* name) {
    const htri_t exists = H5Aexists(file, name);
    if (exists < 0) throw_with_hdf5_message<DamagedFileError>("unable to look up attribute '" + std::string(name) +
                                                              "' of '" + path + "'");
    return exists > 0;
}

// The value of the root attribute `name`, which must be one non-negative
// integer. Its space and type are checked before it is read: a read fills
// as many elements as the space holds, so only a scalar may go into the one
// value here; and a wider integer than 64 bits would be clipped silently.
std::uint64_t cut_attribute(hid_t file, const std::string& path, const char* name) {
    const std::string what = "attribute '" + std::string(name) + "'";
    Handle attribute(H5Aopen(file, name, H5P_DEFAULT), H5Aclose);
    if (!attribute) throw_with_hdf5_message<DamagedFileError>("unable to open " + what + " of '" + path + "'");
    Handle space(H5Aget_space(attribute.get()), H5Sclose);
    Handle type(H5Aget_type(attribute.get()), H5Tclose);
    if (!space || !type) throw_with_hdf5_message<DamagedFileError>("unable to read " + what + " of '" + path + "'");
    if (H5Sget_simple_extent_type(space.get()) != H5S_SCALAR) not_a_segment(path, what + " is not a single value");
    const std::size_t size = H5Tget_size(type.get());
    if (H5Tget_class(type.get()) != H5T_INTEGER || size == 0 || size > sizeof(std::int64_t)) {
        not_a_segment(path, what + " is not a 64-bit (or narrower) integer");
    }
    const bool is_signed = H5Tget_sign(type.get()) != H5T_SGN_NONE;
    std::int64_t signed_value = 0;
    std::uint64_t value = 0;
    const herr_t read = is_signed ? H5Aread(attribute.get(), H5T_NATIVE_INT64, &signed_value)
                                  : H5Aread(attribute.get(), H5T_NATIVE_UINT64, &value);
    if (read < 0) throw_with_hdf5_message<DamagedFileError>("unable to read " + what + " of '" + path + "'");
    if (is_signed) {
        if (signed_value < 0) not_a_segment(path, what + " is negative (" + std::to_string(signed_value) + ")");
        value = static_cast<std::uint64_t>(signed_value);
    }
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        not_a_segment(path, what + " is out of range (" + std::to_string(value) + ")");
    }
    return value;
}

void require_dataset(hid_t file, const std::string& path, const std::string& name) {
    H5O_info_t object{};
    if (H5Oget_info_by_name2(file, name.c_str(), &object, H5O_INFO_BASIC, H5P_DEFAULT) < 0) {
        throw_with_hdf5_message<DamagedFileError>("member '" + name + "' in '" + path + "' cannot be read");
    }
    if (object.type != H5O_TYPE_DATASET) not_a_segment(path, "its member '" + name + "' is not a dataset");
}

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

bool is_day_name(const std::string& name) {
    if (name.size() != 8 || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const int year = std::stoi(name.substr(0, 4));
    const int month = std::stoi(name.substr(4, 2));
    const int day = std::stoi(name.substr(6, 2));
    static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    return day <= kMonthDays[month - 1] + (month == 2 && is_leap(year) ? 1 : 0);
}

SegmentFacts segment_facts(const std::string& path) {
    ErrorPrintingOff quiet;
    const Handle file = open_segment(path);
    SegmentFacts facts;
    facts.members = detail::root_member_names(file.get(), path);
    const bool cut_data = has_attribute(file.get(), path, segment_names::kCutDataRow);
    const bool cut_index = has_attribute(file.get(), path, segment_names::kCutIndexRow);
    if (cut_data || cut_index) {
        if (!(cut_data && cut_index)) {
            not_a_segment(path, std::string("it has the attribute '") +
                                    (cut_data ? segment_names::kCutDataRow : segment_names::kCutIndexRow) +
                                    "' but not '" +
                                    (cut_data ? segment_names::kCutIndexRow : segment_names::kCutDataRow) + "'");
        }
        facts.kind = SegmentFacts::Kind::minbar;
        facts.cut_data_row = cut_attribute(file.get(), path, segment_names::kCutDataRow);
        facts.cut_index_row = cut_attribute(file.get(), path, segment_names::kCutIndexRow);
        for (const char* name : {kData, kIndex}) {
            if (!std::binary_search(facts.members.begin(), facts.members.end(), std::string(name))) {
                not_a_segment(path, std::string("it holds no \"") + name + "\"");
            }
            require_dataset(file.get(), path, name);
        }
        return facts;
    }
    facts.kind = SegmentFacts::Kind::tick;
    for (const std::string& name : facts.members) {
        if (!is_day_name(name)) continue;
        require_dataset(file.get(), path, name);
        facts.days.push_back(name);
    }
    if (facts.days.empty()) {
        not_a_segment(path, std::string("it has neither the cut attributes ('") + segment_names::kCutDataRow +
                                "', '" + segment_names::kCutIndexRow + "') nor a day's dataset");
    }
    return facts;
}

}  // namespace corvane
