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

void ZlibCompressor::compress(const void* raw, std::size_t size,
                              std::vector<unsigned char>& out) const {
    if (compressor_ == nullptr) throw ArgumentError("compressor was moved from");
    // The bound is what libdeflate promises to fit any input of this size,
    // so the call below cannot run out of room.
    out.resize(libdeflate_zlib_compress_bound(compressor_, size));
    const std::size_t written =
        libdeflate_zlib_compress(compressor_, raw, size, out.data(), out.size());
    if (written == 0) throw Error("deflate output did not fit its bound");
    out.resize(written);
}

}  // namespace corvane
