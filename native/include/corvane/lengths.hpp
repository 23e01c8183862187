// What a bundle file holds, asked without writing: the length of each
// dataset in its root group.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace corvane {

// {name: rows} of the one-dimensional datasets in the root group of the file
// at `path` (other members are left out). The file is opened read-only
// without any lock, so that a writer is never refused because of this call,
// and nothing is written. Throws FileError naming the file when it cannot be
// opened (absent, not HDF5), IoError when a dataset cannot be read.
std::map<std::string, std::size_t> dataset_lengths(const std::string& path);

}  // namespace corvane
