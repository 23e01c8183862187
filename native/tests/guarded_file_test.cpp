#include "corvane/descriptor.hpp"
#include "corvane/error.hpp"
#include "corvane/file.hpp"
#include "corvane/guarded_file.hpp"
#include "corvane/journal.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace corvane {
namespace {

[[noreturn]] void die() { ::_exit(0); }

using testing::TempDir;

constexpr std::uint64_t kPage = GuardedFile::kPageSize;

std::string pattern(std::size_t size, char seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i % 23);
    return bytes;
}

void put(GuardedFile& file, std::uint64_t offset, const std::string& bytes) {
    file.write(offset, bytes.data(), bytes.size());
}


class GuardedFileTest : public ::testing::Test {
protected:
    void SetUp() override { testing::write_bytes(path, original); }

    TempDir dir;
    const std::string path = dir.path("x.h5");
    const std::string journal = Journal::path_for(path);
    const std::string original = pattern(10 * kPage + 100, 'a');
};

// HDF5 marks the superblock of a file it opens for writing and, at close,
// clears the mark and stamps the superblock extension's times. A call that
// only read must leave no trace of that: no writer lock, no byte written.
TEST_F(GuardedFileTest, HeldWritesWhileReadingTakeNoLockAndLastOnlyIfTheCallWrites) {
    auto file = GuardedFile::open(path, false);
    file->hold_writes_while_reading();
    put(*file, 10, "MARK");
    file->truncate(5 * kPage);  // HDF5 trimming to its end of allocation
    EXPECT_FALSE(file->is_writing());
    std::string seen(8, '\0');
    file->read(8, seen.data(), seen.size());
    EXPECT_EQ(seen, original.substr(8, 2) + "MARK" + original.substr(14, 2));
    {
        // Another writer may come and go meanwhile.
        auto other = GuardedFile::open(path, false);
        other->begin_write();
        other->roll_back();
    }
    file->commit();
    EXPECT_EQ(testing::read_bytes(path), original);
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});

    auto writing = GuardedFile::open(path, false);
    writing->hold_writes_while_reading();
    put(*writing, 10, "MARK");
    writing->begin_write();
    put(*writing, original.size(), "more");
    writing->commit();
    std::string expected = original + "more";
    expected.replace(10, 4, "MARK");
    EXPECT_EQ(testing::read_bytes(path), expected);
}

TEST_F(GuardedFileTest, OverwritesReachTheFileOnlyAtCommitOnceJournalled) {
    auto file = GuardedFile::open(path, false);
    EXPECT_FALSE(testing::exists(journal));  // nothing written yet
    put(*file, 100, "abc");
    put(*file, 200, "def");
    put(*file, 2 * kPage - 1, std::string(kPage + 2, 'm'));       // pages 1, 2 and 3
    put(*file, original.size() - 50, std::string(60, 'e'));          // page 10 and growth
    put(*file, original.size() + 30, "past the end");
    EXPECT_TRUE(testing::exists(journal));  // the original length is on record
    EXPECT_EQ(file->pending_pages(), 5u);
    EXPECT_EQ(file->journalled_pages(), 0u);
    std::string expected = original;
    expected.replace(100, 3, "abc");
    expected.replace(200, 3, "def");
    expected.replace(2 * kPage - 1, kPage + 2, std::string(kPage + 2, 'm'));
    expected.replace(original.size() - 50, 50, std::string(50, 'e'));
    expected += std::string(10, 'e') + std::string(20, '\0') + "past the end";
    // The original bytes on disk are untouched, the call reads its own writes.
    EXPECT_TRUE(testing::read_bytes(path).substr(0, original.size()) == original);
    std::string seen(expected.size(), '\0');
    file->read(0, seen.data(), seen.size());
    EXPECT_TRUE(seen == expected);
    EXPECT_EQ(file->size(), expected.size());

    file->commit();
    EXPECT_FALSE(testing::exists(journal));
    EXPECT_TRUE(testing::read_bytes(path) == expected);
}

TEST_F(GuardedFileTest, ALargeRewriteIsJournalledAndAppliedEarlyBehindABlankSignature) {
    for (const bool commit : {false, true}) {
        auto file = GuardedFile::open(path, false, 2 * kPage);
        put(*file, 0, std::string(5 * kPage, 'r'));
        EXPECT_EQ(file->journalled_pages(), 5u);
        // Until commit the first page stays blank on disk and its new bytes
        // in memory, where later writes to it go too.
        EXPECT_EQ(file->pending_pages(), 1u);
        std::string expected = std::string(5 * kPage, 'r') + original.substr(5 * kPage);
        const std::string blank_head = std::string(8, '\0') + original.substr(8, kPage - 8);
        EXPECT_TRUE(testing::read_bytes(path) == blank_head + expected.substr(kPage));
        put(*file, 10, "again");
        put(*file, 2 * kPage, "twice");  // a journalled page: straight to the file
        expected.replace(10, 5, "again");
        expected.replace(2 * kPage, 5, "twice");
        EXPECT_EQ(file->pending_pages(), 1u);
        EXPECT_TRUE(testing::read_bytes(path) == blank_head + expected.substr(kPage));
        std::string seen(expected.size(), '\0');
        file->read(0, seen.data(), seen.size());
        EXPECT_TRUE(seen == expected);
        if (commit) {
            file->commit();
            EXPECT_TRUE(testing::read_bytes(path) == expected);
        } else {
            EXPECT_TRUE(file->roll_back());
            EXPECT_TRUE(testing::read_bytes(path) == original);
        }
    }
}

TEST_F(GuardedFileTest, RollBackRestoresTheFileAndRemovesTheJournal) {
    auto file = GuardedFile::open(path, true);
    put(*file, 0, std::string(3 * kPage, 'z'));
    file->truncate(5 * kPage + 7);
    put(*file, 5 * kPage, std::string(20 * kPage, 'g'));
    EXPECT_TRUE(file->roll_back());
    EXPECT_TRUE(testing::read_bytes(path) == original);
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
    EXPECT_THROW(put(*file, 0, "late"), ArgumentError);
}

TEST_F(GuardedFileTest, ANewFileIsBuiltUnderAHiddenNameAndAppearsAtCommit) {
    const std::string fresh = dir.path("new.h5");
    auto file = GuardedFile::open(fresh, false);
    EXPECT_TRUE(file->is_new());
    EXPECT_EQ(file->working_path(), dir.path(".new.h5.tmp"));
    put(*file, 0, "hello");
    EXPECT_FALSE(testing::exists(fresh));
    EXPECT_FALSE(testing::exists(Journal::path_for(fresh)));  // nothing to guard
    file->commit();
    EXPECT_EQ(testing::read_bytes(fresh), "hello");
    EXPECT_EQ(testing::names_in(dir.path("")), (std::vector<std::string>{"new.h5", "x.h5"}));
}

TEST_F(GuardedFileTest, ANewFileRolledBackLeavesNothing) {
    auto file = GuardedFile::open(dir.path("new.h5"), false);
    put(*file, 0, "hello");
    EXPECT_TRUE(file->roll_back());
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
}

TEST_F(GuardedFileTest, ANewFileNeverReplacesOneCreatedMeanwhile) {
    const std::string fresh = dir.path("new.h5");
    auto file = GuardedFile::open(fresh, false);
    put(*file, 0, "mine");
    testing::write_bytes(fresh, "theirs");
    EXPECT_THROW(file->commit(), FileError);
    file->roll_back();
    EXPECT_EQ(testing::read_bytes(fresh), "theirs");
    EXPECT_EQ(testing::names_in(dir.path("")), (std::vector<std::string>{"new.h5", "x.h5"}));
}

TEST_F(GuardedFileTest, ASecondWriterIsRefusedAndLeavesTheFirstOnesJournalAlone) {
    auto first = GuardedFile::open(path, false);
    put(*first, 0, "first writer");
    for (const std::string& which : {path, dir.path("new.h5")}) {
        auto holder = which == path ? first : GuardedFile::open(which, false);
        try {
            // An existing file opens for reading; its first write is refused.
            put(*GuardedFile::open(which, false), 0, "second writer");
            FAIL() << "a second writer got " << which;
        } catch (const FileError& e) {
            EXPECT_NE(std::string(e.what()).find("is being written by another process"), std::string::npos);
            EXPECT_NE(std::string(e.what()).find(which), std::string::npos);
        }
    }
    EXPECT_TRUE(testing::exists(journal));
    first->commit();
    EXPECT_EQ(testing::read_bytes(path).substr(0, 12), "first writer");
    EXPECT_NO_THROW(GuardedFile::open(path, false)->commit());
}

TEST_F(GuardedFileTest, AKilledWritersChangesAreUndoneByTheNextOpen) {
    // Killed with overwrites pending, after a cut applied them, after a
    // large rewrite applied them early. Whatever was applied lies behind a
    // blank signature, which readers refuse.
    const std::vector<std::pair<std::function<void(GuardedFile&)>, bool>> deaths = {
        {[](GuardedFile& f) { put(f, 10, std::string(2 * kPage, 'k')); }, false},
        {[](GuardedFile& f) {
             put(f, 10, std::string(4 * kPage, 'k'));
             f.truncate(2 * kPage);
         }, true},
        {[](GuardedFile& f) { put(f, kPage, std::string(6 * kPage, 'b')); }, true},
    };
    for (const auto& [writes, applied] : deaths) {
        ASSERT_EQ(testing::in_dying_child([&] {
                      auto file = GuardedFile::open(path, false, 3 * kPage);
                      writes(*file);
                      put(*file, 30 * kPage, "grown");
                      die();
                  }),
                  0);
        EXPECT_TRUE(testing::exists(journal));
        EXPECT_EQ(testing::read_bytes(path).substr(0, 8), applied ? std::string(8, '\0') : original.substr(0, 8));
        auto file = GuardedFile::open(path, false);
        EXPECT_TRUE(testing::read_bytes(path) == original);
        EXPECT_FALSE(testing::exists(journal));
        file->commit();
    }
}

TEST_F(GuardedFileTest, AKilledWritersTemporaryFileIsRemovedByTheNextOpen) {
    const std::string fresh = dir.path("new.h5");
    ASSERT_EQ(testing::in_dying_child([&] {
                  auto file = GuardedFile::open(fresh, false);
                  put(*file, 0, "half");
                  die();
              }),
              0);
    ASSERT_TRUE(testing::exists(GuardedFile::temporary_path_for(fresh)));
    // Opening the file, new or not, clears a dead writer's temporary file.
    GuardedFile::open(path, false)->commit();
    EXPECT_FALSE(testing::exists(GuardedFile::temporary_path_for(path)));
    ASSERT_EQ(testing::in_dying_child([&] {
                  auto file = GuardedFile::open(path + ".x", false);
                  put(*file, 0, "half");
                  die();
              }),
              0);
    testing::write_bytes(path + ".x", "since created");
    GuardedFile::open(path + ".x", false)->commit();
    EXPECT_FALSE(testing::exists(GuardedFile::temporary_path_for(path + ".x")));

    auto file = GuardedFile::open(fresh, false);
    put(*file, 0, "whole");
    file->commit();
    EXPECT_EQ(testing::read_bytes(fresh), "whole");
}

TEST_F(GuardedFileTest, AFailedWriteFailsEveryLaterWriteAndRollsBack) {
    // A file size limit, as in a process whose disk quota ran out.
    const int status = testing::in_dying_child([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{original.size() + kPage, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        auto file = GuardedFile::open(path, false);
        put(*file, 0, "changed");
        try {
            put(*file, original.size(), std::string(4 * kPage, 'g'));
            ::_exit(10);
        } catch (const IoError& e) {
            if (std::string(e.what()).find("File too large") == std::string::npos) ::_exit(11);
        }
        try {
            put(*file, 50, "x");
            ::_exit(12);
        } catch (const IoError&) {
        }
        if (file->failure().empty()) ::_exit(13);
        if (!file->roll_back()) ::_exit(14);
        die();
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(testing::read_bytes(path) == original);
    EXPECT_FALSE(testing::exists(journal));
}

// A file whose length is far past its data (HDF5 ignores bytes past its end
// of file, and cuts them at the next close): the cut journals only the data.
TEST_F(GuardedFileTest, ASparseTailIsCutWithoutJournallingItsHoles) {
    const std::uint64_t sparse_length = std::uint64_t{1} << 40;
    std::filesystem::resize_file(path, sparse_length);
    const std::uint64_t grown_at = original.size() + 5 * kPage;
    auto cut_and_grow = [&](GuardedFile& file) {
        put(file, 0, "head");
        file.truncate(original.size());
        put(file, grown_at, "grown past the cut");
    };
    auto expect_as_before = [&] {
        EXPECT_EQ(std::filesystem::file_size(path), sparse_length);
        std::string head(original.size(), '\0');
        std::string grown(18, 'x');
        Descriptor fd(::open(path.c_str(), O_RDONLY));
        read_at(fd, 0, head.data(), head.size(), path);
        read_at(fd, grown_at, grown.data(), grown.size(), path);
        EXPECT_TRUE(head == original);
        EXPECT_EQ(grown, std::string(18, '\0'));
    };

    auto file = GuardedFile::open(path, false);
    cut_and_grow(*file);
    EXPECT_LT(std::filesystem::file_size(journal), 64 * kPage);
    EXPECT_TRUE(file->roll_back());
    expect_as_before();

    ASSERT_EQ(testing::in_dying_child([&] {
                  auto dying = GuardedFile::open(path, false);
                  cut_and_grow(*dying);
                  die();
              }),
              0);
    GuardedFile::open(path, false)->commit();
    expect_as_before();
    EXPECT_FALSE(testing::exists(journal));
}

TEST_F(GuardedFileTest, OnlyRegularNonEmptyFilesAreOpened) {
    testing::write_bytes(dir.path("empty.h5"), "");
    EXPECT_THROW(GuardedFile::open(dir.path("empty.h5"), false), FileError);
    std::filesystem::create_directory(dir.path("dir.h5"));
    EXPECT_THROW(GuardedFile::open(dir.path("dir.h5"), false), FileError);
    EXPECT_THROW(GuardedFile::open(dir.path("missing/x.h5"), false), FileError);
    EXPECT_FALSE(testing::exists(dir.path("missing")));
}

ino_t inode_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Where a call's overwrites went, by how it writes and whether a reader
// (a shared flock(), as HDF5 readers take) holds the file at its commit.
struct WriteCase {
    WritePath write_path;
    bool reader;
    const char* outcome;  // "in place", "beside" or "refused"
};

class WriteWhereTest : public GuardedFileTest, public ::testing::WithParamInterface<WriteCase> {
protected:
    void TearDown() override { set_write_path(WritePath::automatic); }
};

TEST_P(WriteWhereTest, AReaderKeepsTheBytesItOpenedAndWritersGoBesideIt) {
    const WriteCase c = GetParam();
    set_write_path(c.write_path);
    ::chmod(path.c_str(), 0640);
    const ino_t before = inode_of(path);
    Descriptor reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (c.reader) {
        ASSERT_EQ(::flock(reader.get(), LOCK_SH | LOCK_NB), 0);
    }
    auto file = GuardedFile::open(path, false, 2 * kPage);
    std::string expected = original;
    bool refused = false;
    try {
        put(*file, original.size() + 10, "grown");
        put(*file, 100, "abc");
        put(*file, 5 * kPage, std::string(3 * kPage, 'r'));  // applied early: a large rewrite
        file->commit();
        expected.replace(100, 3, "abc");
        expected.replace(5 * kPage, 3 * kPage, std::string(3 * kPage, 'r'));
        expected += std::string(10, '\0') + "grown";
    } catch (const FileError& e) {
        refused = true;
        EXPECT_NE(std::string(e.what()).find("is being written"), std::string::npos) << e.what();
        EXPECT_TRUE(file->roll_back());
    }
    EXPECT_EQ(refused, std::string(c.outcome) == "refused");
    EXPECT_TRUE(testing::read_bytes(path) == expected);
    EXPECT_EQ(inode_of(path) == before, std::string(c.outcome) != "beside");
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // What the reader opened is byte for byte what it still reads.
    std::string held(original.size(), '\0');
    ASSERT_EQ(read_at(reader, 0, held.data(), held.size(), path), original.size());
    if (std::string(c.outcome) != "in place") {
        EXPECT_TRUE(held == original);
    }
}

std::string case_name(const ::testing::TestParamInfo<WriteCase>& info) {
    static const char* const paths[] = {"automatic", "in_place", "beside"};
    return std::string(paths[static_cast<int>(info.param.write_path)]) +
           (info.param.reader ? "_with_reader" : "_alone");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, WriteWhereTest,
    ::testing::Values(WriteCase{WritePath::automatic, false, "in place"},
                      WriteCase{WritePath::automatic, true, "beside"},
                      WriteCase{WritePath::beside, false, "beside"},
                      WriteCase{WritePath::in_place, true, "refused"}),
    case_name);

}  // namespace
}  // namespace corvane
