// The names of a file's root members, as the engine's readers list them.
#pragma once

#include <hdf5.h>

#include <string>
#include <vector>

namespace corvane::detail {

// Names of the root group's members of the open file `file` (at `path`, for
// messages), in ascending byte order. Throws IoError when they cannot be read.
std::vector<std::string> root_member_names(hid_t file, const std::string& path);

}  // namespace corvane::detail
