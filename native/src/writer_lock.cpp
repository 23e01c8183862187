#include "corvane/writer_lock.hpp"

#include "corvane/error.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace corvane {

namespace {

// Attempts before giving up on a lock file that keeps being replaced under
// us (which only a foreign process would do).
constexpr int kTakeAttempts = 8;

}  // namespace

std::string WriterLock::path_for(const std::string& path) { return hidden_companion(path, ".lock"); }

WriterLock WriterLock::try_take(const std::string& path) {
    const std::string lock_path = path_for(path);
    for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
        Descriptor fd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
        if (!fd) {
            if (errno == ELOOP) {
                throw FileError("unable to lock file '" + path + "' ('" + lock_path +
                                "' is a symbolic link, which the engine never makes; remove it)");
            }
            throw FileError("unable to lock file '" + path + "' (cannot create '" + lock_path +
                            "': " + std::strerror(errno) + ")");
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            throw FileError("unable to lock file '" + path + "' ('" + lock_path +
                            "' is not a regular file, which the engine never makes; remove it)");
        }
        if (!try_flock(fd, LOCK_EX, path)) return WriterLock();
        // Its holder removed it just before we locked it: take the next one.
        if (still_names(lock_path, fd)) return WriterLock(lock_path, std::move(fd));
    }
    throw FileError("unable to lock file '" + path + "' (its lock file keeps being replaced)");
}

WriterLock::WriterLock(std::string lock_path, Descriptor fd) noexcept
    : lock_path_(std::move(lock_path)), fd_(std::move(fd)) {}

WriterLock::WriterLock(WriterLock&& other) noexcept
    : lock_path_(std::move(other.lock_path_)), fd_(std::move(other.fd_)) {}

WriterLock& WriterLock::operator=(WriterLock&& other) noexcept {
    if (this != &other) {
        release();
        lock_path_ = std::move(other.lock_path_);
        fd_ = std::move(other.fd_);
    }
    return *this;
}

void WriterLock::release() noexcept {
    if (!fd_) return;
    if (still_names(lock_path_, fd_)) ::unlink(lock_path_.c_str());
    fd_.reset();
}

void WriterLock::release_at(const Descriptor& dir) noexcept {
    if (!fd_) return;
    const std::string name = base_name_of(lock_path_);
    if (still_names_at(dir, name, fd_)) ::unlinkat(dir.get(), name.c_str(), 0);
    fd_.reset();
}

}  // namespace corvane
