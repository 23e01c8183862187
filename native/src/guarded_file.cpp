#include "corvane/guarded_file.hpp"

#include "corvane/error.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace {

// Attempts at opening before giving up on a file that keeps being replaced
// under us (which only a foreign process would do).
constexpr int kOpenAttempts = 8;

std::string reason(int error) { return std::strerror(error); }

std::string busy_message(const std::string& path) {
    return "'" + path +
           "' is being written by another process (or held open by a reader); "
           "try again once it has finished";
}

// The writer lock, taken without waiting: false when another open file
// description holds it. flock() is what HDF5 itself locks with, so readers
// through any HDF5 keep seeing a file under write as locked.
bool try_lock(const Descriptor& fd, const std::string& path) {
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return false;
        if (errno != EINTR) throw FileError("unable to lock file '" + path + "' (" + reason(errno) + ")");
    }
    return true;
}

// Whether `path` still names the file open as `fd`: a lock taken on a file
// that was removed or replaced meanwhile protects nothing.
bool names(const std::string& path, const Descriptor& fd) {
    struct stat by_name {};
    struct stat by_fd {};
    return ::stat(path.c_str(), &by_name) == 0 && ::fstat(fd.get(), &by_fd) == 0 &&
           by_name.st_dev == by_fd.st_dev && by_name.st_ino == by_fd.st_ino;
}

// Removes the temporary file that a dead writer left for `path`; one that a
// live writer holds is left alone. Best effort: it only costs disk space.
void remove_dead_temporary(const std::string& temporary) {
    Descriptor fd(::open(temporary.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) return;
    try {
        if (try_lock(fd, temporary) && names(temporary, fd)) ::unlink(temporary.c_str());
    } catch (const Error&) {
    }
}

void remove_if_present(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw IoError("cannot remove '" + path + "' (" + reason(errno) + ")");
    }
}

// Renames `from` to `to` unless `to` exists. False when it exists.
bool rename_without_replacing(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS) {
        throw IoError("cannot rename '" + from + "' to '" + to + "' (" + reason(errno) + ")");
    }
    // A file system without the flag: a hard link fails the same way.
#endif
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) return false;
        throw IoError("cannot rename '" + from + "' to '" + to + "' (" + reason(errno) + ")");
    }
    ::unlink(from.c_str());
    return true;
}

}  // namespace

std::string GuardedFile::temporary_path_for(const std::string& path) {
    return hidden_companion(path, ".tmp");
}

GuardedFile::GuardedFile(std::string path, std::string working_path, Descriptor fd, bool is_new,
                         bool durable, std::size_t max_pending_bytes)
    : path_(std::move(path)),
      working_path_(std::move(working_path)),
      fd_(std::move(fd)),
      is_new_(is_new),
      durable_(durable),
      max_pending_bytes_(max_pending_bytes) {
    original_length_ = is_new_ ? 0 : file_length(fd_, path_);
    size_ = original_length_;
    journalled_.assign(static_cast<std::size_t>((original_length_ + kPageSize - 1) / kPageSize), false);
}

GuardedFile::~GuardedFile() { roll_back(); }

std::shared_ptr<GuardedFile> GuardedFile::open(const std::string& path, bool durable,
                                               std::size_t max_pending_bytes) {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        Descriptor fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd) {
            if (errno == ENOENT) return create(path, durable, max_pending_bytes);
            throw FileError("unable to open file '" + path + "' (" + reason(errno) + ")");
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) {
            throw FileError("unable to open file '" + path + "' (" + reason(errno) + ")");
        }
        if (!S_ISREG(st.st_mode)) {
            throw FileError("unable to open file '" + path + "' (not a regular file)");
        }
        // HDF5 would silently turn an empty file into a new HDF5 file; an
        // empty file is not ours to claim.
        if (st.st_size == 0) {
            throw FileError("unable to open file '" + path +
                            "' (empty file: file signature not found)");
        }
        if (!try_lock(fd, path)) throw FileError(busy_message(path));
        if (!names(path, fd)) continue;
        remove_dead_temporary(temporary_path_for(path));
        try {
            Journal::recover(Journal::path_for(path), fd, path);
        } catch (const Error& e) {
            throw FileError("unable to open file '" + path +
                            "': an interrupted write could not be undone (" + e.what() + ")");
        }
        return std::shared_ptr<GuardedFile>(
            new GuardedFile(path, path, std::move(fd), false, durable, max_pending_bytes));
    }
    throw FileError("unable to open file '" + path + "' (it keeps being replaced)");
}

std::shared_ptr<GuardedFile> GuardedFile::create(const std::string& path, bool durable,
                                                 std::size_t max_pending_bytes) {
    const std::string temporary = temporary_path_for(path);
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        Descriptor fd(::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd) {
            if (errno != EEXIST) {
                throw FileError("unable to create file '" + path + "' (" + reason(errno) + ")");
            }
            // A temporary file is there: a live writer's, or a dead one's to remove.
            Descriptor other(::open(temporary.c_str(), O_RDWR | O_CLOEXEC));
            if (!other) continue;
            if (!try_lock(other, path)) throw FileError(busy_message(path));
            if (names(temporary, other)) remove_if_present(temporary);
            continue;
        }
        // Someone may have locked our fresh file to see whether it is a dead
        // writer's and removed it: then start over.
        if (!try_lock(fd, path) || !names(temporary, fd)) continue;
        return std::shared_ptr<GuardedFile>(
            new GuardedFile(path, temporary, std::move(fd), true, durable, max_pending_bytes));
    }
    throw FileError("unable to create file '" + path + "' (its temporary file keeps being replaced)");
}

void GuardedFile::check_writable() const {
    if (released_) throw ArgumentError("file '" + path_ + "' is closed");
    if (!failure_.empty()) throw IoError(failure_);
}

void GuardedFile::read(std::uint64_t offset, void* out, std::size_t size) const {
    if (released_) throw ArgumentError("file '" + path_ + "' is closed");
    auto* bytes = static_cast<unsigned char*>(out);
    const std::size_t got = read_at(fd_, offset, bytes, size, path_);
    std::memset(bytes + got, 0, size - got);
    // What the call wrote over original bytes is still in memory.
    const std::uint64_t end = offset + size;
    for (auto it = pending_.lower_bound(static_cast<std::size_t>(offset / kPageSize));
         it != pending_.end() && it->first * kPageSize < end; ++it) {
        const std::uint64_t page_at = it->first * kPageSize;
        const std::uint64_t from = std::max(offset, page_at);
        const std::uint64_t to = std::min({end, page_at + kPageSize, original_length_});
        if (from < to) std::memcpy(bytes + (from - offset), it->second.data() + (from - page_at), to - from);
    }
}

void GuardedFile::write_original(std::uint64_t offset, const unsigned char* bytes, std::size_t size) {
    const std::uint64_t end = offset + size;
    std::uint64_t at = offset;
    while (at < end) {
        const std::size_t page = static_cast<std::size_t>(at / kPageSize);
        const std::uint64_t page_at = page * kPageSize;
        if (journalled_[page]) {
            // Its original bytes are safe already: straight to the file,
            // together with the journalled pages that follow.
            std::size_t last = page;
            while (last + 1 < journalled_.size() && (last + 1) * kPageSize < end && journalled_[last + 1]) {
                ++last;
            }
            const std::uint64_t to = std::min(end, (last + 1) * kPageSize);
            write_at(fd_, at, bytes + (at - offset), static_cast<std::size_t>(to - at), path_);
            at = to;
            continue;
        }
        auto [it, fresh] = pending_.try_emplace(page);
        if (fresh) {
            it->second.assign(kPageSize, 0);
            read_at(fd_, page_at, it->second.data(), kPageSize, path_);
        }
        const std::uint64_t to = std::min({end, page_at + kPageSize, original_length_});
        std::memcpy(it->second.data() + (at - page_at), bytes + (at - offset), static_cast<std::size_t>(to - at));
        at = to;
    }
}

void GuardedFile::write(std::uint64_t offset, const void* bytes, std::size_t size) {
    if (dropping_ && !released_) return;
    check_writable();
    const auto* p = static_cast<const unsigned char*>(bytes);
    const std::uint64_t end = offset + size;
    try {
        start_journal();
        // Growth needs no saved bytes: the rollback cuts it.
        if (end > original_length_) {
            const std::uint64_t from = std::max(offset, original_length_);
            write_at(fd_, from, p + (from - offset), static_cast<std::size_t>(end - from), path_);
        }
        if (offset < original_length_) {
            write_original(offset, p, static_cast<std::size_t>(std::min(end, original_length_) - offset));
            if (pending_.size() * kPageSize > max_pending_bytes_) checkpoint(std::nullopt);
        }
        size_ = std::max(size_, end);
    } catch (const Error& e) {
        failure_ = e.what();
        throw;
    }
}

void GuardedFile::truncate(std::uint64_t length) {
    if (dropping_ && !released_) return;
    check_writable();
    try {
        start_journal();
        if (length < original_length_) {
            checkpoint(length);
        } else {
            truncate_to(fd_, length, path_);
        }
        size_ = length;
    } catch (const Error& e) {
        failure_ = e.what();
        throw;
    }
}

void GuardedFile::start_journal() {
    wrote_ = true;
    // Before the first write, so that the original length is on record even
    // when all the call does is grow the file.
    if (!is_new_ && !journal_) journal_.emplace(Journal::start(Journal::path_for(path_), fd_, path_, durable_));
}

void GuardedFile::checkpoint(std::optional<std::uint64_t> cut) {
    if (is_new_ || (pending_.empty() && !cut)) return;
    // Pages whose original bytes go to the journal: the pending ones, and
    // those a cut removes. Pending pages still hold their original bytes on
    // disk, so the journal reads them from the file.
    std::vector<bool> wanted(journalled_.size(), false);
    for (const auto& entry : pending_) wanted[entry.first] = !journalled_[entry.first];
    if (cut) {
        for (std::size_t page = static_cast<std::size_t>(*cut / kPageSize); page < wanted.size(); ++page) {
            wanted[page] = !journalled_[page];
        }
    }
    start_journal();
    bool saved = false;
    for (std::size_t page = 0; page < wanted.size();) {
        if (!wanted[page]) {
            ++page;
            continue;
        }
        std::size_t run_end = page;
        while (run_end < wanted.size() && wanted[run_end]) ++run_end;
        const std::uint64_t from = page * kPageSize;
        const std::uint64_t to = std::min<std::uint64_t>(run_end * kPageSize, original_length_);
        journal_->save(fd_, from, to - from);
        saved = true;
        page = run_end;
    }
    // The journal is complete (and, durable, on disk) before the first
    // original byte is overwritten.
    if (saved) journal_->sync();
    for (std::size_t page = 0; page < wanted.size(); ++page) {
        if (wanted[page]) journalled_[page] = true;
    }
    const std::uint64_t limit = cut ? std::min(*cut, original_length_) : original_length_;
    for (const auto& [page, bytes] : pending_) {
        const std::uint64_t from = page * kPageSize;
        const std::uint64_t to = std::min(from + kPageSize, limit);
        if (from < to) write_at(fd_, from, bytes.data(), static_cast<std::size_t>(to - from), path_);
    }
    pending_.clear();
    if (cut) truncate_to(fd_, *cut, path_);
}

void GuardedFile::commit() {
    check_writable();
    if (is_new_) {
        if (durable_) sync_data(fd_, path_);
        // A journal beside a file that does not exist guards nothing of ours;
        // left there, it would one day "restore" the new file.
        remove_if_present(Journal::path_for(path_));
        if (!rename_without_replacing(working_path_, path_)) {
            throw FileError("'" + path_ +
                            "' was created by another process meanwhile; this call's records "
                            "were not stored");
        }
        // From here on the file is in place: nothing is left to undo.
        is_new_ = false;
        if (durable_) sync_directory_of(path_);
    } else {
        try {
            checkpoint(std::nullopt);
            if (durable_ && wrote_) sync_data(fd_, path_);
            if (journal_) journal_->remove();
        } catch (const Error& e) {
            failure_ = e.what();
            throw;
        }
        journal_.reset();
    }
    release();
}

bool GuardedFile::roll_back() noexcept {
    if (released_) return true;
    dropping_ = true;
    pending_.clear();
    bool restored = true;
    try {
        if (is_new_) {
            // Still ours: we hold its lock, and nobody removes a locked one.
            remove_if_present(working_path_);
        } else if (journal_) {
            journal_->roll_back(fd_);
            journal_->remove();
            journal_.reset();
        } else if (wrote_) {
            truncate_to(fd_, original_length_, path_);
            if (durable_) sync_data(fd_, path_);
        }
    } catch (...) {
        restored = false;
    }
    release();
    return restored;
}

void GuardedFile::release() noexcept {
    released_ = true;
    fd_.reset();
}

std::size_t GuardedFile::journalled_pages() const {
    return static_cast<std::size_t>(std::count(journalled_.begin(), journalled_.end(), true));
}

}  // namespace corvane
