// The one rule for the chunk size of every dataset the engine creates.
#pragma once

#include <cstddef>

namespace corvane {

// Raw bytes aimed at per chunk.
inline constexpr std::size_t kChunkTargetBytes = 64 * 1024;

// Rows per chunk for records of `itemsize` bytes in a dataset created with
// `initial_rows` rows.
//
// Rule: as many whole records as fit in kChunkTargetBytes, at least one,
// whatever the initial size. 64 KiB holds about four trading days of minute
// bars: deflate gets enough data to find its matches, reading one day back
// decompresses little, and an append rewrites at most one such chunk. The
// initial row count deliberately does not shrink the chunk: a minute-bar file
// created from a single day grows by appends for years and must not be stuck
// with tiny chunks; a small dataset written once (a tick day) costs only the
// compressed fill of one chunk.
std::size_t chunk_rows(std::size_t itemsize, std::size_t initial_rows);

}  // namespace corvane
