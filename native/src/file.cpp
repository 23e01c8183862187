#include "corvane/file.hpp"

#include "corvane/error.hpp"

#include <hdf5.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace corvane {

namespace {

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

}  // namespace

bool is_member_name(const std::string& name) {
    return !name.empty() && name != "." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

File::File(std::string path) : path_(std::move(path)) {
    ErrorPrintingOff quiet;
    if (path_.empty() || path_.find('\0') != std::string::npos) {
        throw FileError("invalid file name '" + path_ + "'");
    }
    Handle fapl = file_access_properties();
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
        // HDF5 would silently turn an empty file into a new HDF5 file; an
        // empty file is not ours to claim.
        if (S_ISREG(st.st_mode) && st.st_size == 0) {
            throw FileError("unable to open file '" + path_ + "' (empty file: file signature not found)");
        }
        handle_ = Handle(H5Fopen(path_.c_str(), H5F_ACC_RDWR, fapl.get()), H5Fclose);
        if (!handle_) throw_with_hdf5_message<FileError>("unable to open file '" + path_ + "'");
    } else if (errno == ENOENT) {
        // Exclusive: a file that appeared meanwhile is never truncated.
        handle_ = Handle(H5Fcreate(path_.c_str(), H5F_ACC_EXCL, H5P_DEFAULT, fapl.get()), H5Fclose);
        if (!handle_) throw_with_hdf5_message<FileError>("unable to create file '" + path_ + "'");
    } else {
        throw FileError("unable to open file '" + path_ + "' (" + std::strerror(errno) + ")");
    }
}

File::~File() { abort(); }

void File::close() {
    if (!handle_) return;
    ErrorPrintingOff quiet;
    if (!handle_.close()) throw_with_hdf5_message<IoError>("unable to close file '" + path_ + "'");
}

void File::abort() noexcept {
    if (!handle_) return;
    ErrorPrintingOff quiet;
    if (!handle_.close()) H5Eclear2(H5E_DEFAULT);
}

const Handle& File::handle() const {
    if (!handle_) throw ArgumentError("file '" + path_ + "' is closed");
    return handle_;
}

std::vector<std::string> File::members() const {
    ErrorPrintingOff quiet;
    const hid_t file = handle().get();
    H5G_info_t info{};
    if (H5Gget_info(file, &info) < 0) {
        throw_with_hdf5_message<IoError>("unable to list the members of '" + path_ + "'");
    }
    std::vector<std::string> names;
    names.reserve(info.nlinks);
    for (hsize_t i = 0; i < info.nlinks; ++i) {
        const ssize_t size =
            H5Lget_name_by_idx(file, ".", H5_INDEX_NAME, H5_ITER_INC, i, nullptr, 0, H5P_DEFAULT);
        if (size < 0) {
            throw_with_hdf5_message<IoError>("unable to list the members of '" + path_ + "'");
        }
        std::string name(static_cast<std::size_t>(size) + 1, '\0');
        if (H5Lget_name_by_idx(file, ".", H5_INDEX_NAME, H5_ITER_INC, i, name.data(), name.size(),
                               H5P_DEFAULT) < 0) {
            throw_with_hdf5_message<IoError>("unable to list the members of '" + path_ + "'");
        }
        name.resize(static_cast<std::size_t>(size));
        names.push_back(std::move(name));
    }
    // HDF5's name index is already in this order; sorting makes it a promise.
    std::sort(names.begin(), names.end());
    return names;
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
    ErrorPrintingOff quiet;
    if (H5Ldelete(handle().get(), name.c_str(), H5P_DEFAULT) < 0) {
        throw_with_hdf5_message<IoError>("unable to remove '" + name + "' from '" + path_ + "'");
    }
}

}  // namespace corvane
