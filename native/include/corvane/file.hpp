// An HDF5 file of the bundle: read-only until the first write.
#pragma once

#include "corvane/error.hpp"
#include "corvane/handle.hpp"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace corvane {

class Dataset;
class GuardedFile;

// One call on one bundle file: it ends with close() (every write stands) or
// abort() (none does), and a process that dies in between leaves what the
// next open undoes (guarded_file.hpp). An existing file is only read until
// the first write (begin_writing()): a call with nothing to write changes
// no byte of it. (HDF5 has it open for writing throughout, since it cannot
// turn a read-only file into a writable one; the guard keeps what HDF5
// writes before begin_writing() off the disk.) A file that does not exist is
// built under a hidden temporary name and appears complete at close().
class File {
public:
    // Opens `path` for reading, or creates it when it does not exist (never
    // truncating). Throws FileError naming the file when it is not an HDF5
    // file, its directory is missing, access is denied or (new file) another
    // process is writing it; a file that is not HDF5 is left untouched.
    // Nothing stays open when the constructor throws. `durable`: close()
    // returns only once the call's writes are on disk, and a power loss at
    // any moment leaves the file as before the call or as after it.
    explicit File(std::string path, bool durable = false);
    // Rolls back, like abort().
    ~File();

    File(File&&) noexcept;
    File& operator=(File&&) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    const std::string& path() const { return path_; }
    bool is_open() const { return static_cast<bool>(handle_); }

    // Makes the file writable: takes the writer lock (readers never take it)
    // and opens the file's bytes for writing. Every writing operation calls
    // it first. Throws FileError
    // naming the file when another process is writing it or changed it
    // since it was opened. Idempotent.
    void begin_writing();

    // Ends a successful call: writes everything out and closes. Idempotent.
    // Throws IoError naming the file when a write of the call failed (a full
    // disk, a file size limit, an I/O error), also one that failed earlier
    // or while HDF5 closed the file, or the file cannot be written out; the
    // call's writes are then rolled back and the file is closed. Durable: a
    // new file whose directory could not be flushed stays in place (IoError
    // says so). In a process forked while the file was open: FileError, and
    // the parent's call is left alone.
    void close();
    // Ends a failed call: rolls back its writes (a new file disappears) and
    // closes. Idempotent, never throws.
    void abort() noexcept;

    // Names of the root group's members, in ascending byte order.
    std::vector<std::string> members() const;
    // False for names that cannot name a root member ("", ".", "a/b").
    bool contains(const std::string& name) const;
    // Deletes the member (making the file writable); throws NotFound when absent.
    void remove(const std::string& name);

    // Root member `name`, opened at its first use in the call and kept open
    // until it ends (a daily update reads the index's last row, then appends
    // to it). Throws as Dataset::open.
    Dataset& dataset(const std::string& name);

    // Throws ArgumentError when the file is closed. Used by the engine's own
    // operations before they touch the handle.
    const Handle& handle() const;

private:
    void open_unguarded();
    // Opens the HDF5 file through the guard: created, or existing.
    void open_guarded(unsigned flags);
    // Closes the HDF5 file; "" or HDF5's reason why it failed.
    Hdf5Failure close_handle() noexcept;

    std::string path_;
    std::shared_ptr<GuardedFile> guard_;  // none when crash safety is off
    // Closed before the file: HDF5 closes them with it (H5F_CLOSE_STRONG).
    std::map<std::string, std::unique_ptr<Dataset>> datasets_;
    Handle handle_;
    bool writable_ = false;
};

// Measurement only: with false, files opened afterwards are written in place
// through HDF5's own POSIX driver, with no lock, temporary file or journal of
// ours, so that a benchmark can show what crash safety costs. Process-wide.
void set_crash_safety(bool enabled);

// How existing files take their changes. Measurement only (process-wide):
// `automatic` is the engine's way.
enum class WritePath {
    automatic,  // in place when no reader holds the file, else beside it
    in_place,   // always in place: a reader holding the file fails the call
    beside,     // always a new version beside the file, renamed over it
};
void set_write_path(WritePath path);

// A root member name is non-empty, not ".", and has no "/" or NUL in it.
bool is_member_name(const std::string& name);

}  // namespace corvane
