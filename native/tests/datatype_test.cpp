#include "corvane/datatype.hpp"
#include "corvane/error.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

namespace corvane {
namespace {

RecordLayout tick_like_layout() {
    // Odd offsets, a gap after "flag" and trailing padding.
    return RecordLayout({{"date", FieldType::u32, 0},
                         {"flag", FieldType::i8, 4},
                         {"price", FieldType::f64, 7},
                         {"volume", FieldType::i64, 15},
                         {"ratio", FieldType::f32, 23},
                         {"level", FieldType::u16, 27}},
                        40);
}

TEST(Datatype, RoundTripsLayoutsWithGapsAndPadding) {
    for (const RecordLayout& layout : {tick_like_layout(), equities_layout(),
                                       derivatives_layout(), index_layout()}) {
        const Datatype type = Datatype::from_layout(layout);
        EXPECT_EQ(H5Tget_size(type.handle().get()), layout.itemsize());
        EXPECT_EQ(type.layout(), layout) << layout.describe();
    }
}

TEST(Datatype, MembersAreLittleEndian) {
    const Datatype type = Datatype::from_layout(tick_like_layout());
    for (unsigned i = 0; i < 6; ++i) {
        const hid_t member = H5Tget_member_type(type.handle().get(), i);
        if (H5Tget_size(member) > 1) {
            EXPECT_EQ(H5Tget_order(member), H5T_ORDER_LE) << i;
        }
        H5Tclose(member);
    }
}

TEST(Datatype, ReadsABigEndianStoredTypeAsItsLittleEndianLayout) {
    Handle stored(H5Tcreate(H5T_COMPOUND, 12), H5Tclose);
    H5Tinsert(stored.get(), "a", 0, H5T_STD_I32BE);
    H5Tinsert(stored.get(), "b", 4, H5T_IEEE_F64BE);
    EXPECT_EQ(Datatype(std::move(stored)).layout(),
              RecordLayout({{"a", FieldType::i32, 0}, {"b", FieldType::f64, 4}}, 12));
}

TEST(Datatype, RefusesAStoredStringMemberByName) {
    Handle text(H5Tcopy(H5T_C_S1), H5Tclose);
    H5Tset_size(text.get(), 8);
    Handle stored(H5Tcreate(H5T_COMPOUND, 16), H5Tclose);
    H5Tinsert(stored.get(), "code", 0, text.get());
    H5Tinsert(stored.get(), "price", 8, H5T_IEEE_F64LE);
    try {
        Datatype(std::move(stored)).layout();
        FAIL() << "a string member was accepted";
    } catch (const LayoutError& e) {
        EXPECT_NE(std::string(e.what()).find("'code'"), std::string::npos) << e.what();
    }
}

TEST(Datatype, RefusesANonCompoundStoredType) {
    Handle stored(H5Tcopy(H5T_STD_I64LE), H5Tclose);
    EXPECT_THROW(Datatype(std::move(stored)).layout(), LayoutError);
}

}  // namespace
}  // namespace corvane
