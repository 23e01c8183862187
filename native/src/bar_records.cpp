#include "corvane/bar_records.hpp"

#include "corvane/error.hpp"

#include <cstring>

namespace corvane {

namespace {

constexpr std::int64_t kSecondNs = 1000000000;
constexpr std::int64_t kDayNs = 86400 * kSecondNs;


// YYYYMMDD of the day `days` after 1970-01-01 (the proleptic Gregorian calendar).
std::int64_t ymd_of(std::int64_t days) {
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return (year * 100 + month) * 100 + day;
}

const Field& field_of(const RecordLayout& layout, const std::string& name, FieldType type) {
    for (const Field& field : layout.fields()) {
        if (field.name == name) {
            if (field.type != type) {
                throw LayoutError("field '" + name + "' is " + type_code(field.type) + ", not " + type_code(type));
            }
            return field;
        }
    }
    throw LayoutError("the records have no field '" + name + "'");
}

}  // namespace

void fill_bar_records(const RecordLayout& layout, void* bytes, std::size_t rows, const std::int64_t* ns,
                      const std::vector<std::pair<std::string, const double*>>& columns) {
    auto* out = static_cast<unsigned char*>(bytes);
    const std::size_t size = layout.itemsize();
    const std::size_t time_at = field_of(layout, "datetime", FieldType::i64).offset;
    std::int64_t known_day = 0, known_ymd = -1;
    for (std::size_t i = 0; i < rows; ++i) {
        // The day and the time into it, floored as numpy floors a time to its day; no product
        // of the day can overflow.
        std::int64_t day = ns[i] / kDayNs, into = ns[i] % kDayNs;
        if (into < 0) into += kDayNs, day -= 1;
        if (known_ymd < 0 || day != known_day) known_day = day, known_ymd = ymd_of(day);
        const std::int64_t second = into / kSecondNs;
        // hhmmss of s seconds into the day: s + 40 x its minutes + 4000 x its hours.
        const std::int64_t stamp = known_ymd * 1000000 + second + second / 60 * 40 + second / 3600 * 4000;
        std::memcpy(out + i * size + time_at, &stamp, sizeof stamp);
    }
    for (const auto& [name, values] : columns) {
        const std::size_t at = field_of(layout, name, FieldType::f64).offset;
        for (std::size_t i = 0; i < rows; ++i) std::memcpy(out + i * size + at, values + i, sizeof(double));
    }
}

}  // namespace corvane
