// The lifecycle of one guarded call: opening (or starting a new file),
// beginning to write, reading and writing through the call, and letting
// the file go. Its commit and roll back are in commit.cpp, the settling of
// a dead writer's leftovers in recovery.cpp.
#include "corvane/guarded_file.hpp"

#include "corvane/error.hpp"
#include "corvane/file.hpp"
#include "corvane/writer_lock.hpp"
#include "fork_registry.hpp"
#include "guarded_steps.hpp"
#include "recovery.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

using namespace guarded;

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
    if (write_path() == WritePath::beside) move_beside();
}

const Descriptor& GuardedFile::current() const {
    if (state_.route() != Route::in_place) return temp_;
    return data_ ? data_ : shared_;
}

void GuardedFile::note_failure(const corvane::Error& error) {
    failure_ = error.what();
    failure_busy_ = dynamic_cast<const BusyError*>(&error) != nullptr;
}

void GuardedFile::check_writable() const {
    if (!owned_here()) throw IoError(not_owned_message());
    if (state_.ended()) throw ArgumentError("file '" + path_ + "' is closed");
    if (!failure_.empty()) {
        if (failure_busy_) throw BusyError(failure_);
        throw IoError(failure_);
    }
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
        note_failure(e);
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
        note_failure(e);
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
