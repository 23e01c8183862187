// The guarded HDF5 file driver of the engine: HDF5 reads and writes a
// bundle file through a GuardedFile (its commit protocol: writer lock, held
// overwrites, rollback journal), so that every byte HDF5 changes in place
// can be put back. The files stay plain
// HDF5: nothing of the driver is recorded in them.
#pragma once

#include "corvane/guarded_file.hpp"

#include <hdf5.h>

namespace corvane::detail {

// Makes the file access properties `fapl` open `file` through the driver.
// HDF5 must then be given file.working_path() as the file's name.
void use_guarded_driver(hid_t fapl, GuardedFile& file);

}  // namespace corvane::detail
