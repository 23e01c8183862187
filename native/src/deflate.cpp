#include "corvane/deflate.hpp"

#include "corvane/error.hpp"

#include <libdeflate.h>

#include <new>
#include <string>
#include <utility>

namespace corvane {

ZlibCompressor::ZlibCompressor(int level) : level_(level) {
    if (level < 0 || level > 12) {
        throw ArgumentError("deflate level " + std::to_string(level) + " is outside 0..12");
    }
    compressor_ = libdeflate_alloc_compressor(level);
    if (compressor_ == nullptr) throw std::bad_alloc();
}

ZlibCompressor::~ZlibCompressor() {
    if (compressor_ != nullptr) libdeflate_free_compressor(compressor_);
}

ZlibCompressor::ZlibCompressor(ZlibCompressor&& other) noexcept
    : compressor_(std::exchange(other.compressor_, nullptr)), level_(other.level_) {}

ZlibCompressor& ZlibCompressor::operator=(ZlibCompressor&& other) noexcept {
    if (this != &other) {
        if (compressor_ != nullptr) libdeflate_free_compressor(compressor_);
        compressor_ = std::exchange(other.compressor_, nullptr);
        level_ = other.level_;
    }
    return *this;
}

namespace {

// Replaces `out` with what `compress` (a zlib stream or raw blocks) makes of
// the `size` bytes at `raw`. The buffer is sized by `bound`, what libdeflate
// promises to fit any input of this size, so the call cannot run out of room.
void compress_with(libdeflate_compressor* compressor,
                   std::size_t (*bound)(libdeflate_compressor*, std::size_t),
                   std::size_t (*compress)(libdeflate_compressor*, const void*, std::size_t,
                                           void*, std::size_t),
                   const void* raw, std::size_t size, std::vector<unsigned char>& out) {
    if (compressor == nullptr) throw ArgumentError("compressor was moved from");
    out.resize(bound(compressor, size));
    const std::size_t written = compress(compressor, raw, size, out.data(), out.size());
    if (written == 0) throw Error("deflate output did not fit its bound");
    out.resize(written);
}

}  // namespace

void ZlibCompressor::compress(const void* raw, std::size_t size,
                              std::vector<unsigned char>& out) const {
    compress_with(compressor_, libdeflate_zlib_compress_bound, libdeflate_zlib_compress, raw, size,
                  out);
}

void ZlibCompressor::deflate(const void* raw, std::size_t size,
                             std::vector<unsigned char>& out) const {
    compress_with(compressor_, libdeflate_deflate_compress_bound, libdeflate_deflate_compress, raw,
                  size, out);
}

ZlibDecompressor::ZlibDecompressor() : decompressor_(libdeflate_alloc_decompressor()) {
    if (decompressor_ == nullptr) throw std::bad_alloc();
}

ZlibDecompressor::~ZlibDecompressor() { libdeflate_free_decompressor(decompressor_); }

bool ZlibDecompressor::decompress(const void* stream, std::size_t size, void* out,
                                  std::size_t out_size) const {
    std::size_t written = 0;
    return libdeflate_zlib_decompress(decompressor_, stream, size, out, out_size, &written) ==
               LIBDEFLATE_SUCCESS &&
           written == out_size;
}

ZlibDecompressor::RawInflation ZlibDecompressor::inflate_raw(const void* stream, std::size_t size,
                                                            void* out,
                                                            std::size_t out_size) const {
    std::size_t consumed = 0;
    std::size_t produced = 0;
    const libdeflate_result result = libdeflate_deflate_decompress_ex(
        decompressor_, stream, size, out, out_size, &consumed, &produced);
    using Outcome = RawInflation::Outcome;
    if (result == LIBDEFLATE_SUCCESS) return {Outcome::complete, consumed, produced};
    return {result == LIBDEFLATE_BAD_DATA ? Outcome::bad_data : Outcome::other, 0, 0};
}

std::size_t ZlibDecompressor::stream_bound(std::size_t raw_size) {
    // zlib header and checksum, and 5 bytes per stored block of up to
    // 65,535 bytes: what no compressor's output exceeds by much. A margin
    // covers encoders that spend a few bytes more on empty blocks.
    return raw_size + 5 * (raw_size / 65535 + 1) + 6 + 1024;
}

std::uint32_t adler32(std::uint32_t adler, const void* bytes, std::size_t size) {
    return libdeflate_adler32(adler, bytes, size);
}

}  // namespace corvane
