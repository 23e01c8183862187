// The page bookkeeping of a call that overwrites a file's original bytes:
// PageOverlay holds the new contents of original pages in memory until
// they are applied (reads see them meanwhile), and PageRuns records which
// original pages are safe in the journal already.
#pragma once

#include "corvane/descriptor.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace corvane {

// New contents of whole pages of a file of `limit` original bytes; bytes
// at or past the limit are never held (growth is written at once).
class PageOverlay {
public:
    static constexpr std::uint64_t kPageSize = 4096;
    using Pages = std::map<std::size_t, std::vector<unsigned char>>;

    explicit PageOverlay(std::uint64_t limit = 0) : limit_(limit) {}

    // Holds the `size` bytes at `offset` that lie below the limit, each page first
    // read whole from `original` (`what` names it in messages).
    void put(std::uint64_t offset, const unsigned char* bytes, std::size_t size, const Descriptor& original,
             const std::string& what);
    // Lays the held bytes over `out`, the `size` bytes read at `offset`.
    void lay_over(std::uint64_t offset, unsigned char* out, std::size_t size) const;
    // Holds `bytes` as the whole page `page`.
    void keep(std::size_t page, std::vector<unsigned char> bytes);

    bool holds(std::size_t page) const { return pages_.count(page) != 0; }
    // The held page `page`, or nullptr.
    const std::vector<unsigned char>* page(std::size_t page) const;
    const Pages& held() const { return pages_; }
    std::size_t size() const { return pages_.size(); }
    bool empty() const { return pages_.empty(); }
    void clear() { pages_.clear(); }

private:
    std::uint64_t limit_;
    Pages pages_;
};

// Pages [first, end) of a file, as disjoint, non-adjacent runs. Kept as
// runs: a file's length is read from the file and must not size an
// allocation.
class PageRuns {
public:
    // The end of the run holding `page`, or 0 when none does.
    std::size_t run_end(std::size_t page) const;
    void add(std::size_t first, std::size_t end);
    // The runs of [first, end) that no run holds.
    std::vector<std::pair<std::size_t, std::size_t>> gaps(std::size_t first, std::size_t end) const;
    std::size_t count() const;

private:
    std::map<std::size_t, std::size_t> runs_;  // first -> end
};

}  // namespace corvane
