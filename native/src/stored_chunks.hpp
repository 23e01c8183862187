// A dataset's chunks as the engine stores them: deflate streams it writes
// and reads itself, past HDF5's filter pipeline, when the dataset allows it.
#pragma once

#include "corvane/dataset.hpp"

#include <cstddef>
#include <vector>

namespace corvane::detail {

// Reads the chunk starting at row `first_row` (a multiple of the dataset's
// chunk rows) into `raw` (a chunk's bytes), inflating it with libdeflate,
// which is several times faster than the filter pipeline's zlib. False,
// with `raw` undefined, when HDF5 had better read it: a chunk not stored,
// or one that does not inflate to exactly a chunk (HDF5 then reports what
// is wrong with it). Only for a `direct` chunk storage.
bool read_stored_chunk(const Dataset& dataset, std::size_t first_row, unsigned char* raw);

// read_stored_chunk through the dataset's kept chunk: the chunk the last
// such read left there is copied, not read; any other is read, then kept,
// with zeros after the dataset's last row (as HDF5 reads rows not written).
bool read_kept_chunk(const Dataset& dataset, std::size_t first_row, unsigned char* raw);

// Reads the deflate stream of the chunk starting at row `first_row` into
// `stream`, as stored. False when the chunk is not stored or not deflated.
// Only for a `direct` chunk storage.
bool read_stored_stream(const Dataset& dataset, std::size_t first_row,
                        std::vector<unsigned char>& stream);

// Reads rows [first, first + count) into `out` chunk by chunk through
// read_stored_chunk (read_kept_chunk for a chunk read in part). False when
// the dataset's storage is not `direct` or a chunk had better be read by
// HDF5 (`out` is then partly written).
bool read_stored_rows(const Dataset& dataset, std::size_t first, std::size_t count,
                      unsigned char* out);

// The turn the reading threads take at a chunk's stream, which is read by
// HDF5: held across fork() (see fork_registry.cpp) and otherwise only here.
void take_stream_turn();
void give_stream_turn();

}  // namespace corvane::detail
