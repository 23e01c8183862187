#include "corvane/error.hpp"
#include "corvane/handle.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <cerrno>
#include <exception>
#include <string>
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

TEST(ErrorPrintingOff, NestedGuardsKeepItOffUntilTheOutermostEndsThenRestoreIt) {
    H5E_auto2_t before = nullptr;
    void* data = nullptr;
    H5Eget_auto2(H5E_DEFAULT, &before, &data);
    ASSERT_NE(before, nullptr);
    const auto now = [] {
        H5E_auto2_t func = nullptr;
        void* its_data = nullptr;
        H5Eget_auto2(H5E_DEFAULT, &func, &its_data);
        return func;
    };
    {
        ErrorPrintingOff outer;
        {
            ErrorPrintingOff inner;
            EXPECT_EQ(now(), nullptr);
        }
        EXPECT_EQ(now(), nullptr);  // the inner guard restores nothing while the outer one lives
    }
    EXPECT_EQ(now(), before);
    // Off already when the guard starts: it leaves it off.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    { ErrorPrintingOff quiet; }
    EXPECT_EQ(now(), nullptr);
    H5Eset_auto2(H5E_DEFAULT, before, data);
}

TEST(Hdf5ErrorMessage, IsTakenOnceAndClearsTheStack) {
    ErrorPrintingOff quiet;
    EXPECT_LT(H5Fopen("/nonexistent-dir/x.h5", H5F_ACC_RDONLY, H5P_DEFAULT), 0);
    const std::string message = take_hdf5_error_message();
    EXPECT_NE(message.find("unable to open file"), std::string::npos) << message;
    EXPECT_EQ(take_hdf5_error_message(), "");
}

// One record on HDF5's stack, as a failing library call would leave it.
void push(hid_t minor, const char* description) {
    H5Epush2(H5E_DEFAULT, __FILE__, "test", __LINE__, H5E_ERR_CLS, H5E_FILE, minor, "%s", description);
}

template <class E>
std::exception_ptr thrown(const char* context) {
    try {
        throw_with_hdf5_message<E>(context);
    } catch (...) {
        return std::current_exception();
    }
}

TEST(Hdf5Failure, NamesTheKindOfFileFailure) {
    ErrorPrintingOff quiet;
    push(H5E_NOTHDF5, "file signature not found");
    EXPECT_THROW(std::rethrow_exception(thrown<FileError>("open")), NotBundleFileError);
    push(H5E_TRUNCATED, "truncated file: eof = 3000");
    EXPECT_THROW(std::rethrow_exception(thrown<FileError>("open")), DamagedFileError);
    push(H5E_WRITEERROR, "file write failed: errno = 28, error message = 'No space left on device'");
    EXPECT_THROW(std::rethrow_exception(thrown<IoError>("write")), OutOfSpaceError);
    push(H5E_CANTOPENFILE, "unable to open file");
    try {
        std::rethrow_exception(thrown<FileError>("open"));
    } catch (const FileError& e) {
        EXPECT_EQ(std::string(e.what()), "open (unable to open file)");
        EXPECT_EQ(dynamic_cast<const NotBundleFileError*>(&e), nullptr);
        EXPECT_EQ(dynamic_cast<const DamagedFileError*>(&e), nullptr);
    }
    // Other callers keep the class they asked for, whatever the stack says.
    push(H5E_NOTHDF5, "file signature not found");
    EXPECT_THROW(std::rethrow_exception(thrown<LayoutError>("read")), LayoutError);
}

TEST(Hdf5Failure, AnErrorKeepsWhatFailedAndTheRootCauseApartFromItsText) {
    ErrorPrintingOff quiet;
    // The innermost function pushes first.
    push(H5E_NOTHDF5, "file signature not found");
    push(H5E_CANTOPENFILE, "unable to read superblock");
    push(H5E_CANTOPENFILE, "unable to open file");
    try {
        std::rethrow_exception(thrown<FileError>("unable to open file 'a (1).h5'"));
        FAIL() << "nothing thrown";
    } catch (const FileError& e) {
        EXPECT_EQ(std::string(e.what()), "unable to open file 'a (1).h5' (unable to open file: "
                                         "unable to read superblock: file signature not found)");
        EXPECT_EQ(e.context(), "unable to open file 'a (1).h5'");
        EXPECT_EQ(e.cause(), "file signature not found");
        EXPECT_EQ(e.consequence(), "");
        EXPECT_EQ(root_cause(e), "file signature not found");
    }
    // An empty stack: no cause, the text is the context alone.
    try {
        std::rethrow_exception(thrown<IoError>("read"));
    } catch (const IoError& e) {
        EXPECT_EQ(std::string(e.what()), "read");
        EXPECT_EQ(e.cause(), "");
        EXPECT_EQ(root_cause(e), "read");
    }
    const IoError undone("unable to write file 'x.h5'", "write failed: disk full", "disk full",
                         "this call's changes were undone", ENOSPC);
    EXPECT_EQ(std::string(undone.what()),
              "unable to write file 'x.h5' (write failed: disk full); this call's changes were undone");
    EXPECT_EQ(undone.consequence(), "this call's changes were undone");
    EXPECT_EQ(undone.error_number(), ENOSPC);
    const Error plain("no such member 'x'");
    EXPECT_EQ(plain.context(), "no such member 'x'");
    EXPECT_EQ(plain.cause(), "");
}

TEST(Hdf5Failure, AnIoErrorCarriesTheErrnoOfItsFailure) {
    ErrorPrintingOff quiet;
    push(H5E_READERROR, "file read failed: errno = 5, error message = 'Input/output error'");
    try {
        std::rethrow_exception(thrown<IoError>("read"));
        FAIL() << "nothing thrown";
    } catch (const OutOfSpaceError&) {
        FAIL() << "EIO is not a full disk";
    } catch (const IoError& e) {
        EXPECT_EQ(e.error_number(), EIO);
    }
    errno = EACCES;
    EXPECT_EQ(IoError("cannot write").error_number(), EACCES);
    EXPECT_EQ(IoError("cannot write", 0).error_number(), 0);
}

}  // namespace
}  // namespace corvane
