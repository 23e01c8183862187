#include "corvane/error.hpp"
#include "corvane/layout.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane {
namespace {

struct Expected {
    const char* name;
    const char* code;
    std::size_t offset;
};

void expect_fields(const RecordLayout& layout, const std::vector<Expected>& expected,
                   std::size_t itemsize) {
    ASSERT_EQ(layout.fields().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(layout.fields()[i].name, expected[i].name);
        EXPECT_EQ(type_code(layout.fields()[i].type), expected[i].code) << expected[i].name;
        EXPECT_EQ(layout.fields()[i].offset, expected[i].offset) << expected[i].name;
    }
    EXPECT_EQ(layout.itemsize(), itemsize);
}

TEST(MinuteBarLayouts, EquitiesArePacked56ByteRecords) {
    expect_fields(equities_layout(),
                  {{"datetime", "<i8", 0}, {"open", "<f8", 8}, {"high", "<f8", 16},
                   {"low", "<f8", 24}, {"close", "<f8", 32}, {"volume", "<f8", 40},
                   {"total_turnover", "<f8", 48}},
                  56);
}

TEST(MinuteBarLayouts, DerivativesCarryIntegerOpenInterestBetweenCloseAndVolume) {
    expect_fields(derivatives_layout(),
                  {{"datetime", "<i8", 0}, {"open", "<f8", 8}, {"high", "<f8", 16},
                   {"low", "<f8", 24}, {"close", "<f8", 32}, {"open_interest", "<i8", 40},
                   {"volume", "<f8", 48}, {"total_turnover", "<f8", 56}},
                  64);
}

TEST(MinuteBarLayouts, IndexHoldsSignedDateAndUnsignedLineNumber) {
    expect_fields(index_layout(), {{"date", "<i4", 0}, {"line_no", "<u4", 4}}, 8);
}

TEST(TypeCodes, RoundTripForEveryFieldType) {
    for (FieldType t : {FieldType::i8, FieldType::i16, FieldType::i32, FieldType::i64,
                        FieldType::u8, FieldType::u16, FieldType::u32, FieldType::u64,
                        FieldType::f32, FieldType::f64}) {
        EXPECT_EQ(field_type_from_code(type_code(t)), t) << type_code(t);
    }
    EXPECT_EQ(type_code(FieldType::u8), "|u1");
    EXPECT_EQ(field_type_from_code("<i1"), FieldType::i8);
}

TEST(TypeCodes, RefuseBigEndianAndNonNumericCodes) {
    for (const char* code : {">i8", ">f8", "<f2", "<c16", "|b1", "<M8", "|S8", "", "<i3"}) {
        EXPECT_THROW(field_type_from_code(code), LayoutError) << code;
    }
}

TEST(RecordLayout, HonoursGapsAndTrailingPadding) {
    const RecordLayout layout({{"a", FieldType::u8, 0}, {"b", FieldType::f64, 3}}, 16);
    EXPECT_EQ(layout.itemsize(), 16u);
    EXPECT_EQ(layout.field("b").offset, 3u);
    EXPECT_THROW(layout.field("c"), NotFound);
}

struct BadLayout {
    const char* what;
    std::vector<Field> fields;
    std::size_t itemsize;
    const char* named;
};

class RefusedLayout : public ::testing::TestWithParam<BadLayout> {};

TEST_P(RefusedLayout, IsALayoutErrorNamingTheField) {
    const BadLayout& bad = GetParam();
    try {
        RecordLayout(bad.fields, bad.itemsize);
        FAIL() << bad.what << " accepted";
    } catch (const LayoutError& e) {
        EXPECT_NE(std::string(e.what()).find(bad.named), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RefusedLayout,
    ::testing::Values(
        BadLayout{"no fields", {}, 8, "at least one field"},
        BadLayout{"empty name", {{"", FieldType::i32, 0}}, 4, "no name"},
        BadLayout{"repeated name", {{"x", FieldType::i32, 0}, {"x", FieldType::i32, 4}}, 8, "'x'"},
        BadLayout{"past the end", {{"a", FieldType::i32, 0}, {"tail", FieldType::f64, 4}}, 8,
                  "'tail'"},
        BadLayout{"overlap", {{"a", FieldType::i64, 0}, {"b", FieldType::i32, 4}}, 16, "'b'"},
        BadLayout{"offset beyond itemsize", {{"far", FieldType::u8, 100}}, 8, "'far'"}));

TEST(RecordLayout, EqualityLooksAtNamesTypesOffsetsAndItemsize) {
    const RecordLayout base({{"a", FieldType::i32, 0}, {"b", FieldType::f32, 4}}, 8);
    EXPECT_EQ(base, RecordLayout({{"a", FieldType::i32, 0}, {"b", FieldType::f32, 4}}, 8));
    EXPECT_NE(base, RecordLayout({{"a", FieldType::i32, 0}, {"c", FieldType::f32, 4}}, 8));
    EXPECT_NE(base, RecordLayout({{"a", FieldType::i32, 0}, {"b", FieldType::u32, 4}}, 8));
    EXPECT_NE(base, RecordLayout({{"a", FieldType::i32, 0}, {"b", FieldType::f32, 8}}, 12));
    EXPECT_NE(base, RecordLayout({{"a", FieldType::i32, 0}, {"b", FieldType::f32, 4}}, 12));
    EXPECT_NE(base, RecordLayout({{"b", FieldType::f32, 4}, {"a", FieldType::i32, 0}}, 8));
}

}  // namespace
}  // namespace corvane
