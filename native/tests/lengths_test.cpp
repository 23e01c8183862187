#include "corvane/dataset.hpp"
#include "corvane/error.hpp"
#include "corvane/file.hpp"
#include "corvane/lengths.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <map>
#include <string>

namespace corvane {
namespace {

using testing::TempDir;

std::string bundle_file(const TempDir& dir) {
    const std::string path = dir.path("x.h5");
    File file(path);
    Dataset::create(file, "data", testing::view(testing::equity_bars(7)));
    Dataset::create(file, "index", testing::view(testing::day_index({4, 3}, 20240102)));
    Dataset::create(file, "empty", testing::view(testing::equity_bars(0)));
    file.close();
    // A member that is not a dataset is left out.
    const hid_t h5 = H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    H5Gclose(H5Gcreate2(h5, "group", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    H5Fclose(h5);
    return path;
}

TEST(DatasetLengths, GivesEveryRootDatasetWithoutWritingOrBlockingAWriter) {
    TempDir dir;
    const std::string path = bundle_file(dir);
    const std::string before = testing::read_bytes(path);
    const std::map<std::string, std::size_t> expected{{"data", 7}, {"empty", 0}, {"index", 2}};
    EXPECT_EQ(dataset_lengths(path), expected);
    EXPECT_EQ(testing::read_bytes(path), before);
    // Beside a writer (which the call did not block): the file before the writing call.
    File writer(path);
    writer.begin_writing();
    Dataset::open(writer, "data").append(testing::view(testing::equity_bars(5, 7)));
    EXPECT_EQ(dataset_lengths(path), expected);
    writer.close();
    EXPECT_EQ(dataset_lengths(path).at("data"), 12u);
}

TEST(DatasetLengths, RefusesAnAbsentOrForeignFileNamingIt) {
    TempDir dir;
    testing::write_bytes(dir.path("foreign.h5"), "not an HDF5 file\n");
    for (const char* name : {"absent.h5", "foreign.h5"}) {
        const std::string path = dir.path(name);
        try {
            dataset_lengths(path);
            FAIL() << "no error for " << name;
        } catch (const NotBundleFileError& e) {
            // HDF5's reason is still there to read: the open's property list outlives its failure.
            EXPECT_EQ(std::string(name), "foreign.h5") << e.what();
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        } catch (const FileError& e) {
            EXPECT_EQ(std::string(name), "absent.h5") << e.what();
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
    }
    EXPECT_FALSE(testing::exists(dir.path("absent.h5")));
}

}  // namespace
}  // namespace corvane
