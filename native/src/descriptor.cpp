#include "corvane/descriptor.hpp"

#include "corvane/error.hpp"
#include "corvane/failpoint.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace corvane {

namespace {

[[noreturn]] void fail(const std::string& step, const std::string& what, int error) {
    const std::string message = "cannot " + step + " '" + what + "' (" + std::strerror(error) + ")";
    if (is_out_of_space(error)) throw OutOfSpaceError(message, error);
    throw IoError(message, error);
}

bool same_file(const struct stat& a, const Descriptor& fd) {
    struct stat by_fd {};
    return ::fstat(fd.get(), &by_fd) == 0 && a.st_dev == by_fd.st_dev && a.st_ino == by_fd.st_ino;
}

}  // namespace

Descriptor::Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void Descriptor::reset() noexcept {
    // close() is not retried on EINTR: on Linux the descriptor is gone anyway.
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

std::size_t read_at(const Descriptor& fd, std::uint64_t offset, void* out, std::size_t size,
                    const std::string& what) {
    auto* p = static_cast<unsigned char*>(out);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd.get(), p + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("read " + std::to_string(size) + " bytes at " + std::to_string(offset) + " of", what,
                 errno);
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void write_at(const Descriptor& fd, std::uint64_t offset, const void* bytes, std::size_t size,
              const std::string& what) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    std::size_t done = 0;
    while (done < size) {
        // A short write is retried: the next attempt reports why (a file
        // size limit, a full disk).
        const ssize_t n = ::pwrite(fd.get(), p + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("write " + std::to_string(size) + " bytes at " + std::to_string(offset) + " of", what,
                 errno);
        }
        done += static_cast<std::size_t>(n);
    }
}

void truncate_to(const Descriptor& fd, std::uint64_t length, const std::string& what) {
    while (::ftruncate(fd.get(), static_cast<off_t>(length)) != 0) {
        if (errno != EINTR) fail("set the length " + std::to_string(length) + " of", what, errno);
    }
}

void sync_data(const Descriptor& fd, const std::string& what) {
    failpoint::pass("sync.data");
    while (::fdatasync(fd.get()) != 0) {
        if (errno != EINTR) fail("flush to disk", what, errno);
    }
}

namespace {

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void sync_directory(const Descriptor& dir, const std::string& what) {
    failpoint::pass("sync.directory");
    while (::fsync(dir.get()) != 0) {
        if (errno != EINTR) fail("flush to disk the directory", what, errno);
    }
}

void sync_directory_of(const std::string& path) {
    const std::string dir = directory_of(path);
    Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) fail("open the directory", dir, errno);
    sync_directory(fd, dir);
}

Descriptor open_directory_of(const std::string& path) {
    const std::string dir = directory_of(path);
    Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        throw FileError("unable to open the directory of '" + path + "' (" + std::strerror(errno) + ")");
    }
    return fd;
}

std::string base_name_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::uint64_t file_length(const Descriptor& fd, const std::string& what) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) fail("read the length of", what, errno);
    return static_cast<std::uint64_t>(st.st_size);
}

std::string hidden_companion(const std::string& path, const std::string& suffix) {
    const std::size_t slash = path.rfind('/');
    const std::size_t name_at = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, name_at) + "." + path.substr(name_at) + suffix;
}

bool try_flock(const Descriptor& fd, int operation, const std::string& what) {
    while (::flock(fd.get(), operation | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return false;
        if (errno != EINTR) {
            throw FileError("unable to lock file '" + what + "' (" + std::strerror(errno) + ")");
        }
    }
    return true;
}

bool still_names(const std::string& path, const Descriptor& fd) {
    struct stat by_name {};
    return ::lstat(path.c_str(), &by_name) == 0 && same_file(by_name, fd);
}

bool still_names_at(const Descriptor& dir, const std::string& name, const Descriptor& fd) {
    struct stat by_name {};
    return ::fstatat(dir.get(), name.c_str(), &by_name, AT_SYMLINK_NOFOLLOW) == 0 && same_file(by_name, fd);
}

}  // namespace corvane
