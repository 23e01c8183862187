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

// The rows of one chunk that belong to one longer bar.
struct Part {
    std::int64_t end, day, first_ns, last_ns;
    std::size_t from, to;  // rows of the dataset
};

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

// One field of `rows` records from `in` on, gathered.
template <class T>
std::uint64_t fold_rows(const unsigned char* in, std::size_t rows, std::size_t itemsize, Gather how) {
    if (how == Gather::first) return bits_at(in);
    if (how == Gather::last) return bits_at(in + (rows - 1) * itemsize);
    T acc = value_of<T>(bits_at(in));
    // A loop for each way keeps the test out of the loop.
    if (how == Gather::sum) {
        for (std::size_t r = 1; r < rows; ++r) acc = add(acc, value_of<T>(bits_at(in += itemsize)));
    } else if (how == Gather::max) {
        for (std::size_t r = 1; r < rows; ++r) {
            const T v = value_of<T>(bits_at(in += itemsize));
            if (v > acc || v != v) acc = v;
        }
    } else {
        for (std::size_t r = 1; r < rows; ++r) {
            const T v = value_of<T>(bits_at(in += itemsize));
            if (v < acc || v != v) acc = v;
        }
    }
    return bits_of(acc);
}

std::uint64_t fold_field(const FoldField& field, const unsigned char* in, std::size_t rows, std::size_t itemsize) {
    return field.type == FieldType::f64 ? fold_rows<double>(in + field.offset, rows, itemsize, field.how)
                                        : fold_rows<std::int64_t>(in + field.offset, rows, itemsize, field.how);
}

std::uint64_t combine_field(const FoldField& field, std::uint64_t acc, std::uint64_t next) {
    return field.type == FieldType::f64 ? combine<double>(field.how, acc, next)
                                        : combine<std::int64_t>(field.how, acc, next);
}

std::int64_t bucket_end(std::int64_t ns, std::int64_t step) {
    const std::int64_t quotient = ns / step;  // toward zero: already up for a negative
    return (quotient * step < ns ? quotient + 1 : quotient) * step;
}

// Splits rows [row, stop) of date `day` of `chunk` into Parts by session and bucket.
void split_day(const Plan& plan, const ChunkRows& chunk, std::size_t row, std::size_t stop, std::int64_t day,
               std::vector<Part>& parts) {
    const unsigned char* at = chunk.raw + (row - chunk.chunk_first) * plan.itemsize + plan.time_offset;
    BarTimeDecoder decode;
    Part part{};
    for (std::size_t r = row; r < stop; ++r, at += plan.itemsize) {
        const std::int64_t ns = decode(static_cast<std::int64_t>(bits_at(at)));
        if (ns == INT64_MIN) {
            throw DamagedFileError("row " + std::to_string(r) + " of " + plan.dataset.where() +
                                   " holds no bar time");
        }
        // A bar past its predecessor's bucket or gap starts another; the bucket's
        // end is worked out only then.
        if (r == row || ns - part.last_ns > kSessionGapNs || ns > part.end || ns <= part.end - plan.step) {
            if (r != row) parts.push_back(part);
            part = Part{bucket_end(ns, plan.step), day, ns, ns, r, r};
        }
        part.last_ns = ns;
        part.to = r + 1;
    }
    parts.push_back(part);
}

// The Parts of one chunk and their gathered fields, a row of `values` each.
void fold_chunk(const Plan& plan, const ChunkRows& chunk, std::vector<Part>& parts,
                std::vector<std::uint64_t>& values) {
    std::size_t row = chunk.from;
    auto day = std::upper_bound(plan.day_ends.begin(), plan.day_ends.end(), row - plan.first);
    for (; row < chunk.to; ++day) {
        const std::size_t stop = std::min(chunk.to, plan.first + *day);
        if (stop <= row) continue;  // a date without rows
        const std::int64_t position = day - plan.day_ends.begin();
        if (plan.step == 0) {
            parts.push_back(Part{0, position, 0, 0, row, stop});
        } else {
            split_day(plan, chunk, row, stop, position, parts);
        }
        row = stop;
    }
    values.reserve(parts.size() * plan.fields.size());
    for (const Part& part : parts) {
        const unsigned char* in = chunk.raw + (part.from - chunk.chunk_first) * plan.itemsize;
        for (const FoldField& field : plan.fields) {
            values.push_back(fold_field(field, in, part.to - part.from, plan.itemsize));
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
    if (minutes != 0 && (kDayNs % (minutes * kMinuteNs) != 0 || time_offset > itemsize || itemsize - time_offset < 8)) {
        throw ArgumentError("bars of " + std::to_string(minutes) + " minutes, their time at offset " +
                            std::to_string(time_offset) + ", cannot be gathered from " + dataset.where());
    }
}

// The chunks' Parts in order, joined where a chunk boundary cut a bar.
FoldedBars join(const Plan& plan, const std::vector<std::vector<Part>>& parts,
                const std::vector<std::vector<std::uint64_t>>& values) {
    const std::size_t width = plan.fields.size();
    FoldedBars out;
    out.columns.resize(width);
    std::int64_t last_ns = 0;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        for (std::size_t p = 0; p < parts[k].size(); ++p) {
            const Part& part = parts[k][p];
            const std::uint64_t* gathered = values[k].data() + p * width;
            const bool same = !out.days.empty() && out.days.back() == part.day &&
                              (plan.step == 0 || (out.ends.back() == part.end && part.first_ns - last_ns <= kSessionGapNs));
            if (same) {
                for (std::size_t f = 0; f < width; ++f) {
                    out.columns[f].back() = combine_field(plan.fields[f], out.columns[f].back(), gathered[f]);
                }
            } else {
                out.days.push_back(part.day);
                if (plan.step != 0) out.ends.push_back(part.end);
                for (std::size_t f = 0; f < width; ++f) out.columns[f].push_back(gathered[f]);
            }
            last_ns = part.last_ns;
        }
    }
    return out;
}

}  // namespace

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
    std::vector<std::vector<Part>> parts(chunks);
    std::vector<std::vector<std::uint64_t>> values(chunks);
    for_each_chunk(dataset, first, count, threads, [&](const ChunkRows& chunk) {
        fold_chunk(plan, chunk, parts[chunk.index], values[chunk.index]);
    });
    return join(plan, parts, values);
}

}  // namespace corvane
