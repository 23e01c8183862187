#include "corvane/minbar_store.hpp"

#include "corvane/chunking.hpp"
#include "corvane/dataset.hpp"
#include "corvane/error.hpp"
#include "corvane/failpoint.hpp"
#include "corvane/layout.hpp"

#include <cstring>
#include <vector>

namespace corvane {

namespace {

std::uint32_t load_u32_le(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void store_u32_le(unsigned char* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::int32_t load_i32_le(const unsigned char* p) {
    const std::uint32_t bits = load_u32_le(p);
    std::int32_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

const unsigned char* row(const RecordsView& records, std::size_t i) {
    return static_cast<const unsigned char*>(records.bytes) + i * records.layout.itemsize();
}

void check_batch(const RecordsView& index, const RecordsView& data) {
    if (index.layout != index_layout()) {
        throw LayoutError("index records " + index.layout.describe() + " are not " +
                          index_layout().describe());
    }
    if (data.layout != equities_layout() && data.layout != derivatives_layout()) {
        throw LayoutError("bar records " + data.layout.describe() +
                          " are neither the equities nor the derivatives layout");
    }
    if (index.rows == 0 || data.rows == 0) {
        throw ArgumentError("a minute-bar batch needs at least one index row and one bar");
    }
    const std::size_t date_at = index_layout().field("date").offset;
    const std::size_t line_at = index_layout().field("line_no").offset;
    if (load_u32_le(row(index, 0) + line_at) != 0) {
        throw ArgumentError("the batch's first index row must point at its first bar (line_no 0)");
    }
    for (std::size_t i = 1; i < index.rows; ++i) {
        const std::uint32_t line = load_u32_le(row(index, i) + line_at);
        if (line <= load_u32_le(row(index, i - 1) + line_at) || line >= data.rows) {
            throw ArgumentError("index row " + std::to_string(i) + ": line_no " +
                                std::to_string(line) +
                                " does not ascend within the batch's " +
                                std::to_string(data.rows) + " bars");
        }
        if (load_i32_le(row(index, i) + date_at) <= load_i32_le(row(index, i - 1) + date_at)) {
            throw ArgumentError("index row " + std::to_string(i) + ": dates do not ascend");
        }
    }
}

void check_row_limit(std::uint64_t stored_rows, std::uint64_t new_rows, const File& file) {
    if (stored_rows > kMaxLineNo || new_rows - 1 > kMaxLineNo - stored_rows) {
        throw RowLimitError("'" + file.path() + "': " + std::to_string(stored_rows) + " + " +
                            std::to_string(new_rows) +
                            " bars would need row numbers above " + std::to_string(kMaxLineNo));
    }
}

void initialise(File& file, const RecordsView& index, const RecordsView& data) {
    check_row_limit(0, data.rows, file);
    // "data" without "index" is what an interrupted first write leaves.
    if (file.contains(kData)) file.remove(kData);
    Dataset::create(file, kData, data);
    try {
        failpoint::pass("minbar.index_create");
        Dataset::create(file, kIndex, index, kIndexChunkRows);
    } catch (...) {
        try {
            file.remove(kData);
        } catch (const Error&) {
            // The creation's failure is the one to report.
        }
        throw;
    }
}

void extend(File& file, Dataset& stored_index, const RecordsView& index, const RecordsView& data) {
    Dataset& stored_data = file.dataset(kData);
    const RecordLayout data_layout = stored_data.layout();
    if (data_layout != data.layout) {
        throw LayoutError("bar records " + data.layout.describe() + " do not match " +
                          stored_data.where() + " " + data_layout.describe());
    }
    if (stored_index.layout() != index_layout()) {
        throw LayoutError(stored_index.where() + " is not a minute-bar index");
    }
    const std::size_t date_at = index_layout().field("date").offset;
    const std::size_t line_at = index_layout().field("line_no").offset;
    const std::size_t before = stored_data.length();
    // The date check below trusts the last index row. An index longer than
    // the bars it indexes, or whose last row names no stored bar, is not one
    // this engine wrote (a foreign file, or a sparse extent whose rows read
    // as fill): its last date means nothing, so nothing is appended to it.
    const std::size_t days = stored_index.length();
    if (days > before) {
        throw LayoutError(stored_index.where() + " holds " + std::to_string(days) + " days for " +
                          std::to_string(before) + " bars: not a minute-bar index");
    }
    std::vector<unsigned char> last(index_layout().itemsize());
    if (stored_index.read_last(last.data())) {
        const std::int32_t last_date = load_i32_le(last.data() + date_at);
        const std::uint32_t last_line = load_u32_le(last.data() + line_at);
        if (last_date <= 0 || last_line >= before) {
            throw LayoutError(stored_index.where() + ": its last row (date " +
                              std::to_string(last_date) + ", line_no " + std::to_string(last_line) +
                              ") names none of the " + std::to_string(before) +
                              " bars: not a minute-bar index");
        }
        if (load_i32_le(row(index, 0) + date_at) <= last_date) {
            throw ArgumentError("the batch's first date " +
                                std::to_string(load_i32_le(row(index, 0) + date_at)) +
                                " does not follow the last stored date " +
                                std::to_string(last_date) + " in '" + file.path() + "'");
        }
    }
    check_row_limit(before, data.rows, file);

    // Row numbers of the whole file, on our own copy of the caller's index.
    std::vector<unsigned char> shifted(static_cast<const unsigned char*>(index.bytes),
                                       static_cast<const unsigned char*>(index.bytes) +
                                           index.byte_size());
    for (std::size_t i = 0; i < index.rows; ++i) {
        unsigned char* line = shifted.data() + i * index.layout.itemsize() + line_at;
        store_u32_le(line, static_cast<std::uint32_t>(load_u32_le(line) + before));
    }

    stored_data.append(data);
    try {
        failpoint::pass("minbar.index_append");
        stored_index.append(RecordsView{index.layout, shifted.data(), index.rows});
    } catch (...) {
        try {
            stored_data.shrink(before);
        } catch (const Error&) {
            // The append's failure is the one to report.
        }
        throw;
    }
}

}  // namespace

void check_minbar_batch(const RecordsView& index, const RecordsView& data) { check_batch(index, data); }

void append_minbar(File& file, const RecordsView& index, const RecordsView& data) {
    check_batch(index, data);
    file.begin_writing();
    // Opened without looking it up first: the lookup cost a daily append
    // as much as the open.
    Dataset* stored_index = nullptr;
    try {
        stored_index = &file.dataset(kIndex);
    } catch (const NotFound&) {
        initialise(file, index, data);
        return;
    }
    extend(file, *stored_index, index, data);
}

}  // namespace corvane
