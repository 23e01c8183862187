// The small steps a guarded call (guarded_file.cpp), its commit
// (commit.cpp) and the recovery of a dead writer's leftovers (recovery.cpp)
// share: the reader's lock, and the names beside the file.
#pragma once

#include "corvane/descriptor.hpp"
#include "corvane/file.hpp"

#include <string>

namespace corvane::guarded {

// Attempts at opening before giving up on a file that keeps being replaced
// under us (which only a foreign process would do).
constexpr int kOpenAttempts = 8;

// The way of writing tests force (set_write_path()).
WritePath write_path();

std::string reason(int error);
std::string busy_message(const std::string& path);
// The exclusive lock without waiting; false when someone else holds it.
bool try_lock(const Descriptor& fd, const std::string& path);
// Whether the temporary file open as `fd` is no live writer's: a live one
// holds it exclusively. A reader may hold one shared: the old version of a
// file written beside, left under the temporary name by a writer that died
// between the exchange of the names and the old version's removal.
bool dead_temporary(const Descriptor& fd, const std::string& path);
// Whether `path` names anything, a link included.
bool exists(const std::string& path);

// The shared lock of a reader. An exclusive holder is a writer applying its
// overwrites in place (milliseconds) or a foreign HDF5 writer: waited for
// briefly, then refused.
void take_shared(const Descriptor& fd, const std::string& path);

// Removes `name` from the directory open as `dir` (`what` names it in
// messages), if it is there.
void remove_at(const Descriptor& dir, const std::string& name, const std::string& what);

// Creates the temporary file of `path` in the directory open as `dir`,
// locked; one a dead writer left is removed first. The caller holds the
// writer lock of `path`.
Descriptor create_temporary(const Descriptor& dir, const std::string& path);

// The file `path` names: its target when it is a symbolic link, so that
// both ways of writing (in place, or beside and renamed) update the target
// and the link stays a link. A link to nothing is refused: creating the
// file would replace the link.
std::string through_link(const std::string& path);

}  // namespace corvane::guarded
