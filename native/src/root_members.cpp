#include "root_members.hpp"

#include "corvane/error.hpp"

#include <algorithm>

namespace corvane::detail {

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
    return names;
}

}  // namespace corvane::detail
