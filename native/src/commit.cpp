// The commit of a guarded call and its undoing: the checkpoint that
// journals and lands overwrites in place, the move beside the file when a
// reader holds it, the commit point of each route, and the roll back.
#include "corvane/guarded_file.hpp"

#include "corvane/error.hpp"
#include "corvane/failpoint.hpp"
#include "corvane/file.hpp"
#include "guarded_steps.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

using namespace guarded;

namespace {

// HDF5's signature: the bytes that make a file one at all.
constexpr std::size_t kSignatureSize = 8;

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

enum class Exchanged { yes, gone, unsupported };

// Exchanges the names `a` and `b` in the directory open as `dir`.
Exchanged exchange(const Descriptor& dir, const std::string& a, const std::string& b) {
#ifdef RENAME_EXCHANGE
    if (::renameat2(dir.get(), a.c_str(), dir.get(), b.c_str(), RENAME_EXCHANGE) == 0) return Exchanged::yes;
    if (errno == ENOENT) return Exchanged::gone;
    if (errno != EINVAL && errno != ENOSYS) {
        throw IoError("cannot exchange '" + a + "' and '" + b + "' (" + reason(errno) + ")");
    }
#endif
    return Exchanged::unsupported;
}

enum class Placed { done, replaced, unsupported };

// Puts the new version `from` (open as `built`) in place of `to` in the
// directory open as `dir`, provided `to` is the file open as `original`;
// `path` is the file's, for the errors.
// The names are exchanged in one step and what came out is checked: a file
// another process put at the name since the check goes back there, and the
// new version back under its own name. A plain rename would replace it.
Placed place_beside(const Descriptor& dir, const std::string& from, const std::string& to,
                    const Descriptor& original, const Descriptor& built, const std::string& path) {
    if (!still_names_at(dir, to, original)) return Placed::replaced;
    failpoint::pass("guarded.exchange");
    switch (exchange(dir, from, to)) {
        case Exchanged::gone: return Placed::replaced;
        case Exchanged::unsupported: return Placed::unsupported;
        case Exchanged::yes: break;
    }
    failpoint::pass("guarded.exchanged");
    if (still_names_at(dir, from, original)) return Placed::done;
    const auto kept = [&](const std::string& where) {
        return FileError("'" + path + "' was replaced by another process meanwhile, and " + where +
                         "; this call's records were not stored");
    };
    if (exchange(dir, from, to) != Exchanged::yes) {
        throw kept("its file could not be put back at its name (it is at '" +
                   GuardedFile::temporary_path_for(path) + "', this call's version at the name)");
    }
    // A third process's file put at the name between the two exchanges is
    // now under the temporary name: it stays there, named.
    if (!still_names_at(dir, from, built)) {
        throw kept("a file put there since is at '" + GuardedFile::temporary_path_for(path) + "'");
    }
    return Placed::replaced;
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

}  // namespace

bool GuardedFile::take_exclusive() {
    if (state_.phase() == Phase::landing) return true;
    if (write_path() == WritePath::beside) return false;
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
    if (write_path() == WritePath::in_place) throw BusyError(busy_message(path_));
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
    std::vector<unsigned char> head = first_page_now();
    start_journal();
    // The journal is complete (and, durable, on disk) before the first
    // original byte is overwritten. It is written before readers are shut
    // out (nobody else changes the original bytes meanwhile): they are kept
    // off only while the overwrites land.
    if (journal_originals(cut, pages, cut_page)) journal_->sync();
    // The signature is blanked once, by the checkpoint that starts landing.
    const bool starts_landing = state_.phase() != Phase::landing;
    if (!take_exclusive()) {
        move_beside();
        if (cut) truncate_to(temp_, *cut, path_);
        return;
    }
    land_overwrites(cut, pages, cut_page, starts_landing, head.size());
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

std::vector<unsigned char> GuardedFile::first_page_now() const {
    std::vector<unsigned char> head(static_cast<std::size_t>(std::min(kPageSize, original_length_)));
    if (const std::vector<unsigned char>* first_page = pending_.page(0)) {
        std::memcpy(head.data(), first_page->data(), head.size());
    } else {
        read_at(data_, 0, head.data(), head.size(), path_);
    }
    return head;
}

bool GuardedFile::journal_originals(std::optional<std::uint64_t> cut, std::size_t pages, std::size_t cut_page) {
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
    return saved;
}

void GuardedFile::land_overwrites(std::optional<std::uint64_t> cut, std::size_t pages, std::size_t cut_page,
                                  bool starts_landing, std::size_t head_size) {
    if (pages > 0) journalled_.add(0, 1);
    for (const auto& entry : pending_.held()) journalled_.add(entry.first, entry.first + 1);
    if (cut) journalled_.add(cut_page, pages);
    const std::uint64_t limit = cut ? std::min(*cut, original_length_) : original_length_;
    if (starts_landing) {
        // Durable: blank on disk before any page it covers changes, so that
        // no power loss leaves the old signature over new pages.
        const unsigned char blank[kSignatureSize] = {};
        write_at(data_, 0, blank, std::min<std::size_t>(sizeof blank, head_size), path_);
        if (durable_) sync_data(data_, path_);
    }
    for (const auto& [page, bytes] : pending_.held()) {
        const std::uint64_t from = page * kPageSize;
        const std::uint64_t to = std::min(from + kPageSize, limit);
        if (page != 0 && from < to) write_at(data_, from, bytes.data(), static_cast<std::size_t>(to - from), path_);
    }
    if (cut) truncate_to(data_, *cut, path_);
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
        note_failure(e);
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
        // other writer off the temporary file. Beside, the descriptor
        // stays: it says which file is ours once the names are exchanged.
        if (state_.route() == Route::beside) {
            ::flock(temp_.get(), LOCK_UN);
        } else {
            temp_.reset();
        }
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
        const std::string temporary = base_name_of(temporary_path_for(path_));
        switch (place_beside(dir_, temporary, name_, shared_, temp_, path_)) {
            case Placed::replaced:
                throw FileError("'" + path_ + "' was replaced by another process meanwhile; this call's "
                                "records were not stored");
            case Placed::unsupported:
                throw BusyError("'" + path_ + "' is held by a reader, and its file system cannot exchange "
                                "two names in one step, which a new version written beside it needs; "
                                "try again once the reader has closed it");
            case Placed::done:
                break;
        }
        state_.move(Phase::committed);
        // The exchange reaches the disk before the old version's name goes.
        if (durable_) sync_directory(dir_, path_);
        // The old version, now under the temporary name, goes: readers that
        // hold it keep it. Left behind, the next open removes it.
        if (still_names_at(dir_, temporary, shared_)) ::unlinkat(dir_.get(), temporary.c_str(), 0);
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
            // Still ours: we hold its lock, and nobody removes a locked one;
            // once unlocked for the exchange, only while it names our file.
            const std::string temporary = base_name_of(temporary_path_for(path_));
            if (!temp_ || still_names_at(dir_, temporary, temp_)) {
                remove_at(dir_, temporary, temporary_path_for(path_));
            }
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

}  // namespace corvane
