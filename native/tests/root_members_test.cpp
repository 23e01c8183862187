#include "corvane/dataset.hpp"
#include "corvane/error.hpp"
#include "corvane/file.hpp"
#include "corvane/reader.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <hdf5.h>

#include <cstdint>
#include <string>

namespace corvane {
namespace {

using testing::TempDir;

std::string tick_file(const TempDir& dir) {
    const std::string path = dir.path("ticks.h5");
    File file(path);
    for (const char* day : {"20250102", "20250103", "20250106"}) {
        Dataset::create(file, day, testing::view(testing::equity_bars(5)));
    }
    file.close();
    return path;
}

// `old` renamed `replacement` in the file's bytes, where HDF5 checks nothing.
void rename_in_bytes(const std::string& path, const std::string& old, const std::string& replacement) {
    std::string bytes = testing::read_bytes(path);
    const std::size_t at = bytes.find(old);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(bytes.find(old, at + 1), std::string::npos);
    bytes.replace(at, old.size(), replacement);
    testing::write_bytes(path, bytes);
}

// The version of message `type` in the (version 1, unchecksummed) object
// header of `member` set to `version`, as a newer HDF5 might write it.
void set_message_version(const std::string& path, const std::string& member, unsigned type, unsigned version) {
    const hid_t h5 = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    H5O_info_t info{};
    ASSERT_GE(H5Oget_info_by_name2(h5, member.c_str(), &info, H5O_INFO_BASIC, H5P_DEFAULT), 0);
    H5Fclose(h5);
    std::string bytes = testing::read_bytes(path);
    ASSERT_EQ(bytes[info.addr], 1) << "a version 1 object header";
    // A 16-byte prefix, then messages of an 8-byte header: type, size, flags, reserved.
    std::size_t at = info.addr + 16;
    const std::size_t count = static_cast<unsigned char>(bytes[info.addr + 2]);
    for (std::size_t k = 0; k < count && at + 8 < bytes.size(); ++k) {
        const unsigned kind = static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
        const std::size_t size = static_cast<unsigned char>(bytes[at + 2]) |
                                 static_cast<unsigned char>(bytes[at + 3]) << 8;
        if (kind == type) {
            // The datatype message keeps its version in the high nibble, the layout in a byte.
            char& first = bytes[at + 8];
            first = type == 3 ? static_cast<char>((version << 4) | (first & 0x0f)) : static_cast<char>(version);
            testing::write_bytes(path, bytes);
            return;
        }
        at += 8 + size;
    }
    FAIL() << "no message of type " << type << " in '" << member << "'";
}

TEST(RootMembers, ListsNamesInByteOrder) {
    TempDir dir;
    const std::string path = tick_file(dir);
    const std::vector<std::string> expected{"20250102", "20250103", "20250106"};
    EXPECT_EQ(ReadOnlyFile(path).members(), expected);
    EXPECT_EQ(File(path).members(), expected);
}

TEST(RootMembers, TwoMembersOfOneNameMakeADamagedFileNamingTheName) {
    for (const char* old : {"20250106", "20250102"}) {
        TempDir dir;
        const std::string path = tick_file(dir);
        rename_in_bytes(path, old, "20250103");
        const std::string says = "'" + path + "' is damaged: two of its members are named '20250103'";
        try {
            ReadOnlyFile(path).members();
            FAIL() << "no error after renaming " << old;
        } catch (const DamagedFileError& e) {
            EXPECT_EQ(e.what(), says);
        }
        EXPECT_THROW(File(path).members(), DamagedFileError);
    }
}

#if defined(__SANITIZE_ADDRESS__)
// HDF5 1.10.8 itself keeps one allocation when it refuses a message version it
// does not know; the leak check leaves that call's allocations out.
struct Hdf5KeepsOne {
    Hdf5KeepsOne() { __lsan_disable(); }
    ~Hdf5KeepsOne() { __lsan_enable(); }
};
#else
struct Hdf5KeepsOne {};
#endif

TEST(RootMembers, AMemberInAFormatNewerThanHdf5ReadsIsRefusedAsSuchNotAsNoDataset) {
    // The datatype's and the layout's messages: what HDF5 2's newest format changes.
    for (const unsigned type : {3u, 8u}) {
        TempDir dir;
        const std::string path = tick_file(dir);
        set_message_version(path, "20250103", type, 5);
        ReadOnlyFile file(path);
        EXPECT_NO_THROW(file.dataset("20250102"));
        try {
            [[maybe_unused]] const Hdf5KeepsOne refused;
            file.dataset("20250103");
            FAIL() << "no error for message type " << type;
        } catch (const NewerFormatError& e) {
            const std::string what = e.what();
            EXPECT_EQ(what.find("member '20250103' in '" + path +
                                "' is stored in a newer HDF5 format than corvane reads or writes (HDF5 1.10"),
                      0u) << what;
            EXPECT_NE(what.find("bad version number for"), std::string::npos) << what;
            EXPECT_NE(what.find("corvane writes HDF5 1.10's format and older"), std::string::npos) << what;
        }
    }
}

TEST(RootMembers, AGroupIsNoDatasetAndAnAbsentNameIsNotFound) {
    TempDir dir;
    const std::string path = tick_file(dir);
    const hid_t h5 = H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    H5Gclose(H5Gcreate2(h5, "group", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    H5Fclose(h5);
    ReadOnlyFile file(path);
    EXPECT_THROW(file.dataset("group"), LayoutError);
    EXPECT_THROW(file.dataset("20250107"), NotFound);
}

}  // namespace
}  // namespace corvane
