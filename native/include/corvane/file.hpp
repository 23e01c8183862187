// An HDF5 file of the bundle, open for reading and writing.
#pragma once

#include "corvane/handle.hpp"

#include <string>
#include <vector>

namespace corvane {

class File {
public:
    // Opens `path` for reading and writing, or creates it when it does not
    // exist (never truncating: creation is exclusive). Throws FileError naming
    // the file when it is not an HDF5 file, its directory is missing or access
    // is denied; a file that is not HDF5 is left untouched. Nothing stays open
    // when the constructor throws.
    explicit File(std::string path);
    // Closes quietly, like abort().
    ~File();

    File(File&&) noexcept = default;
    File& operator=(File&&) noexcept = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    const std::string& path() const { return path_; }
    bool is_open() const { return static_cast<bool>(handle_); }

    // Ends a successful call: writes everything out and closes. Idempotent.
    // Throws IoError when HDF5 fails to write the file out; the file is
    // closed all the same.
    void close();
    // Ends a failed call. Idempotent, never throws. Today it closes like
    // close(); a journalled file will roll back the call's writes here.
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
    std::string path_;
    Handle handle_;
};

// A root member name is non-empty, not ".", and has no "/" or NUL in it.
bool is_member_name(const std::string& name);

}  // namespace corvane
