#include "corvane/chunking.hpp"
#include "corvane/dataset.hpp"
#include "corvane/error.hpp"
#include "corvane/file.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <cstring>

namespace corvane {
namespace {

using testing::EquityBar;
using testing::TempDir;

// The storage settings every engine dataset must have, read with HDF5 itself.
void expect_standard_storage(const Dataset& dataset, std::size_t itemsize) {
    const hid_t id = dataset.handle().get();
    const hid_t dcpl = H5Dget_create_plist(id);
    ASSERT_EQ(H5Pget_layout(dcpl), H5D_CHUNKED);
    hsize_t chunk[1] = {0};
    ASSERT_EQ(H5Pget_chunk(dcpl, 1, chunk), 1);
    EXPECT_EQ(chunk[0], chunk_rows(itemsize, 0));
    ASSERT_EQ(H5Pget_nfilters(dcpl), 1);  // deflate alone: no shuffle
    unsigned flags = 0;
    std::size_t n_values = 4;
    unsigned values[4] = {};
    EXPECT_EQ(H5Pget_filter2(dcpl, 0, &flags, &n_values, values, 0, nullptr, nullptr),
              H5Z_FILTER_DEFLATE);
    ASSERT_GE(n_values, 1u);
    EXPECT_EQ(values[0], 9u);
    H5D_fill_value_t fill = H5D_FILL_VALUE_ERROR;
    H5Pfill_value_defined(dcpl, &fill);
    EXPECT_EQ(fill, H5D_FILL_VALUE_DEFAULT);
    H5Pclose(dcpl);

    const hid_t space = H5Dget_space(id);
    hsize_t dims[1] = {0};
    hsize_t maxdims[1] = {0};
    ASSERT_EQ(H5Sget_simple_extent_dims(space, dims, maxdims), 1);
    EXPECT_EQ(maxdims[0], H5S_UNLIMITED);
    H5Sclose(space);

    H5O_info_t info{};
    H5Oget_info2(id, &info, H5O_INFO_NUM_ATTRS);
    EXPECT_EQ(info.num_attrs, 0u);
}

class DatasetTest : public ::testing::Test {
protected:
    TempDir dir;
    File file{dir.path("f.h5")};
};

TEST_F(DatasetTest, CreatedRecordsReadBackWithStandardStorage) {
    const auto bars = testing::equity_bars(2500);  // more than two chunks
    const Dataset d = Dataset::create(file, "data", testing::view(bars));
    EXPECT_EQ(d.length(), 2500u);
    EXPECT_EQ(d.layout(), equities_layout());
    EXPECT_EQ(testing::read_all<EquityBar>(d), bars);
    expect_standard_storage(d, equities_layout().itemsize());
}

TEST_F(DatasetTest, ZeroRowsAreADatasetThatCanGrow) {
    const std::vector<EquityBar> none;
    Dataset d = Dataset::create(file, "20240102", testing::view(none));
    EXPECT_EQ(d.length(), 0u);
    EquityBar last{};
    EXPECT_FALSE(d.read_last(&last));
    expect_standard_storage(d, equities_layout().itemsize());
    const auto bars = testing::equity_bars(3);
    d.append(testing::view(bars));
    EXPECT_EQ(testing::read_all<EquityBar>(d), bars);
}

TEST_F(DatasetTest, AppendExtendsAndKeepsEarlierRows) {
    const auto first = testing::equity_bars(1000);
    const auto second = testing::equity_bars(400, 1000);
    Dataset d = Dataset::create(file, "data", testing::view(first));
    d.append(testing::view(second));
    auto expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(testing::read_all<EquityBar>(d), expected);
    EquityBar last{};
    ASSERT_TRUE(d.read_last(&last));
    EXPECT_EQ(last, second.back());
    // The changes survive closing and reopening the file.
    file.close();
    File again(dir.path("f.h5"));
    EXPECT_EQ(testing::read_all<EquityBar>(Dataset::open(again, "data")), expected);
}

TEST_F(DatasetTest, AppendOfAnotherLayoutIsRefusedAndChangesNothing) {
    const auto bars = testing::equity_bars(5);
    Dataset d = Dataset::create(file, "data", testing::view(bars));
    const auto other = testing::derivative_bars(5);
    EXPECT_THROW(d.append(testing::view(other)), LayoutError);
    EXPECT_EQ(testing::read_all<EquityBar>(d), bars);
}

TEST_F(DatasetTest, ShrinkCutsRowsButNeverGrows) {
    const auto bars = testing::equity_bars(50);
    Dataset d = Dataset::create(file, "data", testing::view(bars));
    d.shrink(20);
    EXPECT_EQ(testing::read_all<EquityBar>(d),
              std::vector<EquityBar>(bars.begin(), bars.begin() + 20));
    EXPECT_THROW(d.shrink(21), ArgumentError);
    d.shrink(0);
    EXPECT_EQ(d.length(), 0u);
}

TEST_F(DatasetTest, ReadsARangeAndRefusesRowsOutside) {
    const auto bars = testing::equity_bars(30);
    const Dataset d = Dataset::create(file, "data", testing::view(bars));
    std::vector<EquityBar> part(5);
    d.read(10, 5, part.data());
    EXPECT_EQ(part, std::vector<EquityBar>(bars.begin() + 10, bars.begin() + 15));
    EXPECT_NO_THROW(d.read(30, 0, part.data()));
    EXPECT_THROW(d.read(28, 3, part.data()), ArgumentError);
    EXPECT_THROW(d.read(31, 0, part.data()), ArgumentError);
}

TEST_F(DatasetTest, TickLikeLayoutWithGapsRoundTripsFieldByField) {
    const RecordLayout layout({{"date", FieldType::u32, 0},
                               {"flag", FieldType::i8, 4},
                               {"price", FieldType::f64, 7},
                               {"volume", FieldType::i64, 15},
                               {"ratio", FieldType::f32, 23}},
                              32);
    std::vector<unsigned char> bytes(3 * 32, 0xAB);  // gaps hold junk
    for (std::uint32_t i = 0; i < 3; ++i) {
        unsigned char* r = bytes.data() + i * 32;
        const std::uint32_t date = 20240102 + i;
        const std::int8_t flag = static_cast<std::int8_t>(-1 - static_cast<int>(i));
        const double price = 12.5 + i;
        const std::int64_t volume = -(1LL << 40) + i;
        const float ratio = 0.25f * static_cast<float>(i);
        std::memcpy(r + 0, &date, 4);
        std::memcpy(r + 4, &flag, 1);
        std::memcpy(r + 7, &price, 8);
        std::memcpy(r + 15, &volume, 8);
        std::memcpy(r + 23, &ratio, 4);
    }
    const Dataset d = Dataset::create(file, "20240102", RecordsView{layout, bytes.data(), 3});
    EXPECT_EQ(d.layout(), layout);
    std::vector<unsigned char> back(3 * 32, 0);
    d.read(0, 3, back.data());
    for (std::size_t i = 0; i < 3; ++i) {
        for (const Field& f : layout.fields()) {
            const std::size_t at = i * 32 + f.offset;
            EXPECT_EQ(std::memcmp(back.data() + at, bytes.data() + at, size_of(f.type)), 0)
                << "row " << i << " field " << f.name;
        }
    }
}

// A call reads the last chunk, then changes it: no read may see the chunk
// as it was before an append, a cut, or a member removed and made anew.
TEST_F(DatasetTest, ReadsAfterEachChangeSeeTheChange) {
    const auto first = testing::equity_bars(100);  // part of one chunk
    Dataset::create(file, "data", testing::view(first));
    Dataset& d = file.dataset("data");
    EXPECT_EQ(&file.dataset("data"), &d);
    EquityBar last{};
    ASSERT_TRUE(d.read_last(&last));  // keeps the chunk
    EXPECT_EQ(last, first.back());

    const auto added = testing::equity_bars(3, 500);
    d.append(testing::view(added));
    ASSERT_TRUE(d.read_last(&last));
    EXPECT_EQ(last, added.back());

    d.shrink(50);
    const auto other = testing::equity_bars(60, 900);
    d.append(testing::view(other));
    auto expected = std::vector<EquityBar>(first.begin(), first.begin() + 50);
    expected.insert(expected.end(), other.begin(), other.end());
    std::vector<EquityBar> middle(20);
    d.read(45, 20, middle.data());
    EXPECT_EQ(middle, std::vector<EquityBar>(expected.begin() + 45, expected.begin() + 65));

    file.remove("data");
    const auto fresh = testing::equity_bars(7, 2000);
    Dataset::create(file, "data", testing::view(fresh));
    EXPECT_EQ(testing::read_all<EquityBar>(file.dataset("data")), fresh);
    EXPECT_THROW(file.dataset("missing"), NotFound);
}

TEST_F(DatasetTest, CreateRefusesExistingMembersAndBadNames) {
    const auto bars = testing::equity_bars(2);
    Dataset::create(file, "data", testing::view(bars));
    EXPECT_THROW(Dataset::create(file, "data", testing::view(bars)), ArgumentError);
    for (const char* name : {"", ".", "a/b"}) {
        EXPECT_THROW(Dataset::create(file, name, testing::view(bars)), ArgumentError) << name;
    }
    EXPECT_EQ(file.members(), std::vector<std::string>{"data"});
}

TEST_F(DatasetTest, OpenRefusesMissingMembersAndGroups) {
    EXPECT_THROW(Dataset::open(file, "data"), NotFound);
    const hid_t group = H5Gcreate2(file.handle().get(), "group", H5P_DEFAULT, H5P_DEFAULT,
                                   H5P_DEFAULT);
    H5Gclose(group);
    EXPECT_THROW(Dataset::open(file, "group"), LayoutError);
}

}  // namespace
}  // namespace corvane
