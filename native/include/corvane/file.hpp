// An HDF5 file of the bundle, open for reading and writing.
#pragma once

#include "corvane/handle.hpp"

#include <memory>
#include <string>
#include <vector>

namespace corvane {

class GuardedFile;

// One writing call on one bundle file: it ends with close() (every write
// stands) or abort() (none does), and a process that dies in between leaves
// what the next open undoes (guarded_file.hpp). A file that does not exist is
// built under a hidden temporary name and appears complete at close().
class File {
public:
    // Opens `path` for reading and writing, or creates it when it does not
    // exist (never truncating). Throws FileError naming the file when it is
    // not an HDF5 file, its directory is missing, access is denied or another
    // process is writing it; a file that is not HDF5 is left untouched.
    // Nothing stays open when the constructor throws. `durable`: close()
    // returns only once the call's writes are on disk, and a power loss at
    // any moment leaves the file as before the call or as after it.
    explicit File(std::string path, bool durable = false);
    // Rolls back, like abort().
    ~File();

    File(File&&) noexcept = default;
    File& operator=(File&&) noexcept = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    const std::string& path() const { return path_; }
    bool is_open() const { return static_cast<bool>(handle_); }

    // Ends a successful call: writes everything out and closes. Idempotent.
    // Throws IoError naming the file when a write of the call failed (a full
    // disk, a file size limit, an I/O error) or the file cannot be written
    // out; the call's writes are then rolled back and the file is closed.
    void close();
    // Ends a failed call: rolls back its writes (a new file disappears) and
    // closes. Idempotent, never throws.
    void abort() noexcept;

    // Names of the root group's members, in ascending byte order.
    std::vector<std::string> members() const;
    // False for names that cannot name a root member ("", ".", "a/b").
    bool contains(const std::string& name) const;
    // Deletes the member; throws NotFound when absent.
    void remove(const std::string& name);

    // Throws ArgumentError when the file is closed. Used by the engine's own
    // operations before they touch the handle.
    const Handle& handle() const;

private:
    void open_unguarded();
    // Closes the HDF5 file; "" or HDF5's reason why it failed.
    std::string close_handle() noexcept;

    std::string path_;
    std::shared_ptr<GuardedFile> guard_;  // none when crash safety is off
    Handle handle_;
};

// Measurement only: with false, files opened afterwards are written in place
// through HDF5's own POSIX driver, with no lock, temporary file or journal of
// ours, so that a benchmark can show what crash safety costs. Process-wide.
void set_crash_safety(bool enabled);

// A root member name is non-empty, not ".", and has no "/" or NUL in it.
bool is_member_name(const std::string& name);

}  // namespace corvane
