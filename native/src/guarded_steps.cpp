#include "guarded_steps.hpp"

#include "corvane/error.hpp"
#include "corvane/guarded_file.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace corvane {

namespace {

// How long an open waits for an exclusive holder of the file: a writer
// applying its overwrites in place holds it for milliseconds.
constexpr auto kSharedLockWait = std::chrono::seconds(2);

std::atomic<WritePath> forced_write_path{WritePath::automatic};

}  // namespace

void set_write_path(WritePath path) { forced_write_path = path; }

namespace guarded {

WritePath write_path() { return forced_write_path; }

std::string reason(int error) { return std::strerror(error); }

std::string busy_message(const std::string& path) {
    return "'" + path +
           "' is being written by another process; try again once it has finished";
}

bool try_lock(const Descriptor& fd, const std::string& path) { return try_flock(fd, LOCK_EX, path); }

bool dead_temporary(const Descriptor& fd, const std::string& path) {
    return try_lock(fd, path) || try_flock(fd, LOCK_SH, path);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void take_shared(const Descriptor& fd, const std::string& path) {
    const auto until = std::chrono::steady_clock::now() + kSharedLockWait;
    while (!try_flock(fd, LOCK_SH, path)) {
        if (std::chrono::steady_clock::now() > until) throw BusyError(busy_message(path));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void remove_at(const Descriptor& dir, const std::string& name, const std::string& what) {
    if (::unlinkat(dir.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
        throw IoError("cannot remove '" + what + "' (" + reason(errno) + ")");
    }
}

Descriptor create_temporary(const Descriptor& dir, const std::string& path) {
    const std::string temporary = GuardedFile::temporary_path_for(path);
    const std::string name = base_name_of(temporary);
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        Descriptor fd(::openat(dir.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd) {
            if (errno != EEXIST) {
                throw FileError("unable to create file '" + path + "' (" + reason(errno) + ")");
            }
            // A temporary file is there: a live writer's, or a dead one's to remove.
            Descriptor other(::openat(dir.get(), name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!other) {
                if (errno == ELOOP) {
                    throw FileError("unable to write file '" + path + "' ('" + temporary +
                                    "' is a symbolic link, which the engine never makes; remove it)");
                }
                continue;
            }
            if (!dead_temporary(other, path)) throw BusyError(busy_message(path));
            if (still_names_at(dir, name, other)) remove_at(dir, name, temporary);
            continue;
        }
        // Someone may have locked our fresh file to see whether it is a dead
        // writer's and removed it: then start over.
        if (!try_lock(fd, path) || !still_names_at(dir, name, fd)) continue;
        return fd;
    }
    throw FileError("unable to create file '" + path + "' (its temporary file keeps being replaced)");
}

std::string through_link(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::unique_ptr<char, void (*)(void*)> target(::realpath(path.c_str(), nullptr), std::free);
    if (!target) {
        throw FileError("unable to open file '" + path + "' (a symbolic link whose target cannot be "
                        "reached: " + reason(errno) + "; the engine writes through a link, never over it)");
    }
    return target.get();
}

}  // namespace guarded
}  // namespace corvane
