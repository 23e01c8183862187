#include "root_members.hpp"

#include <algorithm>

namespace corvane::detail {

namespace {

// HDF5 says so of any structure whose version it does not know ("bad version
// number for datatype message", "bad object header version number", ...):
// what a newer HDF5 writes when asked for its latest format.
bool unknown_version(const Hdf5Failure& failure) {
    return failure.message.find("version number") != std::string::npos;
}

std::string hdf5_version() {
    unsigned major = 0, minor = 0, release = 0;
    H5get_libversion(&major, &minor, &release);
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(release);
}

}  // namespace

std::vector<std::string> root_member_names(hid_t file, const std::string& path) {
    H5G_info_t info{};
    if (H5Gget_info(file, &info) < 0) {
        throw_with_hdf5_message<IoError>("unable to list the members of '" + path + "'");
    }
    std::vector<std::string> names;
    names.reserve(info.nlinks);
    for (hsize_t i = 0; i < info.nlinks; ++i) {
        const ssize_t size =
            H5Lget_name_by_idx(file, ".", H5_INDEX_NAME, H5_ITER_INC, i, nullptr, 0, H5P_DEFAULT);
        std::string name(size < 0 ? 0 : static_cast<std::size_t>(size) + 1, '\0');
        if (size < 0 || H5Lget_name_by_idx(file, ".", H5_INDEX_NAME, H5_ITER_INC, i, name.data(),
                                           name.size(), H5P_DEFAULT) < 0) {
            throw_with_hdf5_message<IoError>("unable to list the members of '" + path + "'");
        }
        name.resize(static_cast<std::size_t>(size));
        names.push_back(std::move(name));
    }
    // HDF5's name index is already in this order; sorting makes it a promise.
    std::sort(names.begin(), names.end());
    const auto twice = std::adjacent_find(names.begin(), names.end());
    if (twice != names.end()) {
        throw DamagedFileError("'" + path + "' is damaged: two of its members are named '" + *twice + "'");
    }
    return names;
}

void throw_unopened_member(hid_t file, const std::string& path, const std::string& name,
                           const Hdf5Failure& failure) {
    const std::string where = "member '" + name + "' in '" + path + "'";
    if (unknown_version(failure)) {
        // No HDF5 of the engine's reads it; h5py's "latest" (and from HDF5
        // 1.12 on, anything past "v110") writes it.
        throw NewerFormatError(where + " is stored in a newer HDF5 format than corvane reads or writes (HDF5 " +
                                   hdf5_version() + ": " + failure.cause +
                                   "); corvane writes HDF5 1.10's format and older (h5py: libver up to \"v110\")",
                               "", failure.cause);
    }
    H5O_info_t object{};
    if (H5Oget_info_by_name2(file, name.c_str(), &object, H5O_INFO_BASIC, H5P_DEFAULT) < 0) {
        throw_with_hdf5_message<DamagedFileError>(where + " cannot be read");
    }
    if (object.type != H5O_TYPE_DATASET) throw LayoutError(where + " is not a dataset");
    throw DamagedFileError(where + " is a dataset HDF5 cannot open", failure.message, failure.cause);
}

}  // namespace corvane::detail
