// Record layouts: fixed-size records of little-endian numeric fields at
// explicit offsets, the in-memory and on-disk shape of every dataset.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace corvane {

// Every field is little-endian, in memory and on disk.
enum class FieldType { i8, i16, i32, i64, u8, u16, u32, u64, f32, f64 };

std::size_t size_of(FieldType type);
bool is_signed_integer(FieldType type);
bool is_float(FieldType type);
// numpy's type code, e.g. "<i8", "|u1".
std::string type_code(FieldType type);
// The inverse of type_code ("<" and "|" accepted for any size). Throws
// LayoutError for anything else, big-endian codes included.
FieldType field_type_from_code(const std::string& code);

struct Field {
    std::string name;
    FieldType type;
    std::size_t offset;

    bool operator==(const Field& other) const;
    bool operator!=(const Field& other) const { return !(*this == other); }
};

class RecordLayout {
public:
    // Throws LayoutError, naming the field, when the layout is unusable: no
    // fields, an empty or repeated name, a field past the end of the record,
    // or two fields sharing bytes. Gaps and trailing padding are allowed.
    RecordLayout(std::vector<Field> fields, std::size_t itemsize);

    const std::vector<Field>& fields() const { return fields_; }
    std::size_t itemsize() const { return itemsize_; }
    // The field called `name`; throws NotFound.
    const Field& field(const std::string& name) const;

    // Same names in the same order, same types, offsets and itemsize.
    bool operator==(const RecordLayout& other) const;
    bool operator!=(const RecordLayout& other) const { return !(*this == other); }

    // Readable form for messages: "{datetime <i8 @0, ...; itemsize 56}".
    std::string describe() const;

private:
    std::vector<Field> fields_;
    std::size_t itemsize_;
};

// One minute bar of an equity-like instrument: 7 fields, 56 bytes.
const RecordLayout& equities_layout();
// One minute bar of a future or option: open_interest (<i8) after close, 64 bytes.
const RecordLayout& derivatives_layout();
// One entry of a minute-bar file's per-date index: date <i4, line_no <u4, 8 bytes.
const RecordLayout& index_layout();

}  // namespace corvane
