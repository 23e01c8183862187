// HDF5 compound datatypes made from record layouts, and record layouts read
// back from stored datatypes.
#pragma once

#include "corvane/handle.hpp"
#include "corvane/layout.hpp"

namespace corvane {

class Datatype {
public:
    // A compound type with one little-endian member per field, at the field's
    // offset, of size layout.itemsize(). Serves as file and as memory type.
    static Datatype from_layout(const RecordLayout& layout);

    // The layout of a stored compound type. Integer members of 1 to 8 bytes
    // and IEEE float32/float64 members are accepted in either byte order (HDF5
    // converts on reading and writing); anything else throws LayoutError
    // naming the member.
    RecordLayout layout() const;

    const Handle& handle() const { return handle_; }

    // Takes ownership of a datatype identifier, e.g. one from H5Dget_type.
    explicit Datatype(Handle handle) : handle_(std::move(handle)) {}

private:
    Handle handle_;
};

}  // namespace corvane
