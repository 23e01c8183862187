// The bytes of one bundle file during one writing call. The call ends either
// with all of its writes in place (commit) or with none (roll_back), also when
// the process dies part-way:
// - the file is locked against every other writer for the whole call;
// - a file that does not exist yet is built under a hidden temporary name in
//   its directory (".NAME.tmp") and renamed into place only by commit(), never
//   over a file that appeared meanwhile;
// - an existing file is guarded by its rollback journal (journal.hpp): the
//   original bytes of a page are saved before its first overwrite, and the
//   journal is removed by commit(). Opening a file undoes what a dead writer
//   left, and removes a dead writer's temporary file.
// Durable: the data is flushed to disk before each step that makes it count,
// so a power loss, too, leaves the call either done or undone.
#pragma once

#include "corvane/descriptor.hpp"
#include "corvane/journal.hpp"

#include <cstddef>
#include <cstdint>
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
    static std::shared_ptr<GuardedFile> open(const std::string& path, bool durable);

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

    // For the engine's tests: pages of the original file saved so far.
    std::size_t saved_pages() const;

    static constexpr std::uint64_t kPageSize = 4096;

private:
    GuardedFile(std::string path, std::string working_path, Descriptor fd, bool is_new, bool durable);
    static std::shared_ptr<GuardedFile> create(const std::string& path, bool durable);

    void check_writable() const;
    void start_journal();
    void save_originals(std::uint64_t begin, std::uint64_t end);
    void release() noexcept;

    std::string path_;
    std::string working_path_;
    Descriptor fd_;  // holds the writer lock
    bool is_new_;
    bool durable_;
    std::uint64_t original_length_ = 0;
    std::uint64_t size_ = 0;
    std::optional<Journal> journal_;
    std::vector<bool> saved_;  // per page of the original length
    std::string failure_;
    bool dropping_ = false;
    bool released_ = false;
};

}  // namespace corvane
