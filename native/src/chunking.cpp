#include "corvane/chunking.hpp"

#include "corvane/error.hpp"

namespace corvane {

std::size_t chunk_rows(std::size_t itemsize, std::size_t /*initial_rows*/) {
    if (itemsize == 0) throw ArgumentError("records of zero bytes cannot be chunked");
    const std::size_t rows = kChunkTargetBytes / itemsize;
    return rows == 0 ? 1 : rows;
}

}  // namespace corvane
