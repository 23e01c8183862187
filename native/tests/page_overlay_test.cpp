#include "corvane/descriptor.hpp"
#include "corvane/page_overlay.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace corvane {
namespace {

using testing::TempDir;

constexpr std::uint64_t kPage = PageOverlay::kPageSize;

class PageOverlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (std::size_t i = 0; i < original.size(); ++i) original[i] = static_cast<char>('a' + i % 23);
        testing::write_bytes(path, original);
        fd = Descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    }

    // What a reader of the call sees: the file's bytes, the held pages over them.
    std::string seen(const PageOverlay& overlay, std::uint64_t offset, std::size_t size) {
        std::string out(size, '\0');
        auto* bytes = reinterpret_cast<unsigned char*>(out.data());
        const std::size_t got = read_at(fd, offset, bytes, size, path);
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(got), out.end(), '\0');
        overlay.lay_over(offset, bytes, size);
        return out;
    }

    void put(PageOverlay& overlay, std::uint64_t offset, const std::string& bytes) {
        overlay.put(offset, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), fd, path);
    }

    TempDir dir;
    const std::string path = dir.path("x.h5");
    std::string original = std::string(3 * kPage + 100, '\0');
    Descriptor fd;
};

TEST_F(PageOverlayTest, HeldBytesAreSeenOverTheFileWhichStaysAsItWas) {
    PageOverlay overlay(original.size());
    // Across a page boundary: two pages held, each read whole first.
    put(overlay, kPage - 2, "WXYZ");
    EXPECT_EQ(overlay.size(), 2u);
    EXPECT_TRUE(overlay.holds(0));
    EXPECT_TRUE(overlay.holds(1));
    EXPECT_FALSE(overlay.holds(2));
    std::string expected = original;
    expected.replace(kPage - 2, 4, "WXYZ");
    EXPECT_EQ(seen(overlay, 0, original.size()), expected);
    EXPECT_EQ(seen(overlay, kPage - 1, 2), "XY");
    ASSERT_NE(overlay.page(1), nullptr);
    EXPECT_EQ(std::string(overlay.page(1)->begin(), overlay.page(1)->end()),
              expected.substr(kPage, kPage));
    EXPECT_EQ(overlay.page(2), nullptr);
    EXPECT_EQ(testing::read_bytes(path), original);
    // A second write to a held page keeps the first.
    put(overlay, kPage + 2, "!");
    expected[kPage + 2] = '!';
    EXPECT_EQ(seen(overlay, 0, original.size()), expected);
    overlay.clear();
    EXPECT_TRUE(overlay.empty());
    EXPECT_EQ(seen(overlay, 0, original.size()), original);
}

// The last original page is partial: what lies past the limit is growth,
// never held, and reads there see the file (or zeros past its end).
TEST_F(PageOverlayTest, NothingPastTheLimitIsHeldOrLaidOver) {
    PageOverlay overlay(original.size());
    const std::uint64_t last = 3 * kPage;
    put(overlay, last + 98, "ABCD");
    std::string window = seen(overlay, last + 96, 8);
    EXPECT_EQ(window, original.substr(last + 96, 2) + "AB" + std::string(4, '\0'));
    const std::vector<unsigned char>& page = *overlay.page(3);
    ASSERT_EQ(page.size(), kPage);
    EXPECT_EQ(page[99], 'B');
    EXPECT_EQ(page[100], 0);
}

TEST_F(PageOverlayTest, AKeptPageReplacesWhatWasHeld) {
    PageOverlay overlay(original.size());
    put(overlay, 0, "old");
    overlay.keep(0, std::vector<unsigned char>(kPage, 'k'));
    EXPECT_EQ(seen(overlay, 0, 4), "kkkk");
    EXPECT_EQ(overlay.size(), 1u);
}

TEST(PageRuns, AddedRunsMergeAndTheirGapsAreWhatIsLeft) {
    PageRuns runs;
    EXPECT_EQ(runs.run_end(0), 0u);
    runs.add(2, 4);
    runs.add(6, 8);
    runs.add(3, 3);  // empty: nothing
    EXPECT_EQ(runs.count(), 4u);
    EXPECT_EQ(runs.run_end(1), 0u);
    EXPECT_EQ(runs.run_end(2), 4u);
    EXPECT_EQ(runs.run_end(3), 4u);
    EXPECT_EQ(runs.run_end(4), 0u);
    using Gaps = std::vector<std::pair<std::size_t, std::size_t>>;
    EXPECT_EQ(runs.gaps(0, 10), (Gaps{{0, 2}, {4, 6}, {8, 10}}));
    EXPECT_EQ(runs.gaps(3, 7), (Gaps{{4, 6}}));
    EXPECT_EQ(runs.gaps(2, 4), Gaps{});
    // Adjacent and overlapping runs become one.
    runs.add(4, 6);
    EXPECT_EQ(runs.run_end(2), 8u);
    EXPECT_EQ(runs.count(), 6u);
    runs.add(0, 20);
    EXPECT_EQ(runs.count(), 20u);
    EXPECT_EQ(runs.run_end(19), 20u);
    EXPECT_EQ(runs.gaps(0, 25), (Gaps{{20, 25}}));
}

}  // namespace
}  // namespace corvane
