// A POSIX file descriptor that closes itself, and the few whole-buffer I/O
// steps the journal and the guarded bundle files are built from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane {

class Descriptor {
public:
    Descriptor() noexcept = default;
    // Takes ownership of `fd`; a negative fd gives an empty descriptor.
    explicit Descriptor(int fd) noexcept : fd_(fd < 0 ? -1 : fd) {}
    ~Descriptor() { reset(); }

    Descriptor(Descriptor&& other) noexcept;
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Closes now (dropping any lock taken through it).
    void reset() noexcept;

private:
    int fd_ = -1;
};

// Each of these throws IoError with `what` (the file's name), the step and
// the system's reason.

// Reads up to `size` bytes at `offset`; returns how many were there (fewer
// only at the end of the file).
std::size_t read_at(const Descriptor& fd, std::uint64_t offset, void* out, std::size_t size,
                    const std::string& what);
// Writes all `size` bytes at `offset`.
void write_at(const Descriptor& fd, std::uint64_t offset, const void* bytes, std::size_t size,
              const std::string& what);
void truncate_to(const Descriptor& fd, std::uint64_t length, const std::string& what);
// The data (and the length) of the file reach the disk.
void sync_data(const Descriptor& fd, const std::string& what);
// The names created, renamed or removed in the directory of `path` reach the disk.
void sync_directory_of(const std::string& path);
// The same, for the directory open as `dir` (`what` names it in messages):
// it follows the directory when it is renamed.
void sync_directory(const Descriptor& dir, const std::string& what);
// The directory holding `path`, open for the *at() calls; FileError when it
// cannot be opened.
Descriptor open_directory_of(const std::string& path);
// "dir/name" -> "name".
std::string base_name_of(const std::string& path);
std::uint64_t file_length(const Descriptor& fd, const std::string& what);

// flock() without waiting: false when another open file description holds a
// conflicting lock. FileError naming `what` when the lock cannot be taken
// at all.
bool try_flock(const Descriptor& fd, int operation, const std::string& what);
// Whether `path` still names the file open as `fd` (a link there names
// nothing): a lock taken on a file that was removed or replaced meanwhile
// protects nothing.
bool still_names(const std::string& path, const Descriptor& fd);
// The same, for `name` in the directory open as `dir`.
bool still_names_at(const Descriptor& dir, const std::string& name, const Descriptor& fd);

// "dir/name" -> "dir/.name<suffix>": a hidden companion of the file in its
// own directory, which no listing of "*.h5" ever shows.
std::string hidden_companion(const std::string& path, const std::string& suffix);

}  // namespace corvane
