// The engine's one path for putting record bytes into a dataset. Creation and
// appends both end here, so the way rows are compressed and written can
// change in this one place without touching any caller.
#pragma once

#include "corvane/dataset.hpp"
#include "corvane/records.hpp"

#include <cstddef>

namespace corvane::detail {

// What becomes of the dataset's last chunk when the write leaves it partly
// filled. `grows`: the dataset grows by appends, and the next one reads that
// chunk back and writes it again, so it is compressed fast (kTailChunkLevel).
// `final`: it stays as written (a tick day), so at full quality.
enum class LastChunk { grows, final };

// Writes `records` into rows [first_row, first_row + records.rows) of
// `dataset`, whose extent must already cover them and whose stored layout
// equals records.layout. Throws IoError.
void write_rows(const Dataset& dataset, std::size_t first_row, const RecordsView& records,
                LastChunk last_chunk);

}  // namespace corvane::detail
