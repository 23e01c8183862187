// The engine's own chunk writing, seen through HDF5: every stored chunk must
// be what HDF5's deflate filter would decode to the dataset's rows.
#include "corvane/chunk_compression.hpp"
#include "corvane/chunking.hpp"
#include "corvane/dataset.hpp"
#include "corvane/deflate.hpp"
#include "corvane/error.hpp"
#include "corvane/file.hpp"
#include "corvane/tail_stream.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace corvane {
namespace {

using testing::EquityBar;
using testing::TempDir;

const std::size_t kRows = chunk_rows(sizeof(EquityBar), 0);
const std::size_t kChunkBytes = kRows * sizeof(EquityBar);

struct StoredChunk {
    unsigned filter_mask = 0;
    std::vector<unsigned char> stream;
};

StoredChunk read_stored_chunk(const Dataset& d, std::size_t chunk) {
    const hsize_t offset[1] = {chunk * kRows};
    hsize_t size = 0;
    EXPECT_GE(H5Dget_chunk_storage_size(d.handle().get(), offset, &size), 0);
    StoredChunk out;
    out.stream.resize(size);
    uint32_t mask = 0;
    EXPECT_GE(H5Dread_chunk(d.handle().get(), H5P_DEFAULT, offset, &mask, out.stream.data()), 0);
    out.filter_mask = mask;
    return out;
}

std::vector<unsigned char> inflate_zlib(const std::vector<unsigned char>& stream) {
    std::vector<unsigned char> raw(kChunkBytes + 1);
    uLongf size = static_cast<uLongf>(raw.size());
    EXPECT_EQ(uncompress(raw.data(), &size, stream.data(), static_cast<uLong>(stream.size())),
              Z_OK);
    raw.resize(size);
    return raw;
}

hsize_t allocated_chunks(const Dataset& d) {
    const hid_t space = H5Dget_space(d.handle().get());
    hsize_t n = 0;
    H5Dget_num_chunks(d.handle().get(), space, &n);
    H5Sclose(space);
    return n;
}

// Chunk `chunk` as HDF5 stores it for `rows`: the rows it covers, then zeros.
std::vector<unsigned char> expected_chunk(const std::vector<EquityBar>& rows, std::size_t chunk) {
    std::vector<unsigned char> raw(kChunkBytes, 0);
    const std::size_t first = chunk * kRows;
    const std::size_t n = std::min(kRows, rows.size() - first);
    std::memcpy(raw.data(), rows.data() + first, n * sizeof(EquityBar));
    return raw;
}

// Whether `stream` is a tail stream of a chunk holding `held` bytes of rows:
// the zlib header, then segments, then the zeros block of its padding.
bool is_tail_stream(const std::vector<unsigned char>& stream, std::size_t held) {
    std::vector<unsigned char> zeros;
    deflate_tail(ZlibCompressor(kTailChunkLevel), nullptr, 0, kChunkBytes - held, zeros);
    const std::size_t block = zeros.size() - 6;
    return stream.size() > block + 6 && stream[0] == 0x78 && stream[1] == 0x01 &&
           std::equal(zeros.begin() + 2, zeros.end() - 4, stream.end() - 4 - block);
}

// Every chunk decodes to its rows, full chunks are compressed by the engine
// at the full level, a partly filled last one at `tail_level` (as a tail
// stream at kTailChunkLevel), and no chunk lies beyond the rows.
void expect_chunks_hold(const Dataset& d, const std::vector<EquityBar>& rows, int tail_level) {
    ASSERT_EQ(d.length(), rows.size());
    const std::size_t chunks = (rows.size() + kRows - 1) / kRows;
    EXPECT_EQ(allocated_chunks(d), chunks);
    for (std::size_t c = 0; c < chunks; ++c) {
        const StoredChunk stored = read_stored_chunk(d, c);
        EXPECT_EQ(stored.filter_mask, 0u) << "chunk " << c;
        const std::vector<unsigned char> raw = expected_chunk(rows, c);
        EXPECT_EQ(inflate_zlib(stored.stream), raw) << "chunk " << c;
        const bool full = (c + 1) * kRows <= rows.size();
        const std::size_t held = (rows.size() - c * kRows) * sizeof(EquityBar);
        if (!full && tail_level == kTailChunkLevel && has_room_for_a_segment(held, kChunkBytes)) {
            EXPECT_TRUE(is_tail_stream(stored.stream, held));
            continue;
        }
        std::vector<unsigned char> engine;
        ZlibCompressor(full ? kFullChunkLevel : tail_level).compress(raw.data(), raw.size(), engine);
        EXPECT_EQ(stored.stream, engine) << "chunk " << c << (full ? " (full)" : " (tail)");
    }
}

class WriteRows : public ::testing::Test {
protected:
    TempDir dir;
    File file{dir.path("f.h5")};
};

TEST_F(WriteRows, CreationCompressesEveryChunkAtFullQuality) {
    // A created dataset may never be appended to (a tick day): its last
    // chunk stays as written.
    const auto bars = testing::equity_bars(5 * kRows + 17);
    const Dataset d = Dataset::create(file, "data", testing::view(bars));
    expect_chunks_hold(d, bars, kFullChunkLevel);
}

TEST_F(WriteRows, AppendsMergeIntoThePartlyFilledLastChunk) {
    // One day at a time into a chunk, then a batch that fills it and runs
    // on, then one ending exactly on a chunk boundary.
    auto all = testing::equity_bars(240);
    Dataset d = Dataset::create(file, "data", testing::view(all));
    int extended = 0;
    for (std::size_t batch :
         {std::size_t{240}, std::size_t{240}, std::size_t{1}, 3 * kRows, 2 * kRows - 481}) {
        const std::vector<unsigned char> before = read_stored_chunk(d, all.size() / kRows).stream;
        const std::size_t held = all.size() % kRows * sizeof(EquityBar);
        const auto more = testing::equity_bars(batch, all.size());
        d.append(testing::view(more));
        all.insert(all.end(), more.begin(), more.end());
        // The partly filled last chunk is rewritten by the next append: fast.
        expect_chunks_hold(d, all, kTailChunkLevel);
        if (is_tail_stream(before, held) && batch * sizeof(EquityBar) >= kMinSegmentBytes &&
            held + batch * sizeof(EquityBar) < kChunkBytes) {
            // A day's append keeps the stored segments as they are.
            const std::vector<unsigned char> after = read_stored_chunk(d, all.size() / kRows).stream;
            std::vector<unsigned char> zeros;
            deflate_tail(ZlibCompressor(kTailChunkLevel), nullptr, 0, kChunkBytes - held, zeros);
            const std::size_t kept = before.size() - (zeros.size() - 2);
            EXPECT_TRUE(std::equal(before.begin(), before.begin() + kept, after.begin()));
            ++extended;
        }
    }
    EXPECT_EQ(extended, 1);
    EXPECT_EQ(testing::read_all<EquityBar>(d), all);
}

TEST_F(WriteRows, AppendAfterAShrinkIntoTheMiddleOfAChunkKeepsTheRowsBelowIt) {
    auto bars = testing::equity_bars(3 * kRows + 10);
    Dataset d = Dataset::create(file, "data", testing::view(bars));
    d.shrink(kRows + 100);
    bars.resize(kRows + 100);
    // HDF5 rewrites the cut chunk itself; whatever it stores must still read
    // as the kept rows, with nothing left of the cut ones.
    EXPECT_EQ(testing::read_all<EquityBar>(d), bars);
    EXPECT_EQ(allocated_chunks(d), 2u);
    const auto more = testing::equity_bars(50, 9000);
    d.append(testing::view(more));
    bars.insert(bars.end(), more.begin(), more.end());
    expect_chunks_hold(d, bars, kTailChunkLevel);
}

TEST_F(WriteRows, RowsPastTheEndOfTheLastChunkAreTheFillValue) {
    // A reader that extends the dataset without writing sees fill values.
    const auto bars = testing::equity_bars(kRows / 2);
    Dataset d = Dataset::create(file, "data", testing::view(bars));
    const hsize_t longer[1] = {kRows};
    ASSERT_GE(H5Dset_extent(d.handle().get(), longer), 0);
    const auto back = testing::read_all<EquityBar>(d);
    const EquityBar zero{};
    for (std::size_t i = bars.size(); i < back.size(); ++i) ASSERT_EQ(back[i], zero) << i;
}

TEST_F(WriteRows, DatasetsWithOtherFiltersAreWrittenThroughHdf5) {
    // A file from another writer: shuffle before deflate, big-endian floats.
    const hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(EquityBar));
    H5Tinsert(type, "datetime", 0, H5T_STD_I64LE);
    const char* names[] = {"open", "high", "low", "close", "volume", "total_turnover"};
    for (int i = 0; i < 6; ++i) H5Tinsert(type, names[i], 8 + 8 * i, H5T_IEEE_F64BE);
    const hsize_t dims[1] = {0};
    const hsize_t maxdims[1] = {H5S_UNLIMITED};
    const hid_t space = H5Screate_simple(1, dims, maxdims);
    const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    const hsize_t chunk[1] = {100};
    H5Pset_chunk(dcpl, 1, chunk);
    H5Pset_shuffle(dcpl);
    H5Pset_deflate(dcpl, 4);
    const hid_t id = H5Dcreate2(file.handle().get(), "foreign", type, space, H5P_DEFAULT, dcpl,
                                H5P_DEFAULT);
    ASSERT_GE(id, 0);
    H5Dclose(id);
    H5Pclose(dcpl);
    H5Sclose(space);
    H5Tclose(type);

    Dataset d = Dataset::open(file, "foreign");
    const auto bars = testing::equity_bars(250);
    d.append(testing::view(bars));
    EXPECT_EQ(testing::read_all<EquityBar>(d), bars);
}

// The engine inflates stored chunks itself; chunks it did not write the
// usual way read the same, and one that does not inflate is refused as damaged.
TEST_F(WriteRows, ReadsChunksStoredWithoutDeflateAndRefusesCorruptOnes) {
    auto bars = testing::equity_bars(2 * kRows + 300);
    Dataset d = Dataset::create(file, "data", testing::view(bars));
    // Chunk 1 stored raw, its deflate filter skipped (filter mask bit 0).
    const auto other = testing::equity_bars(kRows, 7000);
    const hsize_t second[1] = {kRows};
    ASSERT_GE(H5Dwrite_chunk(d.handle().get(), H5P_DEFAULT, 1, second, kChunkBytes, other.data()), 0);
    std::copy(other.begin(), other.end(), bars.begin() + kRows);
    std::vector<EquityBar> middle(kRows + 20);
    d.read(kRows - 10, middle.size(), middle.data());
    EXPECT_TRUE(std::equal(middle.begin(), middle.end(), bars.begin() + kRows - 10));
    const auto more = testing::equity_bars(10, 9000);
    d.append(testing::view(more));
    bars.insert(bars.end(), more.begin(), more.end());
    EXPECT_EQ(testing::read_all<EquityBar>(d), bars);

    const std::vector<unsigned char> garbage(100, 0x5a);
    const hsize_t first[1] = {0};
    ASSERT_GE(H5Dwrite_chunk(d.handle().get(), H5P_DEFAULT, 0, first, garbage.size(), garbage.data()), 0);
    EquityBar one{};
    EXPECT_THROW(d.read(5, 1, &one), DamagedFileError);
}

}  // namespace
}  // namespace corvane
