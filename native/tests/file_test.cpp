#include "corvane/dataset.hpp"
#include "corvane/error.hpp"
#include "corvane/file.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <string>

namespace corvane {
namespace {

using testing::TempDir;

ssize_t open_objects() { return H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL); }

TEST(File, CreatesAnAbsentFileAndReopensIt) {
    TempDir dir;
    const std::string path = dir.path("new.h5");
    {
        File file(path);
        EXPECT_TRUE(file.is_open());
        EXPECT_TRUE(file.members().empty());
        Dataset::create(file, "x", testing::view(testing::day_index({1}, 20240102)));
        file.close();
    }
    EXPECT_GT(H5Fis_hdf5(path.c_str()), 0);
    File again(path);
    EXPECT_EQ(again.members(), std::vector<std::string>{"x"});
}

TEST(File, RefusesAForeignFileAndLeavesItByteForByte) {
    TempDir dir;
    for (const std::string& content : {std::string("not an HDF5 file\n"), std::string()}) {
        const std::string path = dir.path("foreign.h5");
        testing::write_bytes(path, content);
        try {
            File file(path);
            FAIL() << "a foreign file was opened";
        } catch (const FileError& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find(path), std::string::npos) << message;
            EXPECT_NE(message.find("signature"), std::string::npos) << message;
        }
        EXPECT_EQ(testing::read_bytes(path), content);
        EXPECT_EQ(open_objects(), 0);
    }
}

TEST(File, FailsInAMissingDirectoryWithoutCreatingIt) {
    TempDir dir;
    const std::string path = dir.path("missing/x.h5");
    EXPECT_THROW(File{path}, FileError);
    EXPECT_FALSE(testing::exists(dir.path("missing")));
    EXPECT_EQ(open_objects(), 0);
}

TEST(File, CloseAndAbortAreIdempotentAndEndTheFile) {
    TempDir dir;
    File file(dir.path("a.h5"));
    file.close();
    file.close();
    file.abort();
    EXPECT_FALSE(file.is_open());
    EXPECT_THROW(file.members(), ArgumentError);
    EXPECT_EQ(open_objects(), 0);

    File other(dir.path("b.h5"));
    // A dataset left open does not keep the file open past abort().
    Dataset forgotten = Dataset::create(other, "x", testing::view(testing::equity_bars(3)));
    other.abort();
    other.abort();
    EXPECT_EQ(open_objects(), 0);
}

TEST(File, ListsMembersInTextOrderAndRemovesThem) {
    TempDir dir;
    File file(dir.path("a.h5"));
    const auto ticks = testing::day_index({1}, 20240102);
    for (const char* name : {"20240105", "20240103", "index", "20240104", "data"}) {
        Dataset::create(file, name, testing::view(ticks));
    }
    EXPECT_EQ(file.members(),
              (std::vector<std::string>{"20240103", "20240104", "20240105", "data", "index"}));
    EXPECT_TRUE(file.contains("data"));
    file.remove("data");
    EXPECT_FALSE(file.contains("data"));
    EXPECT_THROW(file.remove("data"), NotFound);
    EXPECT_EQ(file.members().size(), 4u);
}

TEST(File, NamesThatCannotBeRootMembersAreNeverContained) {
    TempDir dir;
    File file(dir.path("a.h5"));
    for (const char* name : {"", ".", "a/b", "/", "data/x"}) {
        EXPECT_FALSE(file.contains(name)) << name;
        EXPECT_THROW(file.remove(name), NotFound) << name;
    }
}

}  // namespace
}  // namespace corvane
