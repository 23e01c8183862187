#include "corvane/datatype.hpp"

#include "corvane/error.hpp"

#include <hdf5.h>

#include <memory>

namespace corvane {

namespace {

hid_t stored_type_of(FieldType type) {
    switch (type) {
        case FieldType::i8: return H5T_STD_I8LE;
        case FieldType::i16: return H5T_STD_I16LE;
        case FieldType::i32: return H5T_STD_I32LE;
        case FieldType::i64: return H5T_STD_I64LE;
        case FieldType::u8: return H5T_STD_U8LE;
        case FieldType::u16: return H5T_STD_U16LE;
        case FieldType::u32: return H5T_STD_U32LE;
        case FieldType::u64: return H5T_STD_U64LE;
        case FieldType::f32: return H5T_IEEE_F32LE;
        case FieldType::f64: return H5T_IEEE_F64LE;
    }
    throw LayoutError("unknown field type");
}

FieldType integer_type(std::size_t size, bool is_signed) {
    switch (size) {
        case 1: return is_signed ? FieldType::i8 : FieldType::u8;
        case 2: return is_signed ? FieldType::i16 : FieldType::u16;
        case 4: return is_signed ? FieldType::i32 : FieldType::u32;
        case 8: return is_signed ? FieldType::i64 : FieldType::u64;
        default: throw LayoutError("unsupported integer size " + std::to_string(size));
    }
}

// The field type of one stored member; throws LayoutError naming it.
FieldType field_type_of_member(hid_t member, const std::string& name) {
    const H5T_class_t cls = H5Tget_class(member);
    const std::size_t size = H5Tget_size(member);
    if (cls == H5T_INTEGER) {
        const H5T_sign_t sign = H5Tget_sign(member);
        if (sign != H5T_SGN_NONE && sign != H5T_SGN_2) {
            throw_with_hdf5_message<LayoutError>("member '" + name + "': unknown sign");
        }
        // Every bit of the member's bytes counts: HDF5 would read a
        // narrower precision into values the writer never stored.
        const bool whole = H5Tget_precision(member) == 8 * size && H5Tget_offset(member) == 0;
        if (whole && (size == 1 || size == 2 || size == 4 || size == 8)) {
            return integer_type(size, sign == H5T_SGN_2);
        }
    } else if (cls == H5T_FLOAT) {
        // Only true IEEE binary32/64 (in either byte order) map onto f32/f64.
        if (H5Tequal(member, H5T_IEEE_F32LE) > 0 || H5Tequal(member, H5T_IEEE_F32BE) > 0) {
            return FieldType::f32;
        }
        if (H5Tequal(member, H5T_IEEE_F64LE) > 0 || H5Tequal(member, H5T_IEEE_F64BE) > 0) {
            return FieldType::f64;
        }
    }
    H5Eclear2(H5E_DEFAULT);
    throw LayoutError("stored member '" + name + "' is not a supported numeric type");
}

}  // namespace

Datatype Datatype::from_layout(const RecordLayout& layout) {
    Handle type(H5Tcreate(H5T_COMPOUND, layout.itemsize()), H5Tclose);
    if (!type) throw_with_hdf5_message<Error>("cannot create a compound type");
    for (const Field& f : layout.fields()) {
        if (H5Tinsert(type.get(), f.name.c_str(), f.offset, stored_type_of(f.type)) < 0) {
            throw_with_hdf5_message<LayoutError>("cannot add field '" + f.name +
                                                 "' to a compound type");
        }
    }
    return Datatype(std::move(type));
}

RecordLayout Datatype::layout() const {
    const hid_t type = handle_.get();
    if (H5Tget_class(type) != H5T_COMPOUND) {
        H5Eclear2(H5E_DEFAULT);
        throw LayoutError("stored type is not a compound (record) type");
    }
    const int count = H5Tget_nmembers(type);
    if (count < 0) throw_with_hdf5_message<Error>("cannot count the members of a compound type");
    std::vector<Field> fields;
    for (int i = 0; i < count; ++i) {
        const unsigned index = static_cast<unsigned>(i);
        std::unique_ptr<char, decltype(&H5free_memory)> raw(H5Tget_member_name(type, index),
                                                             &H5free_memory);
        if (!raw) throw_with_hdf5_message<Error>("cannot read a member name");
        const std::string name(raw.get());
        Handle member(H5Tget_member_type(type, index), H5Tclose);
        if (!member) throw_with_hdf5_message<Error>("cannot read member '" + name + "'");
        fields.push_back(Field{name, field_type_of_member(member.get(), name),
                               H5Tget_member_offset(type, index)});
    }
    return RecordLayout(std::move(fields), H5Tget_size(type));
}

}  // namespace corvane
