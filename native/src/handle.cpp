#include "corvane/handle.hpp"

#include "corvane/error.hpp"
#include "closing_scope.hpp"

#include <hdf5.h>

#include <type_traits>
#include <utility>

namespace corvane {

thread_local int detail::ClosingScope::depth_ = 0;

static_assert(std::is_same<Handle::Id, hid_t>::value, "Handle::Id must be hid_t");
static_assert(std::is_same<int, herr_t>::value, "CloseFunction must return herr_t");

bool hdf5_is_threadsafe() noexcept {
    static const bool threadsafe = [] {
        hbool_t answer = false;
        return H5is_library_threadsafe(&answer) >= 0 && answer;
    }();
    return threadsafe;
}

Handle::Handle(Id id, CloseFunction closer) noexcept
    : id_(id < 0 ? -1 : id), close_(id < 0 ? nullptr : closer) {}

Handle::~Handle() {
    if (!close()) H5Eclear2(H5E_DEFAULT);
}

Handle::Handle(Handle&& other) noexcept
    : id_(std::exchange(other.id_, -1)), close_(std::exchange(other.close_, nullptr)) {}

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        if (!close()) H5Eclear2(H5E_DEFAULT);
        id_ = std::exchange(other.id_, -1);
        close_ = std::exchange(other.close_, nullptr);
    }
    return *this;
}

bool Handle::close() noexcept {
    const Id id = std::exchange(id_, -1);
    const CloseFunction closer = std::exchange(close_, nullptr);
    if (id < 0 || closer == nullptr) return true;
    // Destructors close outside any operation's own guard.
    ErrorPrintingOff quiet;
    // A file closed with the strong close degree has already closed the
    // objects inside it; their identifiers are then no longer valid.
    if (H5Iis_valid(id) <= 0) return true;
    detail::ClosingScope closing;
    return closer(id) >= 0;
}

Handle unlocked_file_access() {
    Handle fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    if (!fapl || H5Pset_file_locking(fapl.get(), false, true) < 0) {
        throw_with_hdf5_message<Error>("cannot set read-only file access properties");
    }
    return fapl;
}

}  // namespace corvane
