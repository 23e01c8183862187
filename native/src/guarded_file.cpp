#include "corvane/guarded_file.hpp"

#include "corvane/error.hpp"
#include "corvane/failpoint.hpp"
#include "corvane/file.hpp"
#include "corvane/writer_lock.hpp"
#include "fork_registry.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace corvane {

namespace {

// HDF5's signature: the bytes that make a file one at all.
constexpr std::size_t kSignatureSize = 8;

// Attempts at opening before giving up on a file that keeps being replaced
// under us (which only a foreign process would do).
constexpr int kOpenAttempts = 8;
// How long an open waits for an exclusive holder of the file: a writer
// applying its overwrites in place holds it for milliseconds.
constexpr auto kSharedLockWait = std::chrono::seconds(2);

std::atomic<WritePath> write_path{WritePath::automatic};

std::string reason(int error) { return std::strerror(error); }

std::string busy_message(const std::string& path) {
    return "'" + path +
           "' is being written by another process; try again once it has finished";
}

bool try_lock(const Descriptor& fd, const std::string& path) { return try_flock(fd, LOCK_EX, path); }

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The shared lock of a reader. An exclusive holder is a writer applying its
// overwrites in place (milliseconds) or a foreign HDF5 writer: waited for
// briefly, then refused.
void take_shared(const Descriptor& fd, const std::string& path) {
    const auto until = std::chrono::steady_clock::now() + kSharedLockWait;
    while (!try_flock(fd, LOCK_SH, path)) {
        if (std::chrono::steady_clock::now() > until) throw BusyError(busy_message(path));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Removes the temporary file that a dead writer left for `path`; one that a
// live writer holds is left alone. Best effort: it only costs disk space.
void remove_dead_temporary(const std::string& temporary) {
    Descriptor fd(::open(temporary.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return;
    try {
        if (try_lock(fd, temporary) && still_names(temporary, fd)) ::unlink(temporary.c_str());
    } catch (const Error&) {
    }
}

// Removes `name` from the directory open as `dir` (`what` names it in
// messages), if it is there.
void remove_at(const Descriptor& dir, const std::string& name, const std::string& what) {
    if (::unlinkat(dir.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
        throw IoError("cannot remove '" + what + "' (" + reason(errno) + ")");
    }
}

// Renames `from` to `to` in the directory open as `dir` unless `to` exists.
// False when it exists.
bool rename_without_replacing(const Descriptor& dir, const std::string& from, const std::string& to) {
    const auto failed = [&] {
        return IoError("cannot rename '" + from + "' to '" + to + "' (" + reason(errno) + ")");
    };
#ifdef RENAME_NOREPLACE
    if (::renameat2(dir.get(), from.c_str(), dir.get(), to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS) throw failed();
    // A file system without the flag: a hard link fails the same way.
#endif
    if (::linkat(dir.get(), from.c_str(), dir.get(), to.c_str(), 0) != 0) {
        if (errno == EEXIST) return false;
        throw failed();
    }
    ::unlinkat(dir.get(), from.c_str(), 0);
    return true;
}

// Puts the new version `from` in place of `to` in the directory open as
// `dir`, provided `to` still is the file open as `original`; false (nothing
// changed) when it is not. A file put there between the check and the
// rename would still be replaced: exchanging the names and checking what
// came out closes that window, but readers polling the file were seen to
// open it cut short right after an exchange, which is not understood yet.
bool replace_if_still(const Descriptor& dir, const std::string& from, const std::string& to,
                      const Descriptor& original) {
    if (!still_names_at(dir, to, original)) return false;
    if (::renameat(dir.get(), from.c_str(), dir.get(), to.c_str()) != 0) {
        throw IoError("cannot rename '" + from + "' to '" + to + "' (" + reason(errno) + ")");
    }
    return true;
}

// Creates the temporary file of `path` in the directory open as `dir`,
// locked; one a dead writer left is removed first. The caller holds the
// writer lock of `path`.
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
            if (!try_lock(other, path)) throw BusyError(busy_message(path));
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

// Undoes what a dead writer left beside the file open as `shared`: a journal
// must be applied (the file may be half-written), a temporary file or a lock
// file only costs a name and goes when it can. A live writer's are left
// alone: it applies overwrites only under an exclusive lock, which the
// caller's shared lock keeps off.
// Recovers the journal of `path` with the file open for writing as `data`,
// the caller's shared lock held through `shared`. A rollback waits for no
// reader: our shared lock goes, and the exclusive one is taken on `data` or
// the shared one taken back.
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
        throw FileError("unable to open file '" + path +
                        "': an interrupted write could not be undone (" + e.what() + ")");
    }
}

// Copies the first `length` bytes of `from` to `to`, sharing blocks where
// the file system can.
void copy_bytes(const Descriptor& from, const Descriptor& to, std::uint64_t length,
                const std::string& what) {
    const auto short_copy = [&](std::uint64_t copied) {
        return BusyError("'" + what + "' was cut by another process while this call copied it (" +
                         std::to_string(copied) + " of " + std::to_string(length) +
                         " bytes); try again");
    };
    loff_t in = 0;
    loff_t out = 0;
    while (static_cast<std::uint64_t>(in) < length) {
        const ssize_t n = ::copy_file_range(from.get(), &in, to.get(), &out,
                                            static_cast<std::size_t>(length - in), 0);
        if (n > 0) continue;
        if (n == 0) throw short_copy(static_cast<std::uint64_t>(in));
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
            throw IoError("cannot copy '" + what + "' (" + reason(errno) + ")");
        }
        // No in-kernel copy between these files: through a buffer.
        std::vector<unsigned char> buffer(std::size_t{1} << 20);
        while (static_cast<std::uint64_t>(in) < length) {
            const std::size_t piece = static_cast<std::size_t>(
                std::min<std::uint64_t>(buffer.size(), length - static_cast<std::uint64_t>(in)));
            const std::size_t got = read_at(from, static_cast<std::uint64_t>(in), buffer.data(), piece, what);
            if (got == 0) throw short_copy(static_cast<std::uint64_t>(in));
            write_at(to, static_cast<std::uint64_t>(in), buffer.data(), got, what);
            in += static_cast<loff_t>(got);
        }
        break;
    }
}

// The file `path` names: its target when it is a symbolic link, so that
// both ways of writing (in place, or beside and renamed) update the target
// and the link stays a link. A link to nothing is refused: creating the
// file would replace the link.
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

}  // namespace

void set_write_path(WritePath path) { write_path = path; }

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
                                "': an interrupted write could not be undone (" + e.what() + ")");
            }
        }
        remove_dead_temporary(temporary);
    }
    lock.release();
    found.temporary = had_temporary && !exists(temporary);
    found.lock = had_lock && !exists(lock_path_for(path));
    return found;
}

std::string GuardedFile::temporary_path_for(const std::string& path) {
    return hidden_companion(path, ".tmp");
}

std::string GuardedFile::lock_path_for(const std::string& path) {
    return WriterLock::path_for(path);
}

GuardedFile::GuardedFile(std::string path, std::string working_path, CallState state, bool durable,
                         std::size_t max_pending_bytes)
    : path_(std::move(path)),
      working_path_(std::move(working_path)),
      name_(base_name_of(path_)),
      state_(state),
      durable_(durable),
      max_pending_bytes_(max_pending_bytes),
      owner_pid_(static_cast<long>(::getpid())) {
    ForkRegistry::add(this);
}

GuardedFile::~GuardedFile() {
    roll_back();
    ForkRegistry::remove(this);
}

bool GuardedFile::owned_here() const { return !forked_ && static_cast<long>(::getpid()) == owner_pid_; }

std::string GuardedFile::not_owned_message() const {
    return "file '" + path_ + "' is being written by process " + std::to_string(owner_pid_) +
           ", which this process was forked from; a forked process cannot use its parent's open "
           "file (open it anew)";
}

void GuardedFile::forget_after_fork() noexcept {
    // Closing our copies releases nothing of the parent's: a lock belongs to
    // the open file description, which the parent's descriptors keep.
    forked_ = true;
    temp_.reset();
    data_.reset();
    shared_.reset();
    lock_.forget();
    dir_.reset();
    if (journal_) journal_->forget();
}

std::shared_ptr<GuardedFile> GuardedFile::open(const std::string& given, bool durable,
                                               std::size_t max_pending_bytes) {
    const std::string path = through_link(given);
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) {
            if (errno == ENOENT) return create(path, durable, max_pending_bytes);
            throw FileError("unable to open file '" + path + "' (" + reason(errno) + ")");
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) {
            throw FileError("unable to open file '" + path + "' (" + reason(errno) + ")");
        }
        if (!S_ISREG(st.st_mode)) {
            throw NotBundleFileError("unable to open file '" + path + "' (not a regular file)");
        }
        // HDF5 would silently turn an empty file into a new HDF5 file; an
        // empty file is not ours to claim.
        if (st.st_size == 0) {
            throw NotBundleFileError("unable to open file '" + path +
                                     "' (empty file: file signature not found)");
        }
        take_shared(fd, path);
        if (!still_names(path, fd)) continue;
        recover_dead_writer(path, fd);
        std::shared_ptr<GuardedFile> file(
            new GuardedFile(path, path, CallState(Route::in_place, Phase::reading), durable, max_pending_bytes));
        file->original_length_ = file->size_ = file_length(fd, path);
        file->pending_ = PageOverlay(file->original_length_);
        file->shared_ = std::move(fd);
        return file;
    }
    throw FileError("unable to open file '" + path + "' (it keeps being replaced)");
}

std::shared_ptr<GuardedFile> GuardedFile::create(const std::string& path, bool durable,
                                                 std::size_t max_pending_bytes) {
    Descriptor dir = open_directory_of(path);
    WriterLock lock = WriterLock::try_take(path);
    if (!lock) throw BusyError(busy_message(path));
    Descriptor temp = create_temporary(dir, path);
    std::shared_ptr<GuardedFile> file(new GuardedFile(path, temporary_path_for(path),
                                                      CallState(Route::fresh, Phase::locked), durable,
                                                      max_pending_bytes));
    file->dir_ = std::move(dir);
    file->lock_ = std::move(lock);
    file->temp_ = std::move(temp);
    return file;
}

void GuardedFile::hold_writes_while_reading() { holding_ = true; }

void GuardedFile::begin_write() {
    if (state_.ended()) throw ArgumentError("file '" + path_ + "' is closed");
    if (state_.phase() != Phase::reading) return;
    // Names beside the file are reached through its directory from here
    // on: a directory renamed during the call takes them all along.
    Descriptor dir = open_directory_of(path_);
    WriterLock lock = WriterLock::try_take(path_);
    if (!lock) throw BusyError(busy_message(path_));
    {
        // Our shared lock kept every in-place change off the file since it
        // was opened: it can only have grown (a writer at work, or a dead
        // one whose growth the journal cuts) or been replaced by a new version.
        Descriptor data(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
        if (!data) throw FileError("unable to open file '" + path_ + "' for writing (" + reason(errno) + ")");
        if (still_names(path_, shared_) && still_names(path_, data)) recover_journal(path_, shared_, data);
        // What an earlier call that was not durable left in the page cache
        // reaches the disk before this call journals it as original bytes:
        // a power loss must not roll back to bytes the disk never had.
        if (durable_) sync_data(data, path_);
        if (!still_names(path_, shared_) || !still_names(path_, data) || !still_names_at(dir, name_, data) ||
            file_length(data, path_) != original_length_) {
            throw FileError("'" + path_ +
                            "' was changed by another process while this call read it; try again");
        }
        remove_dead_temporary(temporary_path_for(path_));
        // The shared lock moves to the descriptor open for writing (taken
        // before the read-only one lets go, so the file is never unlocked):
        // over NFS, flock() is a lock on the server that may be made
        // exclusive only through a descriptor open for writing.
        take_shared(data, path_);
        ::flock(shared_.get(), LOCK_UN);
        data_ = std::move(data);
    }
    dir_ = std::move(dir);
    lock_ = std::move(lock);
    journalled_ = PageRuns();
    state_.move(Phase::locked);
    if (write_path == WritePath::beside) move_beside();
}

const Descriptor& GuardedFile::current() const {
    if (state_.route() != Route::in_place) return temp_;
    return data_ ? data_ : shared_;
}

void GuardedFile::check_writable() const {
    if (!owned_here()) throw IoError(not_owned_message());
    if (state_.ended()) throw ArgumentError("file '" + path_ + "' is closed");
    if (!failure_.empty()) throw IoError(failure_);
}

void GuardedFile::read(std::uint64_t offset, void* out, std::size_t size) const {
    if (!owned_here()) throw IoError(not_owned_message());
    if (state_.ended()) throw ArgumentError("file '" + path_ + "' is closed");
    auto* bytes = static_cast<unsigned char*>(out);
    const std::size_t got = read_at(current(), offset, bytes, size, path_);
    std::memset(bytes + got, 0, size - got);
    // What the call wrote over original bytes is still in memory.
    pending_.lay_over(offset, bytes, size);
}

void GuardedFile::write_original(std::uint64_t offset, const unsigned char* bytes, std::size_t size) {
    const std::uint64_t end = offset + size;
    std::uint64_t at = offset;
    while (at < end) {
        const std::size_t page = static_cast<std::size_t>(at / kPageSize);
        const std::size_t run_end = journalled_.run_end(page);
        if (run_end == 0 || pending_.holds(page)) {
            const std::uint64_t to = std::min(end, (page + 1) * kPageSize);
            pending_.put(at, bytes + (at - offset), static_cast<std::size_t>(to - at), data_, path_);
            at = to;
            continue;
        }
        // Its original bytes are safe already: straight to the file,
        // together with the journalled pages that follow (none of them is
        // pending: only the first page stays so).
        const std::uint64_t to = std::min<std::uint64_t>(end, run_end * kPageSize);
        write_at(data_, at, bytes + (at - offset), static_cast<std::size_t>(to - at), path_);
        at = to;
    }
}

void GuardedFile::write(std::uint64_t offset, const void* bytes, std::size_t size) {
    if (dropping_ && !state_.ended()) return;
    check_writable();
    const auto* p = static_cast<const unsigned char*>(bytes);
    const std::uint64_t end = offset + size;
    try {
        if (holding_ && state_.phase() == Phase::reading && end <= original_length_) {
            pending_.put(offset, p, size, shared_, path_);
            return;
        }
        begin_write();
        start_journal();
        if (state_.route() != Route::in_place) {
            write_at(temp_, offset, p, size, path_);
        } else {
            // Growth needs no saved bytes: the rollback cuts it.
            if (end > original_length_) {
                const std::uint64_t from = std::max(offset, original_length_);
                write_at(data_, from, p + (from - offset), static_cast<std::size_t>(end - from), path_);
            }
            if (offset < original_length_) {
                write_original(offset, p, static_cast<std::size_t>(std::min(end, original_length_) - offset));
                if (pending_.size() * kPageSize > max_pending_bytes_) checkpoint(std::nullopt, false);
            }
        }
        size_ = std::max(size_, end);
    } catch (const Error& e) {
        failure_ = e.what();
        throw;
    }
}

void GuardedFile::truncate(std::uint64_t length) {
    if (dropping_ && !state_.ended()) return;
    check_writable();
    // HDF5 trims a file open for writing to its end of allocation at close;
    // a call that only reads trims nothing (past that end may lie a live
    // writer's growth).
    if (holding_ && state_.phase() == Phase::reading) return;
    try {
        begin_write();
        start_journal();
        if (state_.route() == Route::in_place && length < original_length_) {
            checkpoint(length, false);
        } else {
            truncate_to(state_.route() == Route::in_place ? data_ : temp_, length, path_);
        }
        size_ = length;
    } catch (const Error& e) {
        failure_ = e.what();
        throw;
    }
}

void GuardedFile::start_journal() {
    if (state_.phase() == Phase::locked) state_.move(Phase::writing);
    // Before the first write, so that the original length is on record even
    // when all the call does is grow the file.
    if (state_.route() == Route::in_place && !journal_) {
        journal_.emplace(Journal::start(Journal::path_for(path_), data_, path_, durable_));
    }
}

bool GuardedFile::take_exclusive() {
    if (state_.phase() == Phase::landing) return true;
    if (write_path == WritePath::beside) return false;
    const struct stat before = status(data_);
    if (try_flock(data_, LOCK_EX, path_)) {
        state_.move(Phase::landing);
        return true;
    }
    // A failed attempt drops the shared lock too (flock() converts by
    // unlocking first): another writer may have changed the file meanwhile.
    failpoint::pass("guarded.unlocked");
    take_shared(data_, path_);
    const struct stat after = status(data_);
    if (after.st_size != before.st_size || after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
        after.st_mtim.tv_nsec != before.st_mtim.tv_nsec || after.st_nlink != before.st_nlink) {
        // The file is theirs now: nothing of ours was applied to it (the
        // journal guards only what an exclusive lock would have let us
        // overwrite), and whatever our growth was, they may have written
        // over it. It is left as they made it.
        if (journal_) journal_->remove(dir_);
        journal_.reset();
        state_.move(Phase::ceded);
        throw BusyError("'" + path_ + "' was changed by another process while this call wrote it; try again");
    }
    if (write_path == WritePath::in_place) throw BusyError(busy_message(path_));
    return false;
}

struct stat GuardedFile::status(const Descriptor& fd) const {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        throw IoError("cannot read the status of '" + path_ + "' (" + reason(errno) + ")");
    }
    return st;
}

void GuardedFile::move_beside() {
    const struct stat st = status(shared_);
    // A new version renamed into place would leave the file's other names
    // on the old one.
    if (st.st_nlink > 1) {
        throw BusyError("'" + path_ + "' has " + std::to_string(st.st_nlink) +
                        " hard links, which a new version written beside it would not update; it is "
                        "written only in place, and a reader holds it: try again once it has closed it");
    }
    temp_ = create_temporary(dir_, path_);  // nothing of ours to undo when it throws
    try {
        // The new version keeps the old one's permissions (and owner, where allowed).
        if (::fchmod(temp_.get(), st.st_mode & 07777) != 0) {
            throw IoError("cannot set the mode of '" + temporary_path_for(path_) + "' (" + reason(errno) + ")");
        }
        if (::fchown(temp_.get(), st.st_uid, st.st_gid) != 0 && errno != EPERM) {
            throw IoError("cannot set the owner of '" + temporary_path_for(path_) + "' (" + reason(errno) + ")");
        }
        copy_bytes(data_, temp_, size_, path_);
        for (const auto& [page, bytes] : pending_.held()) {
            const std::uint64_t from = page * kPageSize;
            const std::uint64_t to = std::min(from + kPageSize, original_length_);
            write_at(temp_, from, bytes.data(), static_cast<std::size_t>(to - from), path_);
        }
        // The original is as it was opened again: only growth was written
        // to it (an overwrite in place would have kept us there).
        if (file_length(data_, path_) != original_length_) truncate_to(data_, original_length_, path_);
        if (journal_) {
            journal_->remove(dir_);
            journal_.reset();
        }
        // Our shared lock stays until the rename (through the read-only
        // descriptor): no other writer changes the file under the copy.
        take_shared(shared_, path_);
    } catch (...) {
        remove_at(dir_, base_name_of(temporary_path_for(path_)), temporary_path_for(path_));
        temp_.reset();
        throw;
    }
    pending_.clear();
    data_.reset();
    state_.move(Route::beside, state_.phase());
}

void GuardedFile::checkpoint(std::optional<std::uint64_t> cut, bool last) {
    if (state_.route() != Route::in_place || (pending_.empty() && !cut)) return;
    // Original bytes go to the journal for the pending pages, the first page
    // and the pages a cut removes. Pending pages not yet journalled still
    // hold their original bytes on disk, so the journal reads them from the
    // file.
    const std::size_t pages = original_pages();
    const std::size_t cut_page = cut ? static_cast<std::size_t>(*cut / kPageSize) : pages;
    // The first page, which starts with HDF5's signature, is blanked while
    // the overwrites land and written last, at commit: a process dying among
    // them, or between an early checkpoint and commit, leaves a file that
    // readers refuse ("signature not found") rather than one they read
    // half-updated, until the next open undoes it.
    std::vector<unsigned char> head(static_cast<std::size_t>(std::min(kPageSize, original_length_)));
    if (const std::vector<unsigned char>* first_page = pending_.page(0)) {
        std::memcpy(head.data(), first_page->data(), head.size());
    } else {
        read_at(data_, 0, head.data(), head.size(), path_);
    }
    start_journal();
    bool saved = false;
    auto save_pages = [&](std::size_t first, std::size_t end, bool skip_holes) {
        const std::uint64_t from = first * kPageSize;
        const std::uint64_t to = std::min<std::uint64_t>(end * kPageSize, original_length_);
        journal_->save(data_, from, to - from, skip_holes);
        saved = true;
    };
    if (pages > 0 && cut_page > 0 && journalled_.run_end(0) == 0 && !pending_.holds(0)) {
        save_pages(0, 1, false);
    }
    const PageOverlay::Pages& held = pending_.held();
    for (auto it = held.begin(); it != held.end() && it->first < cut_page;) {
        if (journalled_.run_end(it->first) > 0) {
            ++it;
            continue;
        }
        const std::size_t first = it->first;
        std::size_t end = first + 1;
        while (++it != held.end() && it->first == end && end < cut_page) ++end;
        save_pages(first, end, false);
    }
    if (cut) {
        // A cut may remove a long sparse tail: only its data is saved, and
        // the cut itself is noted so that the holes come back as holes.
        for (const auto& [first, end] : journalled_.gaps(cut_page, pages)) save_pages(first, end, true);
        journal_->save_cut(*cut);
        saved = true;
    }
    // The journal is complete (and, durable, on disk) before the first
    // original byte is overwritten. It is written before readers are shut
    // out (nobody else changes the original bytes meanwhile): they are kept
    // off only while the overwrites land.
    if (saved) journal_->sync();
    // The signature is blanked once, by the checkpoint that starts landing.
    const bool starts_landing = state_.phase() != Phase::landing;
    if (!take_exclusive()) {
        move_beside();
        if (cut) truncate_to(temp_, *cut, path_);
        return;
    }
    if (pages > 0) journalled_.add(0, 1);
    for (const auto& entry : pending_.held()) journalled_.add(entry.first, entry.first + 1);
    if (cut) journalled_.add(cut_page, pages);
    const std::uint64_t limit = cut ? std::min(*cut, original_length_) : original_length_;
    if (starts_landing) {
        // Durable: blank on disk before any page it covers changes, so that
        // no power loss leaves the old signature over new pages.
        const unsigned char blank[kSignatureSize] = {};
        write_at(data_, 0, blank, std::min<std::size_t>(sizeof blank, head.size()), path_);
        if (durable_) sync_data(data_, path_);
    }
    for (const auto& [page, bytes] : pending_.held()) {
        const std::uint64_t from = page * kPageSize;
        const std::uint64_t to = std::min(from + kPageSize, limit);
        if (page != 0 && from < to) write_at(data_, from, bytes.data(), static_cast<std::size_t>(to - from), path_);
    }
    if (cut) truncate_to(data_, *cut, path_);
    failpoint::pass("guarded.apply");
    pending_.clear();
    // Later writes to the first page land here, not on disk, until the
    // commit point.
    if (!last) {
        pending_.keep(0, std::move(head));
        return;
    }
    land_first_page(head);
}

void GuardedFile::land_first_page(const std::vector<unsigned char>& head) {
    // The first page's own bytes, then its signature alone: a torn page
    // write leaves the signature blank, which readers refuse and the next
    // open rolls back, never a new superblock over old data.
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), size_));
    if (length > kSignatureSize) {
        write_at(data_, kSignatureSize, head.data() + kSignatureSize, length - kSignatureSize, path_);
    }
    // Durable: every other changed byte is on disk before the signature
    // makes it count.
    if (durable_) sync_data(data_, path_);
    // The last moment the call can still be undone: the file must still be
    // the one the journal guards, at its name.
    if (!still_names_at(dir_, name_, data_)) {
        throw FileError("'" + path_ + "' was replaced or moved by another process meanwhile; this "
                        "call's records were not stored");
    }
    failpoint::pass("guarded.commit_point");
    write_at(data_, 0, head.data(), std::min(length, kSignatureSize), path_);
    // The commit point: readers read the new version from here on, and no
    // open undoes it.
    state_.move(Phase::committed);
    failpoint::pass("guarded.committed");
    if (durable_) sync_data(data_, path_);
}

void GuardedFile::commit() {
    check_writable();
    if (dropping_) throw IoError("the writes of '" + path_ + "' were dropped");
    try {
        if (state_.phase() == Phase::reading) {
            // A call that never began writing only read: what HDF5 wrote
            // meanwhile is its bookkeeping of a file open for writing.
            pending_.clear();
        } else {
            commit_written();
        }
    } catch (const Error& e) {
        failure_ = e.what();
        if (state_.phase() == Phase::committed) release();
        throw;
    }
    if (state_.phase() != Phase::committed) state_.move(Phase::committed);
    release();
}

void GuardedFile::commit_written() {
    if (state_.route() == Route::in_place) checkpoint(std::nullopt, true);
    if (state_.route() != Route::in_place) {
        if (durable_) sync_data(temp_, path_);
        // Its lock goes before it gets the file's name: a reader opening
        // the new file must find it free. The writer lock keeps every
        // other writer off the temporary file.
        temp_.reset();
    }
    if (state_.route() == Route::fresh) {
        // A journal beside a file that does not exist guards nothing of ours;
        // left there, it would one day "restore" the new file.
        remove_at(dir_, base_name_of(Journal::path_for(path_)), Journal::path_for(path_));
        if (!rename_without_replacing(dir_, base_name_of(working_path_), name_)) {
            throw FileError("'" + path_ +
                            "' was created by another process meanwhile; this call's records "
                            "were not stored");
        }
        // From here on the file is in place: nothing is left to undo,
        // even when its directory entry fails to reach the disk.
        state_.move(Phase::committed);
        if (durable_) sync_directory(dir_, path_);
    } else if (state_.route() == Route::beside) {
        if (!replace_if_still(dir_, base_name_of(temporary_path_for(path_)), name_, shared_)) {
            throw FileError("'" + path_ + "' was replaced by another process meanwhile; this call's "
                            "records were not stored");
        }
        state_.move(Phase::committed);
        if (durable_) sync_directory(dir_, path_);
    } else {
        // Growth alone (no original page changed) is invisible to
        // readers until the journal's removal keeps it.
        const bool committed = state_.phase() == Phase::committed;
        if (durable_ && !committed && state_.phase() != Phase::locked) sync_data(data_, path_);
        if (!committed && !still_names_at(dir_, name_, data_)) {
            throw FileError("'" + path_ + "' was replaced or moved by another process meanwhile; "
                            "this call's records were not stored");
        }
        if (journal_) journal_->remove(dir_);
        journal_.reset();
    }
}

bool GuardedFile::roll_back() noexcept {
    // Committed, there is nothing to undo: a journal left is one the next
    // open drops.
    if (state_.ended()) return true;
    if (!owned_here()) {
        // The parent's call: not this process's to undo.
        forget_after_fork();
        state_.move(Phase::closed);
        return true;
    }
    dropping_ = true;
    pending_.clear();
    bool restored = true;
    try {
        if (state_.route() != Route::in_place) {
            // Still ours: we hold its lock, and nobody removes a locked one.
            remove_at(dir_, base_name_of(temporary_path_for(path_)), temporary_path_for(path_));
        } else if (journal_) {
            journal_->roll_back(data_);
            journal_->remove(dir_);
            journal_.reset();
        } else if (wrote_in_place() && data_) {
            truncate_to(data_, original_length_, path_);
            if (durable_) sync_data(data_, path_);
        }
    } catch (...) {
        restored = false;
    }
    state_.move(Phase::closed);
    release();
    return restored;
}

bool GuardedFile::wrote_in_place() const {
    return state_.route() == Route::in_place &&
           (state_.phase() == Phase::writing || state_.phase() == Phase::landing);
}

void GuardedFile::release() noexcept {
    temp_.reset();
    data_.reset();
    shared_.reset();
    if (dir_) {
        lock_.release_at(dir_);
    } else {
        lock_.release();
    }
    dir_.reset();
}

std::size_t GuardedFile::journalled_pages() const { return journalled_.count(); }

}  // namespace corvane
