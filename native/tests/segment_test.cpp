#include "corvane/error.hpp"
#include "corvane/file.hpp"
#include "corvane/minbar_store.hpp"
#include "corvane/revision.hpp"
#include "corvane/segment.hpp"
#include "corvane/tick_store.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace corvane {
namespace {

using testing::TempDir;
namespace names = segment_names;

// A minute-bar segment as a revision leaves it: three days stored, the last
// two cut (rows 240 on of "data", 1 on of "index").
std::string minbar_segment(const TempDir& dir) {
    const std::string path = dir.path("bars.h5");
    const SideStore side{dir.path("side"), false};
    File file(path);
    append_minbar(file, testing::view(testing::day_index({240, 240, 10}, 20240102)),
                  testing::view(testing::equity_bars(490)));
    file.close();
    File again(path);
    EXPECT_EQ(revise_minbar(again, 20240103, testing::view(testing::day_index({240}, 20240103)),
                            testing::view(testing::equity_bars(240, 5000)), side),
              1u);
    again.close();
    return segment_path(side.directory, 1);
}

// Runs `change` on the root group of the HDF5 file at `path`, open for writing.
void edit(const std::string& path, const std::function<void(hid_t)>& change) {
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    change(file);
    H5Fclose(file);
}

// Puts attribute `name` in place of any there, of `type` and `dims` (none:
// a scalar), its value the bytes of `value` as `memory` (default: `type`)
// lays them out, which must be large enough.
void put_attribute(hid_t file, const char* name, hid_t type, std::vector<hsize_t> dims, const void* value,
                   hid_t memory = -1) {
    if (H5Aexists(file, name) > 0) H5Adelete(file, name);
    const hid_t space = dims.empty() ? H5Screate(H5S_SCALAR)
                                     : H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr);
    const hid_t attribute = H5Acreate2(file, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    ASSERT_GE(attribute, 0);
    ASSERT_GE(H5Awrite(attribute, memory < 0 ? type : memory, value), 0);
    H5Aclose(attribute);
    H5Sclose(space);
}

TEST(SegmentNames, TheWriterNamesSegmentsAndTheirAttributesByThem) {
    EXPECT_EQ(segment_path("side", 42), "side/000042" + std::string(names::kSuffix));
    TempDir dir;
    const std::string segment = minbar_segment(dir);
    std::vector<std::string> attributes;
    edit(segment, [&](hid_t file) {
        H5Aiterate2(file, H5_INDEX_NAME, H5_ITER_INC, nullptr,
                    [](hid_t, const char* name, const H5A_info_t*, void* out) -> herr_t {
                        static_cast<std::vector<std::string>*>(out)->push_back(name);
                        return 0;
                    },
                    &attributes);
    });
    EXPECT_EQ(attributes, (std::vector<std::string>{names::kCutDataRow, names::kCutIndexRow, names::kDataRows,
                                                    names::kIndexRows}));
}

TEST(SegmentFacts, AMinuteBarSegmentGivesItsCutsAndMembers) {
    TempDir dir;
    const SegmentFacts facts = segment_facts(minbar_segment(dir));
    EXPECT_EQ(facts.kind, SegmentFacts::Kind::minbar);
    EXPECT_EQ(facts.cut_data_row, 240u);
    EXPECT_EQ(facts.cut_index_row, 1u);
    EXPECT_EQ(facts.members, (std::vector<std::string>{"data", "index"}));
    EXPECT_TRUE(facts.days.empty());
}

TEST(SegmentFacts, ATickSegmentGivesItsDaysInOrder) {
    TempDir dir;
    const std::string path = dir.path("ticks.h5");
    const SideStore side{dir.path("side"), false};
    const auto ticks = testing::equity_bars(20);
    {
        File file(path);
        for (const char* day : {"20240105", "20240102", "20240103"}) write_day(file, day, testing::view(ticks));
        file.close();
    }
    File file(path);
    revise_days(file, {DayRecords{"20240105", testing::view(ticks)}, DayRecords{"20240102", testing::view(ticks)}},
                side);
    file.close();
    const SegmentFacts facts = segment_facts(segment_path(side.directory, 1));
    EXPECT_EQ(facts.kind, SegmentFacts::Kind::tick);
    EXPECT_EQ(facts.days, (std::vector<std::string>{"20240102", "20240105"}));
    EXPECT_EQ(facts.members, facts.days);
}

// Narrower and other-endian integers are still one non-negative integer.
TEST(SegmentFacts, ACutOfAnyIntegerTypeReadsAsItsValue) {
    TempDir dir;
    const std::string segment = minbar_segment(dir);
    const std::uint8_t small = 7;
    const std::int32_t big_endian = 300;
    edit(segment, [&](hid_t file) {
        put_attribute(file, names::kCutDataRow, H5T_NATIVE_UINT8, {}, &small);
        put_attribute(file, names::kCutIndexRow, H5T_STD_I32BE, {}, &big_endian, H5T_NATIVE_INT32);
    });
    const SegmentFacts facts = segment_facts(segment);
    EXPECT_EQ(facts.cut_data_row, 7u);
    EXPECT_EQ(facts.cut_index_row, 300u);
}

struct Hostile {
    const char* label;
    std::function<void(hid_t)> change;
    const char* said;  // a piece of the message
};

void PrintTo(const Hostile& hostile, std::ostream* out) { *out << hostile.label; }

class HostileSegment : public ::testing::TestWithParam<Hostile> {};

// Each is an HDF5 file, refused as no segment; the arrays are larger than the
// one value a cut is read into (a read of them would run past it).
TEST_P(HostileSegment, IsRefusedAsDamagedNamingTheFileAndTheFault) {
    TempDir dir;
    const std::string segment = minbar_segment(dir);
    edit(segment, GetParam().change);
    try {
        segment_facts(segment);
        FAIL() << "no error";
    } catch (const DamagedFileError& error) {
        const std::string what = error.what();
        EXPECT_NE(what.find(segment), std::string::npos) << what;
        EXPECT_NE(what.find(GetParam().said), std::string::npos) << what;
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
    }
}

const std::int64_t kValues[64] = {5, 6, 7};
const double kFloat = 3.0;
const std::int64_t kNegative = -1;
const std::uint64_t kHuge = UINT64_MAX;

INSTANTIATE_TEST_SUITE_P(
    Segment, HostileSegment,
    ::testing::Values(
        Hostile{"no_cut_attributes",
                [](hid_t file) {
                    H5Adelete(file, names::kCutDataRow);
                    H5Adelete(file, names::kCutIndexRow);
                },
                "neither the cut attributes"},
        Hostile{"one_cut_attribute", [](hid_t file) { H5Adelete(file, names::kCutIndexRow); },
                "but not 'cut_index_row'"},
        Hostile{"float_cut",
                [](hid_t file) { put_attribute(file, names::kCutDataRow, H5T_NATIVE_DOUBLE, {}, &kFloat); },
                "is not a 64-bit (or narrower) integer"},
        Hostile{"array_cut",
                [](hid_t file) { put_attribute(file, names::kCutDataRow, H5T_NATIVE_INT64, {64}, kValues); },
                "is not a single value"},
        Hostile{"one_element_array_cut",
                [](hid_t file) { put_attribute(file, names::kCutIndexRow, H5T_NATIVE_INT64, {1}, kValues); },
                "is not a single value"},
        Hostile{"wide_integer_cut",
                [](hid_t file) {
                    const hid_t wide = H5Tcopy(H5T_STD_I64LE);
                    H5Tset_size(wide, 32);
                    put_attribute(file, names::kCutDataRow, wide, {}, kValues);
                    H5Tclose(wide);
                },
                "is not a 64-bit (or narrower) integer"},
        Hostile{"string_cut",
                [](hid_t file) {
                    const hid_t text = H5Tcopy(H5T_C_S1);
                    H5Tset_size(text, 64);
                    put_attribute(file, names::kCutDataRow, text, {}, kValues);
                    H5Tclose(text);
                },
                "is not a 64-bit (or narrower) integer"},
        Hostile{"negative_cut",
                [](hid_t file) { put_attribute(file, names::kCutDataRow, H5T_NATIVE_INT64, {}, &kNegative); },
                "is negative"},
        Hostile{"unsigned_cut_past_int64",
                [](hid_t file) { put_attribute(file, names::kCutIndexRow, H5T_NATIVE_UINT64, {}, &kHuge); },
                "is out of range"},
        Hostile{"no_index", [](hid_t file) { H5Ldelete(file, "index", H5P_DEFAULT); }, "it holds no \"index\""},
        Hostile{"data_a_group",
                [](hid_t file) {
                    H5Ldelete(file, "data", H5P_DEFAULT);
                    H5Gclose(H5Gcreate2(file, "data", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
                },
                "its member 'data' is not a dataset"}),
    [](const ::testing::TestParamInfo<Hostile>& info) { return std::string(info.param.label); });

TEST(SegmentFacts, AFileThatIsNoSegmentIsRefusedByKind) {
    TempDir dir;
    testing::write_bytes(dir.path("junk.h5"), std::string(4096, 'x'));
    EXPECT_THROW(segment_facts(dir.path("junk.h5")), NotBundleFileError);
    try {
        segment_facts(dir.path("absent.h5"));
        FAIL() << "no error";
    } catch (const DamagedFileError&) {
        FAIL() << "an absent file is not damaged";
    } catch (const FileError& error) {
        EXPECT_NE(std::string(error.what()).find("absent.h5"), std::string::npos) << error.what();
    }
    EXPECT_THROW(segment_facts(dir.path("")), FileError);  // the directory itself
    // HDF5, but with nothing of a segment: members that are no day's.
    {
        File other(dir.path("other.h5"));
        write_day(other, "2024013", testing::view(testing::equity_bars(3)));
        write_day(other, "20240230", testing::view(testing::equity_bars(3)));
        other.close();
    }
    EXPECT_THROW(segment_facts(dir.path("other.h5")), DamagedFileError);
}

TEST(SegmentFacts, DayNamesAreRealDatesOfEightDigits) {
    for (const char* day : {"20240229", "20000229", "19991231", "20240101"}) EXPECT_TRUE(is_day_name(day)) << day;
    for (const char* name : {"20230229", "19000229", "20241301", "20240100", "20240431", "2024010a", "2024011",
                             "202401011", "", "data", "+2024010"}) {
        EXPECT_FALSE(is_day_name(name)) << name;
    }
}

}  // namespace
}  // namespace corvane
