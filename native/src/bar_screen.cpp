#include "corvane/bar_screen.hpp"

#include "corvane/error.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

namespace {

// The field `name` of the layout, when there is one.
const Field* find(const RecordLayout& layout, const std::string& name) {
    for (const Field& field : layout.fields()) {
        if (field.name == name) return &field;
    }
    return nullptr;
}

template <typename T>
T load(const unsigned char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A field's value as float64, as numpy's astype(np.float64) gives it.
double as_double(const unsigned char* row, const Field& field) {
    const unsigned char* at = row + field.offset;
    switch (field.type) {
        case FieldType::i8: return static_cast<double>(load<std::int8_t>(at));
        case FieldType::i16: return static_cast<double>(load<std::int16_t>(at));
        case FieldType::i32: return static_cast<double>(load<std::int32_t>(at));
        case FieldType::i64: return static_cast<double>(load<std::int64_t>(at));
        case FieldType::u8: return static_cast<double>(load<std::uint8_t>(at));
        case FieldType::u16: return static_cast<double>(load<std::uint16_t>(at));
        case FieldType::u32: return static_cast<double>(load<std::uint32_t>(at));
        case FieldType::u64: return static_cast<double>(load<std::uint64_t>(at));
        case FieldType::f32: return static_cast<double>(load<float>(at));
        case FieldType::f64: return load<double>(at);
    }
    return std::numeric_limits<double>::quiet_NaN();
}

// Whether a volume or turnover cell is 0 or more (NaN is not), compared in its own type.
bool not_negative(const unsigned char* row, const Field& field) {
    if (is_float(field.type)) return as_double(row, field) >= 0;
    if (!is_signed_integer(field.type)) return true;
    const unsigned char* at = row + field.offset;
    switch (field.type) {
        case FieldType::i8: return load<std::int8_t>(at) >= 0;
        case FieldType::i16: return load<std::int16_t>(at) >= 0;
        case FieldType::i32: return load<std::int32_t>(at) >= 0;
        default: return load<std::int64_t>(at) >= 0;
    }
}

bool priced(double value) { return std::isfinite(value) && value > 0; }

// numpy's median of `values` (some, none NaN), as the checks take it: the middle one of them
// sorted, or the mean of the two middle ones.
double median(std::vector<double>& values) {
    const std::size_t half = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + half, values.end());
    const double upper = values[half];
    if (values.size() % 2) return upper;
    return (*std::max_element(values.begin(), values.begin() + half) + upper) / 2.0;
}

// The jump check's bar of one day of `closes` (two or more, all usable), computed as it computes
// it: deviations x the largest of mad_to_sigma x the median absolute move, floor x the median
// close and the smallest move that is not 0.
double jump_bar(const std::vector<double>& closes, const DayBounds& day) {
    std::vector<double> moves(closes.size() - 1);
    double smallest = std::numeric_limits<double>::infinity();
    for (std::size_t i = 1; i < closes.size(); ++i) {
        moves[i - 1] = std::fabs(closes[i] - closes[i - 1]);
        if (moves[i - 1] != 0) smallest = std::fmin(smallest, moves[i - 1]);
    }
    std::vector<double> ordered = closes;
    std::sort(ordered.begin(), ordered.end());
    const double middle = (ordered[(ordered.size() - 1) / 2] + ordered[ordered.size() / 2]) / 2.0;
    double scale = std::fmax(day.mad_to_sigma * median(moves), day.jump_floor * middle);
    scale = std::fmax(scale, std::isfinite(smallest) ? smallest : 0.0);
    return day.jump_deviations * scale;
}

// Python's floor division by a positive divisor.
std::int64_t floor_div(std::int64_t value, std::int64_t by) {
    const std::int64_t quotient = value / by;
    return (value % by != 0 && value < 0) ? quotient - 1 : quotient;
}

struct Fields {
    const Field *open, *high, *low, *close, *time, *volume, *turnover;
};

std::optional<Fields> fields_of(const RecordLayout& layout) {
    Fields f{find(layout, "open"), find(layout, "high"), find(layout, "low"), find(layout, "close"),
             find(layout, "datetime"), find(layout, "volume"), find(layout, "total_turnover")};
    if (!f.open || !f.high || !f.low || !f.close || !f.time || f.time->type != FieldType::i64) {
        return std::nullopt;
    }
    return f;
}

}  // namespace

bool day_passes_checks(const RecordsView& bars, const DayBounds& day) {
    const std::optional<Fields> f = fields_of(bars.layout);
    if (!f || bars.rows == 0) return false;
    const auto* rows = static_cast<const unsigned char*>(bars.bytes);
    double widest_move = 0;
    double close_before = 0;
    std::int64_t time_before = 0;
    std::vector<double> closes;
    closes.reserve(bars.rows);
    for (std::size_t i = 0; i < bars.rows; ++i) {
        const unsigned char* row = rows + i * bars.layout.itemsize();
        const double o = as_double(row, *f->open), h = as_double(row, *f->high);
        const double lo = as_double(row, *f->low), c = as_double(row, *f->close);
        if (!(priced(o) && priced(h) && priced(lo) && priced(c))) return false;
        if (!(lo <= o && o <= h && lo <= c && c <= h && lo <= h)) return false;
        if ((f->volume && !not_negative(row, *f->volume)) || (f->turnover && !not_negative(row, *f->turnover))) {
            return false;
        }
        const std::int64_t time = load<std::int64_t>(row + f->time->offset);
        const std::int64_t calendar = floor_div(time, 1000000);
        if ((i > 0 && !(time > time_before)) || calendar > day.date || calendar < day.earliest) return false;
        if (i > 0) widest_move = std::fmax(widest_move, std::fabs(c - close_before));
        closes.push_back(c);
        close_before = c;
        time_before = time;
    }
    // A move past the bar may still be no spike (one that stays): the checks say so.
    return bars.rows < 2 || widest_move <= jump_bar(closes, day);
}

}  // namespace corvane
