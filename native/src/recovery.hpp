// Settling what a dead writer left beside a bundle file: its journal, its
// temporary file, its lock file. An open does it on the way
// (recover_dead_writer, and begin_write through recover_journal);
// GuardedFile::recover() does it on its own, for verify --repair.
#pragma once

#include "corvane/descriptor.hpp"
#include "corvane/journal.hpp"

#include <string>

namespace corvane::guarded {

// Removes the temporary file that a dead writer left for `path`; one that a
// live writer holds is left alone. Best effort: it only costs disk space.
void remove_dead_temporary(const std::string& temporary);

// Recovers the journal of `path` with the file open for writing as `data`,
// the caller's shared lock held through `shared`. A rollback waits for no
// reader: our shared lock goes, and the exclusive one is taken on `data` or
// the shared one taken back.
Journal::Recovery recover_journal(const std::string& path, const Descriptor& shared, const Descriptor& data);

// Undoes what a dead writer left beside the file open as `shared`: a journal
// must be applied (the file may be half-written), a temporary file or a lock
// file only costs a name and goes when it can. A live writer's are left
// alone: it applies overwrites only under an exclusive lock, which the
// caller's shared lock keeps off.
// FileError naming the file when a journal cannot be settled.
void recover_dead_writer(const std::string& path, const Descriptor& shared);

}  // namespace corvane::guarded
