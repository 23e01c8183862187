#include "corvane/dataset.hpp"
#include "corvane/chunking.hpp"
#include "corvane/error.hpp"
#include "corvane/failpoint.hpp"
#include "corvane/file.hpp"
#include "corvane/failpoint.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <hdf5.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace corvane {
namespace {

using testing::TempDir;

// Objects that keep a file open. (A Dataset keeps its record type, an
// in-memory datatype that HDF5 would count too, until it is destroyed.)
ssize_t open_objects() {
    return H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_FILE | H5F_OBJ_DATASET | H5F_OBJ_GROUP | H5F_OBJ_ATTR);
}

// Rows of dataset `name` as HDF5's own default driver reads them.
hssize_t rows_read_by_plain_hdf5(const std::string& path, const char* name) {
    const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0) return -1;
    const hid_t dataset = H5Dopen2(file, name, H5P_DEFAULT);
    const hid_t space = dataset < 0 ? -1 : H5Dget_space(dataset);
    const hssize_t rows = space < 0 ? -1 : H5Sget_simple_extent_npoints(space);
    if (space >= 0) H5Sclose(space);
    if (dataset >= 0) H5Dclose(dataset);
    H5Fclose(file);
    return rows;
}


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
        EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"foreign.h5"});  // no journal
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

TEST(File, ANewFileAppearsCompleteAtCloseAndNotBefore) {
    TempDir dir;
    const std::string path = dir.path("new.h5");
    File file(path, true);
    Dataset::create(file, "x", testing::view(testing::equity_bars(3000)));
    EXPECT_EQ(testing::names_in(dir.path("")),
              (std::vector<std::string>{".new.h5.lock", ".new.h5.tmp"}));
    file.close();
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"new.h5"});
    EXPECT_EQ(rows_read_by_plain_hdf5(path, "x"), 3000);
}

TEST(File, ANewFileWithoutMembersIsStillAFile) {
    TempDir dir;
    File(dir.path("empty.h5")).close();
    EXPECT_GT(H5Fis_hdf5(dir.path("empty.h5").c_str()), 0);
    EXPECT_TRUE(File(dir.path("empty.h5")).members().empty());
}

TEST(File, AbortOrDestructionOfANewFileLeavesNothing) {
    TempDir dir;
    File aborted(dir.path("a.h5"));
    Dataset::create(aborted, "x", testing::view(testing::equity_bars(30)));
    aborted.abort();
    {
        File dropped(dir.path("b.h5"));
        Dataset::create(dropped, "x", testing::view(testing::equity_bars(30)));
    }
    EXPECT_TRUE(testing::names_in(dir.path("")).empty());
    EXPECT_EQ(open_objects(), 0);
}

class ExistingFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        File file(path);
        Dataset::create(file, "data", testing::view(testing::equity_bars(2500)));
        file.close();
        before = testing::read_bytes(path);
    }

    // Grows "data", adds a member and removes one: in-place rewrites of
    // HDF5's metadata as well as growth.
    void change(File& file) {
        file.begin_writing();
        Dataset::open(file, "data").append(testing::view(testing::equity_bars(700, 2500)));
        Dataset::create(file, "more", testing::view(testing::equity_bars(40)));
        file.remove("more");
        Dataset::create(file, "index", testing::view(testing::day_index({240, 240}, 20240102)));
    }

    TempDir dir;
    const std::string path = dir.path("x.h5");
    std::string before;
};

TEST_F(ExistingFileTest, AbortPutsTheFileBackByteForByte) {
    File file(path);
    change(file);
    EXPECT_TRUE(testing::exists(dir.path(".x.h5.journal")));
    file.abort();
    EXPECT_TRUE(testing::read_bytes(path) == before);
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
}

TEST_F(ExistingFileTest, CloseKeepsTheChangesAndRemovesTheJournal) {
    for (const bool durable : {false, true}) {
        File file(path, durable);
        change(file);
        file.close();
        EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
        EXPECT_EQ(rows_read_by_plain_hdf5(path, "data"), 3200);
        EXPECT_EQ(rows_read_by_plain_hdf5(path, "index"), 2);
        std::filesystem::remove(path);
        SetUp();
    }
}

TEST_F(ExistingFileTest, AKilledWriterIsUndoneByTheNextOpen) {
    ASSERT_EQ(0, testing::in_dying_child([&] {
        File file(path);
        change(file);
        // HDF5 writes some of it now, the rest it would write at close.
        H5Fflush(file.handle().get(), H5F_SCOPE_GLOBAL);
        Dataset::open(file, "data").append(testing::view(testing::equity_bars(100, 3200)));
        ::_exit(0);
    }));
    ASSERT_FALSE(testing::read_bytes(path) == before);
    File file(path);
    EXPECT_EQ(file.members(), std::vector<std::string>{"data"});
    EXPECT_EQ(Dataset::open(file, "data").length(), 2500u);
    // Back to the bytes found at open, which are the bytes before the kill.
    file.abort();
    EXPECT_TRUE(testing::read_bytes(path) == before);
}

TEST_F(ExistingFileTest, AWriterDyingAmongItsOverwritesLeavesAFileReadersRefuseUntilUndone) {
    ASSERT_EQ(testing::in_dying_child([&] {
                  failpoint::die_once("guarded.apply");
                  File file(path);
                  change(file);
                  file.close();
                  ::_exit(0);
              }),
              100);  // killed
    EXPECT_TRUE(testing::exists(dir.path(".x.h5.journal")));
    {
        ErrorPrintingOff quiet;
        EXPECT_LE(H5Fis_hdf5(path.c_str()), 0);  // no half-updated file opens
    }
    File file(path);  // the next open undoes it
    EXPECT_EQ(Dataset::open(file, "data").length(), 2500u);
    file.close();
    EXPECT_TRUE(testing::read_bytes(path) == before);
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
}

// Why `file` may not start writing; "" when it may (it then writes).
std::string refusal_to_write(File& file) {
    try {
        file.begin_writing();
    } catch (const FileError& e) {
        return e.what();
    }
    return "";
}

TEST_F(ExistingFileTest, ASecondWriterIsRefusedWithAClearErrorAtItsFirstWrite) {
    File first(path);
    change(first);
    File second(path);  // reading is never refused
    EXPECT_EQ(Dataset::open(second, "data").length(), 2500u);
    const std::string busy = refusal_to_write(second);
    EXPECT_NE(busy.find("is being written by another process"), std::string::npos) << busy;
    first.close();
    EXPECT_EQ(rows_read_by_plain_hdf5(path, "data"), 3200);
    // The first writer's new version went beside the file the second one
    // holds: that one still reads what it opened, and cannot write over
    // the new version.
    EXPECT_EQ(Dataset::open(second, "data").length(), 2500u);
    const std::string stale = refusal_to_write(second);
    EXPECT_NE(stale.find("was changed by another process"), std::string::npos) << stale;
    second.close();
    EXPECT_EQ(rows_read_by_plain_hdf5(path, "data"), 3200);
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
}

// Wherever a full disk stops the call's writes (a file size limit at every
// 2 KiB past the original end: in the append, or in what HDF5 writes while
// closing), close() raises and the process lives on; the file is as before
// or as after, and no journal stays.
TEST_F(ExistingFileTest, AWriteLimitAnywhereRaisesFromCloseAndTheFileStaysWhole) {
    std::size_t raised = 0;
    for (std::size_t room = 0; room <= 48 * 1024; room += 2048) {
        const int status = testing::in_dying_child([&] {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{before.size() + room, RLIM_INFINITY};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            File file(path);
            try {
                change(file);
            } catch (const IoError&) {
                // The documented case: close() after a failed write.
            }
            try {
                file.close();
            } catch (const IoError& e) {
                ::_exit(std::string(e.what()).find(path) == std::string::npos ? 2 : 1);
            }
            ::_exit(0);
        });
        ASSERT_TRUE(status == 0 || status == 1) << "room " << room << ": exit status " << status;
        EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"}) << room;
        if (status == 1) {
            ++raised;
            EXPECT_TRUE(testing::read_bytes(path) == before) << room;
        } else {
            EXPECT_EQ(rows_read_by_plain_hdf5(path, "data"), 3200) << room;
            testing::write_bytes(path, before);
        }
    }
    EXPECT_GT(raised, 3u);
}

// The directory flush after a durable new file was renamed into place fails:
// the file keeps its records and opens again.
TEST(File, ADurableNewFileWhoseDirectoryCannotBeFlushedStaysInPlace) {
    TempDir dir;
    const std::string path = dir.path("new.h5");
    File file(path, true);
    Dataset::create(file, "x", testing::view(testing::equity_bars(300)));
    failpoint::fail_once("sync.directory");
    try {
        file.close();
        FAIL() << "a failed directory flush went unreported";
    } catch (const IoError& e) {
        EXPECT_NE(std::string(e.what()).find("power loss"), std::string::npos) << e.what();
    }
    failpoint::clear();
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"new.h5"});
    EXPECT_EQ(rows_read_by_plain_hdf5(path, "x"), 300);
    File again(path, true);
    EXPECT_EQ(Dataset::open(again, "x").length(), 300u);
}

// What an earlier call that was not durable left in the page cache is
// flushed before a durable call journals any of it as original bytes: the
// first flush of a durable call on an existing file is the file's own.
TEST_F(ExistingFileTest, ADurableCallFlushesTheFileBeforeJournallingIt) {
    File earlier(path);
    change(earlier);
    earlier.close();
    {
        File first_write_fails(path, true);
        failpoint::fail_once("sync.data");
        EXPECT_THROW(first_write_fails.begin_writing(), Error);
        failpoint::clear();
        EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
    }
    File durable(path, true);
    durable.begin_writing();
    Dataset::open(durable, "data").append(testing::view(testing::equity_bars(10, 3200)));
    durable.close();
    EXPECT_EQ(rows_read_by_plain_hdf5(path, "data"), 3210);
}

// A foreign file's chunk size is read from the file: a dataset in chunks
// larger than the engine handles is refused before any chunk is read.
TEST(File, DatasetsWithHugeChunksAreRefusedWithTheirChunkSize) {
    TempDir dir;
    const std::string path = dir.path("foreign.h5");
    {
        const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
        const hsize_t rows[1] = {240};
        const hsize_t unlimited[1] = {H5S_UNLIMITED};
        const hsize_t chunk[1] = {(hsize_t{1} << 31) / 8};  // 2 GiB of int64
        const hid_t space = H5Screate_simple(1, rows, unlimited);
        const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
        H5Pset_chunk(dcpl, 1, chunk);
        const hid_t dataset =
            H5Dcreate2(file, "big", H5T_STD_I64LE, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
        ASSERT_GE(dataset, 0);
        H5Dclose(dataset);
        H5Pclose(dcpl);
        H5Sclose(space);
        H5Fclose(file);
    }
    File file(path);
    try {
        Dataset::open(file, "big");
        FAIL() << "a 2 GiB chunk was accepted";
    } catch (const LayoutError& e) {
        EXPECT_NE(std::string(e.what()).find("chunks of 2147483648 bytes"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace corvane
