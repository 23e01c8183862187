// The rollback journal of a bundle file being updated: a hidden file beside
// it holding the original bytes of every range a write is about to overwrite,
// saved (and, when durable, flushed to disk) before the overwrite. A writer
// that dies part-way leaves it behind; the next writer puts the saved bytes
// back and cuts the file to its original length, which restores the file as
// it was before the interrupted call, then removes the journal.
//
// A journal names the file it guards by more than its path: the device and
// inode, the file's name, its original length and checksums of sample pages
// (the first, the last and some between) as they were when the journal
// started. A writer never changes an original page before the journal holds
// it, so every sampled page the journal does not hold must still read as
// recorded: a file restored from a backup over the torn one (same inode,
// other bytes) fails that test and its stale journal is discarded unused; a
// copy of the torn file and its journal (new inode, same bytes) passes it and
// is recovered. When no sampled page can be checked (the journal holds them
// all), only the same device, inode and name let the journal apply; otherwise
// the file is refused and the journal kept.
//
// Layout (little-endian): a 512-byte header (magic, a random nonce, the
// original length, device, inode, name, the sample checksums, CRC-32C of the
// rest), then records of a 24-byte head (offset, length, CRC-32C of nonce,
// head and bytes, kind) followed by the saved bytes. A record of kind "cut"
// (no bytes) notes that the file was cut to `offset`: bytes past it that no
// record holds were holes, and read as zeros again after the rollback. A
// record whose checksum fails ends the journal: a writer killed while
// appending it had not yet overwritten what it guards.
#pragma once

#include "corvane/descriptor.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace corvane {

class Journal {
public:
    // What recover() found.
    enum class Recovery {
        none,         // no journal
        rolled_back,  // a dead writer's changes were undone
        completed,    // its writer had passed the commit point: the file stands, the journal went
        discarded,    // a journal that guarded nothing yet, or another file: removed unused
    };

    // Where the journal of the bundle file `path` lies: ".NAME.journal".
    static std::string path_for(const std::string& path);

    // Starts the journal of the data file open as `data` (`data_name` for
    // messages), recording its current length and identity. The journal is
    // created exclusively, never through a symbolic link, with the data
    // file's permissions. Nothing is flushed to disk before the first sync().
    static Journal start(const std::string& path, const Descriptor& data,
                         const std::string& data_name, bool durable);

    // Undoes, then removes, a journal left at `path` by a writer that died.
    // The caller holds the data file's writer lock. The data file is flushed
    // to disk before the journal goes. Throws IoError, keeping the journal,
    // when it cannot tell whether the journal belongs to the file, or the
    // journal is not a regular file.
    static Recovery recover(const std::string& path, const Descriptor& data,
                            const std::string& data_name);
    // Ends the call of a bundle file's writer that died, leaving the journal
    // at `path`, and removes the journal. The data file's first 8 bytes (its
    // signature) tell where the call stood: blank, it was applying its
    // overwrites, which recover() undoes once `shut_out_readers()` (taking
    // the data file's exclusive lock) returned true; the original first
    // page, it had not begun, and only its growth is cut; anything else, it
    // had passed its commit point, and the file stands as it is. Throws as
    // recover() does, and IoError when a reader holds a file to roll back.
    static Recovery settle(const std::string& path, const Descriptor& data,
                           const std::string& data_name,
                           const std::function<bool()>& shut_out_readers);

    Journal(Journal&&) noexcept = default;
    Journal& operator=(Journal&&) noexcept = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    std::uint64_t original_length() const { return original_length_; }

    // Appends the bytes now at [offset, offset + length) of the data file,
    // which must lie within its original length. With `skip_holes`, ranges
    // the file system reports as holes are left out (they read as zeros).
    void save(const Descriptor& data, std::uint64_t offset, std::uint64_t length,
              bool skip_holes = false);
    // Notes that the data file is about to be cut to `length`.
    void save_cut(std::uint64_t length);
    // Durable: the records appended so far, and the journal's name, are on
    // disk. Call it before the overwrites they guard.
    void sync();
    // Puts every saved range back into `data` and cuts it to the original
    // length; durable: flushed to disk. The journal stays until remove().
    void roll_back(const Descriptor& data) const;
    // Removes the journal file: the guarded writes stand (or were rolled back).
    void remove();
    // The same, by its name in `dir`, the directory it was created in (which
    // may have been renamed since).
    void remove(const Descriptor& dir);
    // Closes the journal without touching it: in a forked child, which must
    // not act on its parent's call.
    void forget() noexcept { fd_.reset(); }

private:
    static Recovery recover(const std::string& path, const Descriptor& data,
                            const std::string& data_name, bool by_signature,
                            const std::function<bool()>& shut_out_readers);
    Journal(std::string path, Descriptor fd, std::string data_name, std::uint64_t nonce,
            std::uint64_t original_length, bool durable);
    void append_record(const unsigned char* head, const unsigned char* bytes, std::size_t size);

    std::string path_;
    Descriptor fd_;
    std::string data_name_;
    std::uint64_t nonce_ = 0;
    std::uint64_t original_length_ = 0;
    std::uint64_t end_ = 0;  // where the next record goes
    bool durable_ = false;
    bool named_on_disk_ = false;  // the directory entry was flushed
};

}  // namespace corvane
