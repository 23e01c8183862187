#include "corvane/file.hpp"

#include "corvane/dataset.hpp"
#include "corvane/error.hpp"
#include "corvane/guarded_file.hpp"
#include "guarded_driver.hpp"
#include "root_members.hpp"

#include <hdf5.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace corvane {

namespace {

// Off only while a benchmark measures what crash safety costs.
std::atomic<bool> crash_safety{true};

// Access properties shared by open and create.
Handle file_access_properties() {
    Handle fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    if (!fapl) throw_with_hdf5_message<Error>("cannot create file access properties");
    // Closing the file closes everything opened in it, so that no forgotten
    // dataset identifier keeps the file open after close() or abort().
    if (H5Pset_fclose_degree(fapl.get(), H5F_CLOSE_STRONG) < 0) {
        throw_with_hdf5_message<Error>("cannot set the file close degree");
    }
    return fapl;
}

// The file access properties of guarded opens, made once per thread:
// creating a list costs HDF5 more than the rest of an open's property work.
// Each open sets its own guard as the driver first.
hid_t guarded_access_properties() {
    thread_local const Handle fapl = file_access_properties();
    return fapl.get();
}

// Creation properties of every new bundle file. Free space is remembered
// across closes: each append writes the dataset's last chunk anew, and the
// old copy's space is then reused by later appends instead of staying dead
// (without this, a year of daily appends left a third of a file unreachable).
// Readers need HDF5 1.10 or later for such a file (superblock version 2 with
// a file-space message).
Handle file_creation_properties() {
    Handle fcpl(H5Pcreate(H5P_FILE_CREATE), H5Pclose);
    if (!fcpl || H5Pset_file_space_strategy(fcpl.get(), H5F_FSPACE_STRATEGY_FSM_AGGR,
                                            /*persist=*/1, /*threshold=*/1) < 0) {
        throw_with_hdf5_message<Error>("cannot set file creation properties");
    }
    return fcpl;
}

}  // namespace

bool is_member_name(const std::string& name) {
    return !name.empty() && name != "." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

void set_crash_safety(bool enabled) { crash_safety = enabled; }

File::File(std::string path, bool durable) : path_(std::move(path)) {
    ErrorPrintingOff quiet;
    if (path_.empty() || path_.find('\0') != std::string::npos) {
        throw FileError("invalid file name '" + path_ + "'");
    }
    if (!crash_safety) {
        open_unguarded();
        return;
    }
    guard_ = GuardedFile::open(path_, durable);
    guard_->hold_writes_while_reading();
    // Open for writing from the start: HDF5 cannot turn a read-only file
    // into a writable one, and opening it anew at the first write cost as
    // much as the open itself. The guard writes nothing until then.
    open_guarded(guard_->is_new() ? H5F_ACC_EXCL : H5F_ACC_RDWR);
}

void File::open_guarded(unsigned flags) {
    try {
        const hid_t fapl = guarded_access_properties();
        detail::use_guarded_driver(fapl, *guard_);
        const char* name = guard_->working_path().c_str();
        if (flags == H5F_ACC_EXCL) {
            handle_ = Handle(H5Fcreate(name, H5F_ACC_EXCL, file_creation_properties().get(),
                                       fapl),
                             H5Fclose);
            if (!handle_) throw_with_hdf5_message<FileError>("unable to create file '" + path_ + "'");
        } else {
            handle_ = Handle(H5Fopen(name, flags, fapl), H5Fclose);
            if (!handle_) throw_with_hdf5_message<FileError>("unable to open file '" + path_ + "'");
        }
        writable_ = flags == H5F_ACC_EXCL;
    } catch (...) {
        // Nothing was written to a file HDF5 could not open: a foreign file
        // stays byte for byte, and a new one disappears.
        guard_->roll_back();
        guard_.reset();
        throw;
    }
}

void File::begin_writing() {
    handle();  // a closed file throws
    if (writable_) return;
    ErrorPrintingOff quiet;
    guard_->begin_write();
    writable_ = true;
}

void File::open_unguarded() {
    Handle fapl = file_access_properties();
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode) && st.st_size == 0) {
            throw NotBundleFileError("unable to open file '" + path_ + "' (empty file: file signature not found)");
        }
        handle_ = Handle(H5Fopen(path_.c_str(), H5F_ACC_RDWR, fapl.get()), H5Fclose);
        if (!handle_) throw_with_hdf5_message<FileError>("unable to open file '" + path_ + "'");
        writable_ = true;
    } else if (errno == ENOENT) {
        handle_ = Handle(H5Fcreate(path_.c_str(), H5F_ACC_EXCL, file_creation_properties().get(),
                                   fapl.get()),
                         H5Fclose);
        if (!handle_) throw_with_hdf5_message<FileError>("unable to create file '" + path_ + "'");
        writable_ = true;
    } else {
        throw FileError("unable to open file '" + path_ + "' (" + std::strerror(errno) + ")");
    }
}

File::~File() { abort(); }

File::File(File&&) noexcept = default;
File& File::operator=(File&&) noexcept = default;

std::string File::close_handle() noexcept {
    datasets_.clear();
    if (handle_.close()) return "";
    std::string reason = take_hdf5_error_message();
    if (reason.empty()) reason = "HDF5 could not close the file";
    // HDF5 supports nothing on a file whose close failed (closing it again
    // dereferences what the first close freed): its identifier is left be,
    // and whatever HDF5 might still write is dropped (the call rolls back).
    if (guard_) guard_->drop_writes();
    return reason;
}

void File::close() {
    if (!handle_) return;
    ErrorPrintingOff quiet;
    if (guard_ && !guard_->owned_here()) {
        // A forked child: the call is its parent's to end.
        const std::string why = guard_->not_owned_message();
        abort();
        throw FileError(why);
    }
    // A call whose write failed can only roll back: what HDF5 writes out
    // while closing would be undone anyway.
    if (guard_ && !guard_->failure().empty()) guard_->drop_writes();
    std::string problem = close_handle();
    if (!guard_) {
        if (!problem.empty()) throw IoError("unable to close file '" + path_ + "' (" + problem + ")");
        return;
    }
    // A failed write that HDF5 itself did not report (a dataset closing
    // quietly, a write failing while the file closed) still fails the call.
    if (problem.empty()) problem = guard_->failure();
    if (problem.empty()) {
        try {
            guard_->commit();
            guard_.reset();
            return;
        } catch (const Error& e) {
            if (guard_->committed()) {
                guard_.reset();
                throw IoError("unable to make file '" + path_ + "' durable (" + e.what() +
                              "); it is in place with this call's changes, but a power loss may "
                              "undo them");
            }
            problem = e.what();
        }
    }
    const bool busy = guard_->failure_is_busy();
    const bool undone = guard_->roll_back();
    guard_.reset();
    const std::string what = "unable to write file '" + path_ + "' (" + problem + "); " +
                             (undone ? "this call's changes were undone"
                                     : "the next open of the file undoes this call's changes");
    // Another process holding the file: a later try may succeed.
    if (busy && undone) throw BusyError(what);
    throw IoError(what);
}

void File::abort() noexcept {
    if (!handle_) return;
    ErrorPrintingOff quiet;
    // What HDF5 writes out while closing would only be undone.
    if (guard_) guard_->drop_writes();
    close_handle();
    H5Eclear2(H5E_DEFAULT);
    if (guard_) {
        guard_->roll_back();
        guard_.reset();
    }
}

const Handle& File::handle() const {
    if (!handle_) throw ArgumentError("file '" + path_ + "' is closed");
    return handle_;
}

std::vector<std::string> File::members() const {
    ErrorPrintingOff quiet;
    return detail::root_member_names(handle().get(), path_);
}

bool File::contains(const std::string& name) const {
    ErrorPrintingOff quiet;
    const hid_t file = handle().get();
    if (!is_member_name(name)) return false;
    const htri_t exists = H5Lexists(file, name.c_str(), H5P_DEFAULT);
    if (exists < 0) {
        throw_with_hdf5_message<IoError>("unable to look up '" + name + "' in '" + path_ + "'");
    }
    return exists > 0;
}

void File::remove(const std::string& name) {
    if (!contains(name)) throw NotFound("no member '" + name + "' in '" + path_ + "'");
    begin_writing();
    datasets_.erase(name);
    ErrorPrintingOff quiet;
    if (H5Ldelete(handle().get(), name.c_str(), H5P_DEFAULT) < 0) {
        throw_with_hdf5_message<IoError>("unable to remove '" + name + "' from '" + path_ + "'");
    }
}

Dataset& File::dataset(const std::string& name) {
    auto it = datasets_.find(name);
    if (it == datasets_.end()) {
        it = datasets_.emplace(name, std::make_unique<Dataset>(Dataset::open(*this, name))).first;
    }
    return *it->second;
}

}  // namespace corvane
