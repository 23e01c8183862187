#include "corvane/layout.hpp"

#include "corvane/error.hpp"

#include <utility>

namespace corvane {

std::size_t size_of(FieldType type) {
    switch (type) {
        case FieldType::i8: case FieldType::u8: return 1;
        case FieldType::i16: case FieldType::u16: return 2;
        case FieldType::i32: case FieldType::u32: case FieldType::f32: return 4;
        case FieldType::i64: case FieldType::u64: case FieldType::f64: return 8;
    }
    throw LayoutError("unknown field type");
}

bool is_signed_integer(FieldType type) {
    return type == FieldType::i8 || type == FieldType::i16 || type == FieldType::i32 ||
           type == FieldType::i64;
}

bool is_float(FieldType type) { return type == FieldType::f32 || type == FieldType::f64; }

std::string type_code(FieldType type) {
    const char kind = is_float(type) ? 'f' : is_signed_integer(type) ? 'i' : 'u';
    const std::size_t size = size_of(type);
    // numpy writes single-byte types without a byte order.
    return std::string(size == 1 ? "|" : "<") + kind + std::to_string(size);
}

FieldType field_type_from_code(const std::string& code) {
    static const FieldType all[] = {FieldType::i8,  FieldType::i16, FieldType::i32, FieldType::i64,
                                    FieldType::u8,  FieldType::u16, FieldType::u32, FieldType::u64,
                                    FieldType::f32, FieldType::f64};
    if (code.size() >= 3 && (code[0] == '<' || code[0] == '|')) {
        for (FieldType t : all) {
            if (type_code(t).substr(1) == code.substr(1)) return t;
        }
    }
    throw LayoutError("unsupported type code '" + code +
                      "' (little-endian signed or unsigned integers of 1 to 8 bytes, float32 "
                      "or float64)");
}

bool Field::operator==(const Field& other) const {
    return name == other.name && type == other.type && offset == other.offset;
}

RecordLayout::RecordLayout(std::vector<Field> fields, std::size_t itemsize)
    : fields_(std::move(fields)), itemsize_(itemsize) {
    if (fields_.empty()) throw LayoutError("a record layout needs at least one field");
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        const Field& f = fields_[i];
        if (f.name.empty()) throw LayoutError("field " + std::to_string(i) + " has no name");
        if (f.name.find('\0') != std::string::npos) {
            throw LayoutError("field name contains a NUL character");
        }
        if (f.offset > itemsize_ || size_of(f.type) > itemsize_ - f.offset) {
            throw LayoutError("field '" + f.name + "' ends past the record's " +
                              std::to_string(itemsize_) + " bytes");
        }
        for (std::size_t j = 0; j < i; ++j) {
            const Field& g = fields_[j];
            if (g.name == f.name) throw LayoutError("field '" + f.name + "' appears twice");
            const bool apart = f.offset + size_of(f.type) <= g.offset ||
                               g.offset + size_of(g.type) <= f.offset;
            if (!apart) {
                throw LayoutError("field '" + f.name + "' overlaps field '" + g.name + "'");
            }
        }
    }
}

const Field& RecordLayout::field(const std::string& name) const {
    for (const Field& f : fields_) {
        if (f.name == name) return f;
    }
    throw NotFound("no field '" + name + "' in " + describe());
}

bool RecordLayout::operator==(const RecordLayout& other) const {
    return itemsize_ == other.itemsize_ && fields_ == other.fields_;
}

std::string RecordLayout::describe() const {
    std::string text = "{";
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (i) text += ", ";
        text += fields_[i].name + " " + type_code(fields_[i].type) + " @" +
                std::to_string(fields_[i].offset);
    }
    return text + "; itemsize " + std::to_string(itemsize_) + "}";
}

namespace {

// Packed fields in the order given.
RecordLayout packed(const std::vector<std::pair<const char*, FieldType>>& spec) {
    std::vector<Field> fields;
    std::size_t offset = 0;
    for (const auto& [name, type] : spec) {
        fields.push_back(Field{name, type, offset});
        offset += size_of(type);
    }
    return RecordLayout(std::move(fields), offset);
}

}  // namespace

const RecordLayout& equities_layout() {
    static const RecordLayout layout = packed({{"datetime", FieldType::i64},
                                               {"open", FieldType::f64},
                                               {"high", FieldType::f64},
                                               {"low", FieldType::f64},
                                               {"close", FieldType::f64},
                                               {"volume", FieldType::f64},
                                               {"total_turnover", FieldType::f64}});
    return layout;
}

const RecordLayout& derivatives_layout() {
    static const RecordLayout layout = packed({{"datetime", FieldType::i64},
                                               {"open", FieldType::f64},
                                               {"high", FieldType::f64},
                                               {"low", FieldType::f64},
                                               {"close", FieldType::f64},
                                               {"open_interest", FieldType::i64},
                                               {"volume", FieldType::f64},
                                               {"total_turnover", FieldType::f64}});
    return layout;
}

const RecordLayout& index_layout() {
    static const RecordLayout layout =
        packed({{"date", FieldType::i32}, {"line_no", FieldType::u32}});
    return layout;
}

}  // namespace corvane
