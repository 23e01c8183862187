#include "recovery.hpp"

#include "corvane/error.hpp"
#include "corvane/file.hpp"
#include "corvane/guarded_file.hpp"
#include "corvane/writer_lock.hpp"
#include "guarded_steps.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace corvane {

namespace guarded {

void remove_dead_temporary(const std::string& temporary) {
    Descriptor fd(::open(temporary.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return;
    try {
        if (dead_temporary(fd, temporary) && still_names(temporary, fd)) ::unlink(temporary.c_str());
    } catch (const Error&) {
    }
}

Journal::Recovery recover_journal(const std::string& path, const Descriptor& shared, const Descriptor& data) {
    bool exclusive = false;
    const Journal::Recovery done = Journal::settle(Journal::path_for(path), data, path, [&] {
        ::flock(shared.get(), LOCK_UN);
        exclusive = try_flock(data, LOCK_EX, path);
        if (!exclusive) take_shared(shared, path);
        return exclusive;
    });
    if (exclusive) {
        take_shared(data, path);
        take_shared(shared, path);
    }
    return done;
}

void recover_dead_writer(const std::string& path, const Descriptor& shared) {
    const std::string journal = Journal::path_for(path);
    const bool interrupted = exists(journal);
    if (!interrupted && !exists(GuardedFile::temporary_path_for(path)) &&
        !exists(WriterLock::path_for(path))) {
        return;
    }
    try {
        WriterLock lock = WriterLock::try_take(path);
        if (!lock) return;
        if (interrupted) {
            Descriptor data(::open(path.c_str(), O_RDWR | O_CLOEXEC));
            if (!data) throw FileError("cannot open it for writing (" + reason(errno) + ")");
            if (!still_names(path, shared) || !still_names(path, data)) {
                throw FileError("it was replaced while being recovered");
            }
            recover_journal(path, shared, data);
        }
        remove_dead_temporary(GuardedFile::temporary_path_for(path));
        lock.release();
    } catch (const Error& e) {
        if (!interrupted) return;  // a read-only directory keeps the leftovers
        throw FileError("unable to open file '" + path + "': an interrupted write could not be undone",
                        e.what(), root_cause(e));
    }
}

}  // namespace guarded

using namespace guarded;

GuardedFile::Leftovers GuardedFile::recover(const std::string& given) {
    const std::string path = through_link(given);
    const std::string temporary = temporary_path_for(path);
    Leftovers found;
    const bool journal = exists(Journal::path_for(path));
    const bool had_temporary = exists(temporary);
    const bool had_lock = exists(lock_path_for(path));
    if (!journal && !had_temporary && !had_lock) return found;
    WriterLock lock = WriterLock::try_take(path);
    if (!lock) throw BusyError(busy_message(path));
    {
        Descriptor shared(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (journal && shared) {
            take_shared(shared, path);
            Descriptor data(::open(path.c_str(), O_RDWR | O_CLOEXEC));
            if (!data) {
                throw FileError("unable to open file '" + path + "' for writing (" + reason(errno) + ")");
            }
            if (!still_names(path, shared) || !still_names(path, data)) {
                throw FileError("'" + path + "' was replaced while being recovered; try again");
            }
            try {
                found.journal = recover_journal(path, shared, data);
            } catch (const Error& e) {
                throw FileError("unable to recover file '" + path +
                                    "': an interrupted write could not be undone",
                                e.what(), root_cause(e));
            }
        }
        remove_dead_temporary(temporary);
    }
    lock.release();
    found.temporary = had_temporary && !exists(temporary);
    found.lock = had_lock && !exists(lock_path_for(path));
    return found;
}

}  // namespace corvane
