// The bytes of one bundle file during one writing call. The call ends either
// with all of its writes in place (commit) or with none (roll_back), also when
// the process dies part-way:
// - the file is locked against every other writer for the whole call;
// - a file that does not exist yet is built under a hidden temporary name in
//   its directory (".NAME.tmp") and renamed into place only by commit(), never
//   over a file that appeared meanwhile;
// - an existing file only grows until commit(): overwrites of its original
//   bytes are kept in memory, page by page, and applied by commit() once the
//   pages' original bytes are in the rollback journal (journal.hpp), which
//   then goes. The journal is started (with the original length) at the
//   first write. A writer that dies before commit() leaves the original bytes
//   as they were (readers still see the old file) plus growth past HDF5's end
//   of file; one that dies while applying leaves saved bytes. The next open
//   puts the original bytes back and cuts the growth. Opening also removes a
//   dead writer's temporary file.
// Durable: the data is flushed to disk before each step that makes it count
// (four flushes for an update, two for a new file), so a power loss, too,
// leaves the call either done or undone.
#pragma once

#include "corvane/descriptor.hpp"
#include "corvane/journal.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

class GuardedFile : public std::enable_shared_from_this<GuardedFile> {
public:
    // Opens `path` for one call, or starts building it when absent. FileError
    // naming the file when it cannot be opened or created, is empty or not a
    // regular file, or another process is writing it.
    // `max_pending_bytes`: overwrites held in memory beyond which they are
    // journalled and applied early (bounding the memory of a large rewrite).
    static std::shared_ptr<GuardedFile> open(const std::string& path, bool durable,
                                             std::size_t max_pending_bytes = kMaxPendingBytes);

    // Where the temporary file of a new `path` lies.
    static std::string temporary_path_for(const std::string& path);

    ~GuardedFile();
    GuardedFile(const GuardedFile&) = delete;
    GuardedFile& operator=(const GuardedFile&) = delete;

    const std::string& path() const { return path_; }
    // The name the file is built under: the temporary name while new.
    const std::string& working_path() const { return working_path_; }
    bool is_new() const { return is_new_; }

    std::uint64_t size() const { return size_; }
    // Bytes past the end read as zeros.
    void read(std::uint64_t offset, void* out, std::size_t size) const;
    void write(std::uint64_t offset, const void* bytes, std::size_t size);
    void truncate(std::uint64_t length);

    // The first write failure ("" when none); every later write fails too, so
    // that the call can only end by rolling back.
    const std::string& failure() const { return failure_; }
    // The call is being abandoned: later writes and truncations are dropped.
    void drop_writes() { dropping_ = true; }

    // Makes the call's writes stand and releases the file. Throws IoError
    // (FileError when a new file's name was taken meanwhile); roll_back()
    // is then still to be called.
    void commit();
    // Undoes the call's writes and releases the file; never throws. False
    // when the journal could not be applied: it stays, for the next open.
    bool roll_back() noexcept;

    // For the engine's tests: pages of the original file whose original
    // bytes are in the journal, and pages whose overwrite is still pending.
    std::size_t journalled_pages() const;
    std::size_t pending_pages() const { return pending_.size(); }

    static constexpr std::uint64_t kPageSize = 4096;
    static constexpr std::size_t kMaxPendingBytes = std::size_t{64} << 20;

private:
    GuardedFile(std::string path, std::string working_path, Descriptor fd, bool is_new, bool durable,
                std::size_t max_pending_bytes);
    static std::shared_ptr<GuardedFile> create(const std::string& path, bool durable,
                                               std::size_t max_pending_bytes);

    void check_writable() const;
    void start_journal();
    void write_original(std::uint64_t offset, const unsigned char* bytes, std::size_t size);
    // Journals the original bytes of every pending page (and, with `cut`, of
    // [cut, original length)), then applies the pending overwrites (and cuts).
    void checkpoint(std::optional<std::uint64_t> cut);
    void release() noexcept;

    std::string path_;
    std::string working_path_;
    Descriptor fd_;  // holds the writer lock
    bool is_new_;
    bool durable_;
    std::size_t max_pending_bytes_;
    std::uint64_t original_length_ = 0;
    std::uint64_t size_ = 0;
    std::optional<Journal> journal_;
    std::vector<bool> journalled_;  // per page of the original length
    // New contents of original pages, applied at the next checkpoint.
    std::map<std::size_t, std::vector<unsigned char>> pending_;
    bool wrote_ = false;
    std::string failure_;
    bool dropping_ = false;
    bool released_ = false;
};

}  // namespace corvane
