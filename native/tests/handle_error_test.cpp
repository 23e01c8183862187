#include "corvane/error.hpp"
#include "corvane/handle.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <utility>

namespace corvane {
namespace {

TEST(Handle, ClosesItsIdentifierWhenDestroyed) {
    hid_t id = -1;
    {
        Handle type(H5Tcopy(H5T_STD_I32LE), H5Tclose);
        id = type.get();
        EXPECT_GT(H5Iis_valid(id), 0);
    }
    EXPECT_LE(H5Iis_valid(id), 0);
}

TEST(Handle, MoveLeavesTheSourceEmptyAndClosesTheTargetsOldIdentifier) {
    Handle a(H5Tcopy(H5T_STD_I32LE), H5Tclose);
    Handle b(H5Tcopy(H5T_STD_I64LE), H5Tclose);
    const hid_t a_id = a.get();
    const hid_t b_id = b.get();
    b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(b.get(), a_id);
    EXPECT_LE(H5Iis_valid(b_id), 0);
    Handle c(std::move(b));
    EXPECT_FALSE(b);
    EXPECT_EQ(c.get(), a_id);
}

TEST(Handle, NegativeIdentifierGivesAnEmptyHandle) {
    Handle empty(-1, H5Tclose);
    EXPECT_FALSE(empty);
    EXPECT_TRUE(empty.close());
}

TEST(ErrorPrintingOff, SilencesAndRestoresHdf5Printing) {
    H5E_auto2_t before = nullptr;
    void* data = nullptr;
    H5Eget_auto2(H5E_DEFAULT, &before, &data);
    ASSERT_NE(before, nullptr);  // HDF5 prints by default.
    {
        ErrorPrintingOff quiet;
        H5E_auto2_t during = nullptr;
        H5Eget_auto2(H5E_DEFAULT, &during, &data);
        EXPECT_EQ(during, nullptr);
    }
    H5E_auto2_t after = nullptr;
    H5Eget_auto2(H5E_DEFAULT, &after, &data);
    EXPECT_EQ(after, before);
}

TEST(Hdf5ErrorMessage, IsTakenOnceAndClearsTheStack) {
    ErrorPrintingOff quiet;
    EXPECT_LT(H5Fopen("/nonexistent-dir/x.h5", H5F_ACC_RDONLY, H5P_DEFAULT), 0);
    const std::string message = take_hdf5_error_message();
    EXPECT_NE(message.find("unable to open file"), std::string::npos) << message;
    EXPECT_EQ(take_hdf5_error_message(), "");
}

}  // namespace
}  // namespace corvane
