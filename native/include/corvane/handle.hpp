// Owner of one HDF5 identifier (file, dataset, datatype, dataspace, property
// list) together with the function that closes it.
#pragma once

#include <cstdint>

namespace corvane {

class Handle {
public:
    // HDF5's hid_t and herr_t, spelled without hdf5.h (checked in handle.cpp).
    using Id = std::int64_t;
    using CloseFunction = int (*)(Id);

    Handle() noexcept = default;
    // Takes ownership of `id`; an invalid (negative) id gives an empty handle.
    Handle(Id id, CloseFunction closer) noexcept;
    ~Handle();

    Handle(Handle&& other) noexcept;
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    // The identifier, for the engine's own HDF5 calls; the handle keeps it.
    Id get() const noexcept { return id_; }
    explicit operator bool() const noexcept { return id_ >= 0; }

    // Closes now. Returns false when HDF5 reports a failure, leaving HDF5's
    // error stack for the caller to read; the handle is empty either way.
    bool close() noexcept;

private:
    Id id_ = -1;
    CloseFunction close_ = nullptr;
};

// Whether the HDF5 library serialises calls from several threads itself.
// Builds without that (HDF5's default when built from source, and some
// distributions') must be called from one thread at a time: the engine then
// reads on one thread, and the binding keeps the GIL across HDF5 calls.
bool hdf5_is_threadsafe() noexcept;

// File access properties that keep HDF5 from taking a flock() of its own on
// open: the engine's writer lock would take HDF5's shared one for a reader in
// the way. Keep the list until any failure of the open is read: closing it is
// an HDF5 call, which clears the error stack.
Handle unlocked_file_access();

}  // namespace corvane
