#include "corvane/page_overlay.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace corvane {

void PageOverlay::put(std::uint64_t offset, const unsigned char* bytes, std::size_t size,
                      const Descriptor& original, const std::string& what) {
    // Past the limit lies growth, which is never held.
    const std::uint64_t end = std::min<std::uint64_t>(offset + size, limit_);
    for (std::uint64_t at = offset; at < end;) {
        const std::size_t page = static_cast<std::size_t>(at / kPageSize);
        const std::uint64_t page_at = page * kPageSize;
        auto [it, fresh] = pages_.try_emplace(page);
        if (fresh) {
            it->second.assign(kPageSize, 0);
            read_at(original, page_at, it->second.data(), kPageSize, what);
        }
        const std::uint64_t to = std::min({end, page_at + kPageSize, limit_});
        std::memcpy(it->second.data() + (at - page_at), bytes + (at - offset), static_cast<std::size_t>(to - at));
        at = to;
    }
}

void PageOverlay::lay_over(std::uint64_t offset, unsigned char* out, std::size_t size) const {
    const std::uint64_t end = offset + size;
    for (auto it = pages_.lower_bound(static_cast<std::size_t>(offset / kPageSize));
         it != pages_.end() && it->first * kPageSize < end; ++it) {
        const std::uint64_t page_at = it->first * kPageSize;
        const std::uint64_t from = std::max(offset, page_at);
        const std::uint64_t to = std::min({end, page_at + kPageSize, limit_});
        if (from < to) std::memcpy(out + (from - offset), it->second.data() + (from - page_at), to - from);
    }
}

void PageOverlay::keep(std::size_t page, std::vector<unsigned char> bytes) {
    pages_[page] = std::move(bytes);
}

const std::vector<unsigned char>* PageOverlay::page(std::size_t page) const {
    const auto it = pages_.find(page);
    return it == pages_.end() ? nullptr : &it->second;
}

std::size_t PageRuns::run_end(std::size_t page) const {
    auto it = runs_.upper_bound(page);
    if (it == runs_.begin()) return 0;
    --it;
    return it->second > page ? it->second : 0;
}

void PageRuns::add(std::size_t first, std::size_t end) {
    if (first >= end) return;
    auto it = runs_.upper_bound(first);
    if (it != runs_.begin() && std::prev(it)->second >= first) --it;
    while (it != runs_.end() && it->first <= end) {
        first = std::min(first, it->first);
        end = std::max(end, it->second);
        it = runs_.erase(it);
    }
    runs_.emplace(first, end);
}

std::vector<std::pair<std::size_t, std::size_t>> PageRuns::gaps(std::size_t first, std::size_t end) const {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    std::size_t at = first;
    auto it = runs_.upper_bound(first);
    if (it != runs_.begin()) --it;
    for (; it != runs_.end() && at < end; ++it) {
        if (it->second <= at) continue;
        if (it->first > at) out.emplace_back(at, std::min(it->first, end));
        at = std::max(at, it->second);
    }
    if (at < end) out.emplace_back(at, end);
    return out;
}

std::size_t PageRuns::count() const {
    std::size_t n = 0;
    for (const auto& [first, end] : runs_) n += end - first;
    return n;
}

}  // namespace corvane
