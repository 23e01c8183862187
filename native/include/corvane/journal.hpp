// The rollback journal of a bundle file being updated: a hidden file beside
// it holding the original bytes of every range a write is about to overwrite,
// saved (and, when durable, flushed to disk) before the overwrite. A writer
// that dies part-way leaves it behind; the next writer puts the saved bytes
// back and cuts the file to its original length, which restores the file as
// it was before the interrupted call, then removes the journal.
//
// Layout (little-endian): a 48-byte header (magic, a random nonce, the data
// file's original length and inode number, CRC-32C of those), then records of
// a 24-byte head (offset, length, CRC-32C of nonce, offset, length and bytes)
// followed by the saved bytes. A record whose checksum fails ends the journal:
// a writer killed while appending it had not yet overwritten what it guards.
#pragma once

#include "corvane/descriptor.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane {

class Journal {
public:
    // What recover() found.
    enum class Recovery {
        none,         // no journal
        rolled_back,  // a dead writer's changes were undone
        discarded,    // a journal that guarded nothing yet, or another file: removed unused
    };

    // Where the journal of the bundle file `path` lies: ".NAME.journal".
    static std::string path_for(const std::string& path);

    // Starts the journal of the data file open as `data` (`data_name` for
    // messages), recording its current length and identity. Nothing is
    // flushed to disk before the first sync().
    static Journal start(const std::string& path, const Descriptor& data,
                         const std::string& data_name, bool durable);

    // Undoes, then removes, a journal left at `path` by a writer that died.
    // The caller holds the data file's writer lock. The data file is flushed
    // to disk before the journal goes.
    static Recovery recover(const std::string& path, const Descriptor& data,
                            const std::string& data_name);

    Journal(Journal&&) noexcept = default;
    Journal& operator=(Journal&&) noexcept = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    std::uint64_t original_length() const { return original_length_; }

    // Appends the bytes now at [offset, offset + length) of the data file,
    // which must lie within its original length.
    void save(const Descriptor& data, std::uint64_t offset, std::uint64_t length);
    // Durable: the records appended so far, and the journal's name, are on
    // disk. Call it before the overwrites they guard.
    void sync();
    // Puts every saved range back into `data` and cuts it to the original
    // length; durable: flushed to disk. The journal stays until remove().
    void roll_back(const Descriptor& data) const;
    // Removes the journal file: the guarded writes stand (or were rolled back).
    void remove();

private:
    Journal(std::string path, Descriptor fd, std::string data_name, std::uint64_t nonce,
            std::uint64_t original_length, bool durable);

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
