// zlib-format deflate compression of chunk bytes, done by the engine itself so
// that any HDF5 reader decodes the chunks with its standard deflate filter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace corvane {

// One libdeflate compressor at a fixed level (0 to 12; libdeflate's levels,
// which are not zlib's). Keeps its working memory between calls; not for use
// by two threads at once: give each thread its own.
class ZlibCompressor {
public:
    // Throws ArgumentError for a level outside 0..12, std::bad_alloc when
    // the working memory cannot be had.
    explicit ZlibCompressor(int level);
    ~ZlibCompressor();

    ZlibCompressor(ZlibCompressor&& other) noexcept;
    ZlibCompressor& operator=(ZlibCompressor&& other) noexcept;
    ZlibCompressor(const ZlibCompressor&) = delete;
    ZlibCompressor& operator=(const ZlibCompressor&) = delete;

    int level() const { return level_; }

    // Replaces `out` with the zlib stream of the `size` bytes at `raw`.
    void compress(const void* raw, std::size_t size, std::vector<unsigned char>& out) const;

    // Replaces `out` with the raw deflate blocks (no zlib header or
    // checksum) of the `size` bytes at `raw`.
    void deflate(const void* raw, std::size_t size, std::vector<unsigned char>& out) const;

private:
    libdeflate_compressor* compressor_ = nullptr;
    int level_ = 0;
};

// One libdeflate decompressor of zlib streams. Not for use by two threads
// at once.
class ZlibDecompressor {
public:
    // Throws std::bad_alloc when its working memory cannot be had.
    ZlibDecompressor();
    ~ZlibDecompressor();

    ZlibDecompressor(const ZlibDecompressor&) = delete;
    ZlibDecompressor& operator=(const ZlibDecompressor&) = delete;

    // Inflates the zlib stream of `size` bytes at `stream` into exactly
    // `out_size` bytes at `out`; false when it is not a valid stream of
    // exactly that many bytes (`out` is then undefined).
    bool decompress(const void* stream, std::size_t size, void* out, std::size_t out_size) const;

    // How inflating raw deflate blocks ended.
    struct RawInflation {
        enum class Outcome { complete, bad_data, other } outcome;
        std::size_t consumed;  // input bytes up to the final block's end
        std::size_t produced;  // bytes written to `out`
    };

    // Inflates the raw deflate blocks at `stream` into at most `out_size`
    // bytes at `out`, up to the end of the first block marked final.
    RawInflation inflate_raw(const void* stream, std::size_t size, void* out,
                             std::size_t out_size) const;

    // The longest zlib stream that a compressor can make of `raw_size`
    // bytes (stored blocks and their headers included).
    static std::size_t stream_bound(std::size_t raw_size);

private:
    libdeflate_decompressor* decompressor_ = nullptr;
};

// The Adler-32 checksum of the `size` bytes at `bytes` continued from
// `adler` (1 for none yet), as zlib streams end with.
std::uint32_t adler32(std::uint32_t adler, const void* bytes, std::size_t size);

}  // namespace corvane
