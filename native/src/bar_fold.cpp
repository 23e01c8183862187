#include "corvane/bar_fold.hpp"

#include "corvane/error.hpp"
#include "corvane/reader.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

namespace corvane {

namespace {

constexpr std::int64_t kMinuteNs = 60LL * 1000000000;
constexpr std::int64_t kDayNs = 24 * 60 * kMinuteNs;
// Rows gathered a field at a time: some 14 KB of bar records, well within a core's first cache.
constexpr std::size_t kCachedRows = 256;

// What every chunk is folded by.
struct Plan {
    std::size_t first, itemsize, time_offset;
    std::vector<std::size_t> day_ends;  // rows from `first` to the end of each date
    const std::vector<FoldField>& fields;
    std::int64_t step;  // of a bucket in ns; 0: a bar per date
    const Dataset& dataset;
};

std::uint64_t bits_at(const unsigned char* at) {
    std::uint64_t bits;
    std::memcpy(&bits, at, 8);
    return bits;
}

template <class T>
T value_of(std::uint64_t bits) {
    T value;
    std::memcpy(&value, &bits, 8);
    return value;
}

template <class T>
std::uint64_t bits_of(T value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, 8);
    return bits;
}

// Integers wrap as numpy's do, never undefined.
template <class T>
T add(T a, T b) {
    if constexpr (std::is_floating_point_v<T>) {
        return a + b;
    } else {
        return static_cast<T>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
    }
}

// `acc` taking in `next`, the gathering of later bars; a NaN met by max or min stays.
template <class T>
std::uint64_t combine(Gather how, std::uint64_t acc, std::uint64_t next) {
    const T a = value_of<T>(acc), b = value_of<T>(next);
    switch (how) {
    case Gather::first: return acc;
    case Gather::last: return next;
    case Gather::sum: return bits_of(add(a, b));
    case Gather::max: return b > a || b != b ? next : acc;
    case Gather::min: return b < a || b != b ? next : acc;
    }
    return acc;
}

// `rows` (at least 1) values of `T` from `in` on, `itemsize` bytes apart, reduced
// by `op`: in four lanes when there are many, none waiting for another.
template <class T, class Op>
T reduce(const unsigned char* in, std::size_t rows, std::size_t itemsize, Op op) {
    const auto at = [&](std::size_t r) { return value_of<T>(bits_at(in + r * itemsize)); };
    T acc = at(0);
    std::size_t r = 1;
    if (rows >= 8) {
        // Four named lanes: the compiler keeps them in registers.
        T a = acc, b = at(1), c = at(2), d = at(3);
        for (r = 4; r + 4 <= rows; r += 4) {
            a = op(a, at(r));
            b = op(b, at(r + 1));
            c = op(c, at(r + 2));
            d = op(d, at(r + 3));
        }
        acc = op(op(a, b), op(c, d));
    }
    for (; r < rows; ++r) acc = op(acc, at(r));
    return acc;
}

// The max (`Max`) or min of `rows` (at least 1) doubles as `reduce` finds it,
// when none is a NaN: then each lane keeps its extreme without a branch, which
// rising and falling prices would mislead. False when one is a NaN (or when
// infinities of both signs meet in the sum that looks for one).
template <bool Max>
bool extreme_of_numbers(const unsigned char* in, std::size_t rows, std::size_t itemsize, double& out) {
    const auto at = [&](std::size_t r) { return value_of<double>(bits_at(in + r * itemsize)); };
    // Without NaNs, `b > a ? b : a` is the machine's max (and min) instruction.
    const auto keep = [](double a, double b) { return Max ? (b > a ? b : a) : (b < a ? b : a); };
    double acc = at(0);
    double probe = acc;  // a NaN among the values makes it NaN
    std::size_t r = 1;
    if (rows >= 8) {
        double a = acc, b = at(1), c = at(2), d = at(3);
        probe += (b + c) + d;
        for (r = 4; r + 4 <= rows; r += 4) {
            const double e = at(r), f = at(r + 1), g = at(r + 2), h = at(r + 3);
            probe += (e + f) + (g + h);
            a = keep(a, e);
            b = keep(b, f);
            c = keep(c, g);
            d = keep(d, h);
        }
        acc = keep(keep(a, b), keep(c, d));
    }
    for (; r < rows; ++r) {
        const double e = at(r);
        probe += e;
        acc = keep(acc, e);
    }
    out = acc;
    return probe == probe;
}

// The max (`Max`) or min of `rows` values of `T`; a NaN met stays. A NaN is
// rare: the lanes that keep one are taken only when there is.
template <bool Max, class T>
std::uint64_t extreme(const unsigned char* in, std::size_t rows, std::size_t itemsize) {
    if constexpr (std::is_floating_point_v<T>) {
        double found;
        if (extreme_of_numbers<Max>(in, rows, itemsize, found)) return bits_of(found);
    }
    // `|`, not `||`: a choice without a branch, which rising and falling prices would mislead.
    return bits_of(reduce<T>(in, rows, itemsize, [](T a, T b) { return (Max ? b > a : b < a) | (b != b) ? b : a; }));
}

// One field of each of `count` parts of `chunk` gathered into `out`, `width`
// apart: the way is chosen once for them, not for every part of a few rows.
template <class T>
void fold_column(const Plan& plan, const ChunkRows& chunk, const BarPart* parts, std::size_t count,
                 const FoldField& field, std::uint64_t* out, std::size_t width) {
    const std::size_t itemsize = plan.itemsize;
    const auto each = [&](auto fold) {
        for (const BarPart* part = parts; part != parts + count; ++part) {
            *out = fold(chunk.raw + (part->from - chunk.chunk_first) * itemsize + field.offset, part->to - part->from);
            out += width;
        }
    };
    switch (field.how) {
    case Gather::first: return each([](const unsigned char* in, std::size_t) { return bits_at(in); });
    case Gather::last:
        return each([&](const unsigned char* in, std::size_t rows) { return bits_at(in + (rows - 1) * itemsize); });
    case Gather::sum:
        return each([&](const unsigned char* in, std::size_t rows) {
            return bits_of(reduce<T>(in, rows, itemsize, [](T a, T b) { return add(a, b); }));
        });
    case Gather::max:
        return each([&](const unsigned char* in, std::size_t rows) { return extreme<true, T>(in, rows, itemsize); });
    case Gather::min:
        return each([&](const unsigned char* in, std::size_t rows) { return extreme<false, T>(in, rows, itemsize); });
    }
}

std::uint64_t combine_field(const FoldField& field, std::uint64_t acc, std::uint64_t next) {
    return field.type == FieldType::f64 ? combine<double>(field.how, acc, next)
                                        : combine<std::int64_t>(field.how, acc, next);
}

std::int64_t bucket_end(std::int64_t ns, std::int64_t step) {
    const std::int64_t quotient = ns / step;  // toward zero: already up for a negative
    return (quotient * step < ns ? quotient + 1 : quotient) * step;
}

// Splits rows [row, stop) of date `day` of `chunk` into parts by session and bucket.
void split_day(const Plan& plan, const ChunkRows& chunk, std::size_t row, std::size_t stop, std::int64_t day,
               std::vector<BarPart>& parts) {
    const unsigned char* at = chunk.raw + (row - chunk.chunk_first) * plan.itemsize + plan.time_offset;
    BarTimeDecoder decode;
    BarPart part{};
    std::int64_t before = 0;
    for (std::size_t r = row; r < stop; ++r, at += plan.itemsize) {
        const std::int64_t value = static_cast<std::int64_t>(bits_at(at));
        // Most bars come a minute after the one before, in the same hour: no need to decode those.
        const std::int64_t ns = r != row && value - before == 100 && value / 100 % 100 < 60
                                    ? part.last_ns + kMinuteNs
                                    : decode(value);
        before = value;
        if (ns == INT64_MIN) {
            throw DamagedFileError("row " + std::to_string(r) + " of " + plan.dataset.where() +
                                   " holds no bar time");
        }
        // A bar past its predecessor's bucket or gap starts another; the bucket's
        // end is worked out only then.
        if (r == row || ns - part.last_ns > kSessionGapNs || ns > part.end || ns <= part.end - plan.step) {
            if (r != row) parts.push_back(part);
            part = BarPart{bucket_end(ns, plan.step), day, ns, ns, r, r};
        }
        part.last_ns = ns;
        part.to = r + 1;
    }
    parts.push_back(part);
}

// The parts of one chunk and their gathered fields, a row of `values` each.
void fold_chunk(const Plan& plan, const ChunkRows& chunk, std::vector<BarPart>& parts,
                std::vector<std::uint64_t>& values) {
    std::size_t row = chunk.from;
    parts.reserve(plan.step ? (chunk.to - chunk.from) / static_cast<std::size_t>(plan.step / kMinuteNs) + 16 : 16);
    auto day = std::upper_bound(plan.day_ends.begin(), plan.day_ends.end(), row - plan.first);
    for (; row < chunk.to; ++day) {
        const std::size_t stop = std::min(chunk.to, plan.first + *day);
        if (stop <= row) continue;  // a date without rows
        const std::int64_t position = day - plan.day_ends.begin();
        if (plan.step == 0) {
            parts.push_back(BarPart{0, position, 0, 0, row, stop});
        } else {
            split_day(plan, chunk, row, stop, position, parts);
        }
        row = stop;
    }
    const std::size_t width = plan.fields.size();
    values.resize(parts.size() * width);
    // A block of parts at a time, every field of it while its rows are in the cache.
    for (std::size_t begin = 0, end; begin < parts.size(); begin = end) {
        for (end = begin + 1; end < parts.size() && parts[end].to - parts[begin].from <= kCachedRows;) ++end;
        for (std::size_t f = 0; f < width; ++f) {
            const FoldField& field = plan.fields[f];
            std::uint64_t* out = values.data() + begin * width + f;
            if (field.type == FieldType::f64) {
                fold_column<double>(plan, chunk, &parts[begin], end - begin, field, out, width);
            } else {
                fold_column<std::int64_t>(plan, chunk, &parts[begin], end - begin, field, out, width);
            }
        }
    }
}

void check_request(const Dataset& dataset, std::size_t time_offset, const std::vector<FoldField>& fields,
                   unsigned minutes) {
    const std::size_t itemsize = dataset.layout().itemsize();
    for (const FoldField& field : fields) {
        if ((field.type != FieldType::f64 && field.type != FieldType::i64) || field.offset > itemsize ||
            itemsize - field.offset < 8) {
            throw ArgumentError("a field at offset " + std::to_string(field.offset) + " of the " +
                                std::to_string(itemsize) + "-byte records of " + dataset.where() +
                                " is no 8-byte i64 or f64 within them");
        }
    }
    if (minutes != 0 && (minutes > kDayNs / kMinuteNs || kDayNs % (minutes * kMinuteNs) != 0 ||
                         time_offset > itemsize || itemsize - time_offset < 8)) {
        throw ArgumentError("bars of " + std::to_string(minutes) + " minutes, their time at offset " +
                            std::to_string(time_offset) + ", cannot be gathered from " + dataset.where());
    }
}

}  // namespace

bool FoldedBars::continues(const BarPart& before, const BarPart& part) const {
    return before.day == part.day &&
           (step_ == 0 || (before.end == part.end && part.first_ns - before.last_ns <= kSessionGapNs));
}

void FoldedBars::join_into(std::int64_t* ends, std::int64_t* days, const std::vector<std::uint64_t*>& columns) const {
    const std::size_t width = fields_.size();
    const BarPart* before = nullptr;
    std::size_t bar = 0;
    for (std::size_t k = 0; k < parts_.size(); ++k) {
        const std::uint64_t* gathered = values_[k].data();
        for (const BarPart& part : parts_[k]) {
            // Only a chunk's first part can continue a bar, one its predecessor cut.
            if (before != nullptr && continues(*before, part)) {
                for (std::size_t f = 0; f < width; ++f) {
                    columns[f][bar - 1] = combine_field(fields_[f], columns[f][bar - 1], gathered[f]);
                }
            } else {
                if (ends != nullptr) ends[bar] = part.end;
                days[bar] = part.day;
                for (std::size_t f = 0; f < width; ++f) columns[f][bar] = gathered[f];
                ++bar;
            }
            before = &part;
            gathered += width;
        }
    }
}

FoldedBars fold_bars(const Dataset& dataset, std::size_t first, const std::vector<std::size_t>& day_rows,
                     std::size_t time_offset, const std::vector<FoldField>& fields, unsigned minutes,
                     unsigned threads) {
    check_request(dataset, time_offset, fields, minutes);
    Plan plan{first, dataset.layout().itemsize(), time_offset, {}, fields, minutes * kMinuteNs, dataset};
    plan.day_ends.reserve(day_rows.size());
    std::size_t count = 0;
    for (std::size_t rows : day_rows) plan.day_ends.push_back(count += rows);
    // A slot for each chunk the rows touch: each is filled by one thread.
    const std::size_t chunk_rows = dataset.chunk_storage().rows ? dataset.chunk_storage().rows : dataset.length();
    const std::size_t chunks = count == 0 ? 0 : (first + count - 1) / chunk_rows - first / chunk_rows + 1;
    FoldedBars folded;
    folded.fields_ = fields;
    folded.step_ = plan.step;
    folded.parts_.resize(chunks);
    folded.values_.resize(chunks);
    for_each_chunk(dataset, first, count, threads, [&](const ChunkRows& chunk) {
        fold_chunk(plan, chunk, folded.parts_[chunk.index], folded.values_[chunk.index]);
    });
    // Counted as join_into joins them.
    const BarPart* before = nullptr;
    for (const auto& chunk_parts : folded.parts_) {
        for (const BarPart& part : chunk_parts) {
            if (before == nullptr || !folded.continues(*before, part)) ++folded.size_;
            before = &part;
        }
    }
    return folded;
}

}  // namespace corvane
