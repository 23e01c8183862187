// The names of a file's root members, as the engine's readers list them, and
// why one of them does not open as a dataset.
#pragma once

#include "corvane/error.hpp"

#include <hdf5.h>

#include <string>
#include <vector>

namespace corvane::detail {

// Names of the root group's members of the open file `file` (at `path`, for
// messages), in ascending byte order. Throws IoError when they cannot be
// read, DamagedFileError when two of them carry one name (a damaged link
// table: a lookup by that name finds only one of them).
std::vector<std::string> root_member_names(hid_t file, const std::string& path);

// Throws why the existing root member `name` of `file` did not open as a
// dataset, `failure` being what HDF5 said of that open: NewerFormatError
// for one stored in a format newer than this HDF5 decodes, LayoutError for
// an object of another kind, DamagedFileError for anything else.
[[noreturn]] void throw_unopened_member(hid_t file, const std::string& path, const std::string& name,
                                        const Hdf5Failure& failure);

}  // namespace corvane::detail
