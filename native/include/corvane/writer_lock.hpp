// The writer lock of a bundle file: an exclusive flock() on a hidden lock
// file beside it (".NAME.lock") that readers never touch, so that two
// writers exclude each other while readers never stop a writer. The lock
// file is reached never through a link: whatever one planted there points
// at is not ours to create, lock or remove. It goes when its holder
// releases it; one a dead writer left is simply taken over.
#pragma once

#include "corvane/descriptor.hpp"

#include <string>

namespace corvane {

class WriterLock {
public:
    // Where the writer lock of `path` lies (while a writer holds it).
    static std::string path_for(const std::string& path);

    // Takes the writer lock of `path` without waiting; an empty lock when
    // another writer holds it. FileError naming `path` when the lock file
    // cannot be created, or is a symbolic link or not a regular file.
    static WriterLock try_take(const std::string& path);

    WriterLock() noexcept = default;
    // Releases it, by the path it was taken at.
    ~WriterLock() { release(); }
    WriterLock(WriterLock&& other) noexcept;
    WriterLock& operator=(WriterLock&& other) noexcept;
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

    explicit operator bool() const noexcept { return static_cast<bool>(fd_); }

    // Releases it. The lock file is removed while still held, so that
    // whoever opened it meanwhile sees it gone, and only if it still is the
    // one locked: one put there since is someone else's.
    void release() noexcept;
    // The same, by its name in the directory open as `dir`, which follows a
    // directory renamed since the lock was taken.
    void release_at(const Descriptor& dir) noexcept;
    // In a forked child: closes the inherited descriptor and removes
    // nothing (the lock stays with the parent's open file description).
    void forget() noexcept { fd_.reset(); }

private:
    WriterLock(std::string lock_path, Descriptor fd) noexcept;

    std::string lock_path_;
    Descriptor fd_;
};

}  // namespace corvane
