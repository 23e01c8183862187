#include "corvane/lengths.hpp"

#include "corvane/error.hpp"
#include "corvane/handle.hpp"
#include "root_members.hpp"

#include <hdf5.h>

#include <vector>

namespace corvane {

std::map<std::string, std::size_t> dataset_lengths(const std::string& path) {
    ErrorPrintingOff quiet;
    const Handle fapl = unlocked_file_access();
    Handle file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, fapl.get()), H5Fclose);
    if (!file) throw_with_hdf5_message<FileError>("unable to open file '" + path + "'");
    std::map<std::string, std::size_t> lengths;
    for (const std::string& name : detail::root_member_names(file.get(), path)) {
        Handle object(H5Oopen(file.get(), name.c_str(), H5P_DEFAULT), H5Oclose);
        if (!object) throw_with_hdf5_message<IoError>("unable to open '" + name + "' in '" + path + "'");
        if (H5Iget_type(object.get()) != H5I_DATASET) continue;
        Handle space(H5Dget_space(object.get()), H5Sclose);
        hsize_t dims[1] = {0};
        if (!space || H5Sget_simple_extent_ndims(space.get()) != 1) continue;
        if (H5Sget_simple_extent_dims(space.get(), dims, nullptr) != 1) {
            throw_with_hdf5_message<IoError>("unable to read the length of '" + name + "' in '" + path + "'");
        }
        lengths[name] = static_cast<std::size_t>(dims[0]);
    }
    return lengths;
}

}  // namespace corvane
