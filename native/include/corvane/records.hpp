// A borrowed block of records: the bytes of `rows` records of one layout,
// laid out one after the other (row i at bytes + i * itemsize).
#pragma once

#include "corvane/layout.hpp"

#include <cstddef>

namespace corvane {

struct RecordsView {
    const RecordLayout& layout;
    const void* bytes;
    std::size_t rows;

    std::size_t byte_size() const { return rows * layout.itemsize(); }
};

}  // namespace corvane
