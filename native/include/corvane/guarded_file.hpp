// The bytes of one bundle file during one call of the engine. A call reads
// the file as it stands and writes only when it has something to write; it
// ends either with all of its writes in place (commit) or with none
// (roll_back), also when the process dies part-way. The protocol, its commit
// points and its numbered invariants are written down in
// docs/crash-safety.md; in short:
// - open() opens an existing file read-only under a shared lock, the same
//   flock() an HDF5 reader holds while it has the file open: nothing is
//   written, and a call that ends there leaves the file byte for byte as it
//   was, times included (also in a read-only directory). A symbolic link is
//   followed: the call works on its target, beside which its companions lie;
// - the first write takes the writer lock, a hidden lock file beside the file
//   (".NAME.lock", never through a link) that readers never touch: two
//   writers exclude each other, readers never stop a writer. A file replaced
//   since open() is refused. From here on the companions are reached through
//   the file's directory, which a rename of the directory takes along;
// - a file that does not exist yet is built under a hidden temporary name in
//   its directory (".NAME.tmp") and renamed into place only by commit(), never
//   over a file that appeared meanwhile;
// - an existing file only grows until commit(): overwrites of its original
//   bytes are kept in memory, page by page. Readers holding the file see its
//   original version throughout (HDF5 ignores bytes past its recorded end).
//   Overwrites are then applied in place only when no reader holds the file
//   (the shared lock becomes exclusive without waiting), with the rollback
//   journal (journal.hpp) first and the signature blanked; the signature
//   written back last is the commit point. Otherwise the new version is
//   written beside the file under the temporary name (copy_file_range, which
//   shares blocks where the file system can), the shared lock held, and
//   renamed over it, and the readers keep the version they opened; a file
//   with other hard links is written only in place. A large rewrite applies
//   its overwrites early, the same way.
// A writer that dies before its commit point leaves the original bytes as
// they were plus growth past HDF5's end of file, or a blank signature and a
// journal, or a temporary file; the next open puts the original bytes back,
// cuts the growth and removes what a dead writer left. One that dies past it
// leaves the new version, which the next open keeps.
// Durable: the data is flushed to disk before each step that makes it count
// (also at the first write, so that what an earlier call that was not
// durable left in the page cache is on disk before it is journalled), so a
// power loss, too, leaves the call either done or undone.
// Fork: a process forked while a call is open inherits the descriptors, and
// with them the locks. The child closes its copies at once (so the locks go
// with the parent's close) and refuses every use of the call; its abort or
// destruction leaves the parent's call alone.
#pragma once

#include "corvane/call_state.hpp"
#include "corvane/descriptor.hpp"
#include "corvane/error.hpp"
#include "corvane/journal.hpp"
#include "corvane/page_overlay.hpp"
#include "corvane/writer_lock.hpp"

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

namespace corvane {

class GuardedFile : public std::enable_shared_from_this<GuardedFile> {
public:
    // Opens `path` for one call, read-only, or starts building it when absent.
    // FileError naming the file when it cannot be opened or created, is empty
    // or not a regular file, a dead writer's changes cannot be undone, or
    // (new file) another process is writing it.
    // `max_pending_bytes`: overwrites held in memory beyond which they are
    // journalled and applied early (bounding the memory of a large rewrite).
    static std::shared_ptr<GuardedFile> open(const std::string& path, bool durable,
                                             std::size_t max_pending_bytes = kMaxPendingBytes);

    // What recover() found beside a bundle file and did with it.
    struct Leftovers {
        Journal::Recovery journal = Journal::Recovery::none;
        bool temporary = false;  // a dead writer's temporary file, removed
        bool lock = false;       // a dead writer's lock file, removed
    };
    // Settles what dead writers left beside `path` (a journal, a temporary
    // file, a lock file), as the next open of the file would, and says what
    // it found. A journal whose file is gone is left alone: it guards
    // nothing an open could restore. FileError, touching nothing, when a
    // live writer holds the file; FileError when a journal cannot be
    // settled (it is kept).
    static Leftovers recover(const std::string& path);

    // Where the temporary file of a new version of `path` lies.
    static std::string temporary_path_for(const std::string& path);
    // Where the writer lock of `path` lies (while a writer holds it).
    static std::string lock_path_for(const std::string& path);

    ~GuardedFile();
    GuardedFile(const GuardedFile&) = delete;
    GuardedFile& operator=(const GuardedFile&) = delete;

    const std::string& path() const { return path_; }
    // The name the file is built under: the temporary name while new.
    const std::string& working_path() const { return working_path_; }
    // The call builds a file that did not exist.
    bool is_new() const { return state_.route() == Route::fresh; }
    // The call holds the writer lock and has not ended.
    bool is_writing() const { return state_.phase() != Phase::reading && !state_.ended(); }
    // The call's new version is written beside the file, since a reader
    // holds it (or in-place writing is switched off).
    bool writes_beside() const { return state_.route() == Route::beside; }

    // Takes the writer lock and opens the file for writing; the first write
    // does it too. FileError naming the file when another process is writing
    // it or replaced it since open(). Idempotent.
    void begin_write();
    // For a file that HDF5 opens for writing before the call knows whether
    // it will write. Until begin_write(), what HDF5 writes is its
    // bookkeeping of a file open for writing (the superblock's open mark,
    // the times in the superblock extension): overwrites of original bytes
    // are held in memory, where reads see them, and truncations ignored,
    // without the writer lock; a commit() before begin_write() drops them.
    // Every change of the caller's must therefore begin_write() first.
    void hold_writes_while_reading();

    std::uint64_t size() const { return size_; }
    // Bytes past the end read as zeros.
    void read(std::uint64_t offset, void* out, std::size_t size) const;
    void write(std::uint64_t offset, const void* bytes, std::size_t size);
    void truncate(std::uint64_t length);

    // The first write failure ("" when none); every later write fails too, so
    // that the call can only end by rolling back.
    const std::string& failure() const { return failure_; }
    // Whether that failure was another process holding the file (BusyError).
    bool failure_is_busy() const { return failure_busy_; }
    // False in a process forked from the one that opened the file: nothing
    // of the call may be touched there.
    bool owned_here() const;
    // Why a forked process cannot use the call.
    std::string not_owned_message() const;
    // The call's writes stand: commit() got past the rename or the journal's
    // removal, even if a later step (flushing the directory) failed.
    bool committed() const { return state_.phase() == Phase::committed; }
    // The call is being abandoned: later writes and truncations are dropped.
    void drop_writes() { dropping_ = true; }

    // Makes the call's writes stand and releases the file. Throws IoError
    // (FileError when a new file's name was taken meanwhile, or when in-place
    // writing is forced and a reader holds the file); roll_back() is then
    // still to be called.
    void commit();
    // Undoes the call's writes and releases the file; never throws. False
    // when the journal could not be applied: it stays, for the next open.
    bool roll_back() noexcept;

    // For the engine's tests: pages of the original file whose original
    // bytes are in the journal, and pages whose overwrite is still pending.
    std::size_t journalled_pages() const;
    std::size_t pending_pages() const { return pending_.size(); }

    static constexpr std::uint64_t kPageSize = PageOverlay::kPageSize;
    static constexpr std::size_t kMaxPendingBytes = std::size_t{64} << 20;

private:
    GuardedFile(std::string path, std::string working_path, CallState state, bool durable,
                std::size_t max_pending_bytes);
    static std::shared_ptr<GuardedFile> create(const std::string& path, bool durable,
                                               std::size_t max_pending_bytes);

    // The descriptor holding the call's current bytes.
    const Descriptor& current() const;
    void check_writable() const;
    void start_journal();
    void write_original(std::uint64_t offset, const unsigned char* bytes, std::size_t size);
    // Journals the original bytes of every pending page (and, with `cut`, of
    // [cut, original length)), then applies the pending overwrites (and cuts)
    // in place; or, when a reader holds the file, goes on beside it. Before
    // `last` (the commit's), the first page stays blank on disk and pending.
    void checkpoint(std::optional<std::uint64_t> cut, bool last);
    // The checkpoint's steps: the first page as the call has it now; the
    // original bytes of what it overwrites or cuts (of pages up to
    // `cut_page`) into the journal, true when anything was saved; and the
    // overwrites and the cut landed in place, the signature blanked first
    // when `starts_landing`.
    std::vector<unsigned char> first_page_now() const;
    bool journal_originals(std::optional<std::uint64_t> cut, std::size_t pages, std::size_t cut_page);
    void land_overwrites(std::optional<std::uint64_t> cut, std::size_t pages, std::size_t cut_page,
                         bool starts_landing, std::size_t head_size);
    // Whether no reader holds the file: our shared lock became exclusive
    // (the call is landing from here on).
    bool take_exclusive();
    // Writes the first page `head` at the commit point: its bytes, then its
    // signature.
    void land_first_page(const std::vector<unsigned char>& head);
    struct stat status(const Descriptor& fd) const;
    // The call's bytes so far, copied to a temporary file that takes every
    // later write; the original file loses its growth and its journal.
    void move_beside();
    // commit() of a call that began writing: the last checkpoint or the
    // temporary's flush, its route's commit point, and what follows it
    // (the journal's removal, the directory's flush).
    void commit_written();
    // Whether the call wrote to the file itself (growth, the journal, pages).
    bool wrote_in_place() const;
    void release() noexcept;
    std::size_t original_pages() const {
        return static_cast<std::size_t>((original_length_ + kPageSize - 1) / kPageSize);
    }
    // In a forked child: closes the inherited descriptors, touching nothing.
    void forget_after_fork() noexcept;

    friend struct ForkChild;

    std::string path_;
    std::string working_path_;
    std::string name_;  // path_'s last component
    // Where the call stands; every change goes through CallState::move().
    CallState state_;
    Descriptor dir_;     // path_'s directory, from the first write
    Descriptor shared_;  // the file as opened: read-only, holds the shared lock until begin_write()
    Descriptor data_;    // the file open for writing in place; holds the shared lock from begin_write()
    Descriptor temp_;    // the temporary file: a new file, or a new version
    WriterLock lock_;
    bool durable_;
    std::size_t max_pending_bytes_;
    std::uint64_t original_length_ = 0;
    std::uint64_t size_ = 0;
    std::optional<Journal> journal_;
    // Pages of the original length whose original bytes are in the journal.
    PageRuns journalled_;
    // New contents of original pages, applied at the next checkpoint (the
    // first page's at the last one).
    PageOverlay pending_;
    // Facts beside the state: HDF5 opened the file for writing while the
    // call only reads (its bookkeeping is held); the call is abandoned
    // (it can only roll back).
    bool holding_ = false;
    std::string failure_;
    bool failure_busy_ = false;
    void note_failure(const corvane::Error& error);
    bool dropping_ = false;
    long owner_pid_ = 0;
    bool forked_ = false;  // set in a forked child
};


}  // namespace corvane
