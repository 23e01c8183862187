#include "corvane/descriptor.hpp"
#include "corvane/error.hpp"
#include "corvane/failpoint.hpp"
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

// A writer of the new file `name` killed after its first write: it leaves
// its temporary file, and its lock file.
void kill_writer_of_new_file(const std::string& name) {
    ASSERT_EQ(testing::in_dying_child([&] {
                  auto file = GuardedFile::open(name, false);
                  put(*file, 0, "half");
                  die();
              }),
              0);
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
    ASSERT_NO_FATAL_FAILURE(kill_writer_of_new_file(fresh));
    ASSERT_TRUE(testing::exists(GuardedFile::temporary_path_for(fresh)));
    // Opening the file, new or not, clears a dead writer's temporary file.
    GuardedFile::open(path, false)->commit();
    EXPECT_FALSE(testing::exists(GuardedFile::temporary_path_for(path)));
    ASSERT_NO_FATAL_FAILURE(kill_writer_of_new_file(path + ".x"));
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

// A large rewrite lands its overwrites early, behind a blank signature; a
// step that fails after that (a later checkpoint, the commit point, the
// flushes around it) must still end the call whole: undone from the
// journal before the commit point, kept past it, and the next call works.
TEST_F(GuardedFileTest, ACallThatLandedEarlyEndsWholeWhenALaterStepFails) {
    const std::string rewrite(5 * kPage, 'r');
    const std::string done = rewrite + original.substr(5 * kPage) + "grow";
    for (const char* point : {"guarded.apply", "guarded.commit_point", "guarded.committed", "sync.data"}) {
        for (const bool durable : {false, true}) {
            if (!durable && std::string(point) == "sync.data") continue;  // flushes only when durable
            SCOPED_TRACE(std::string(point) + (durable ? " durable" : ""));
            testing::write_bytes(path, original);
            auto file = GuardedFile::open(path, durable, 2 * kPage);
            put(*file, 0, rewrite);
            ASSERT_EQ(file->pending_pages(), 1u);  // landed: only the first page held
            put(*file, original.size(), "grow");
            failpoint::fail_once(point);
            if (std::string(point) == "guarded.apply") {
                // The next early landing fails; so does every later step.
                EXPECT_THROW(put(*file, 6 * kPage, std::string(3 * kPage, 's')), IoError);
            }
            EXPECT_THROW(file->commit(), IoError);
            failpoint::clear();
            const bool committed = file->committed();
            EXPECT_EQ(committed, std::string(point) == "guarded.committed");
            EXPECT_TRUE(file->roll_back());
            EXPECT_TRUE(file->roll_back());
            EXPECT_TRUE(testing::read_bytes(path) == (committed ? done : original));
            // Past the commit point a journal may stay: the next open drops it.
            EXPECT_EQ(testing::exists(journal), committed);
            auto again = GuardedFile::open(path, false);
            put(*again, 1, "q");
            again->commit();
            EXPECT_FALSE(testing::exists(journal));
        }
    }
}

// After landing early, a cut and an abandoned call end as the call says.
TEST_F(GuardedFileTest, ACutOrADropAfterLandingEarlyIsUndoneOrKeptWhole) {
    const std::string rewrite(5 * kPage, 'r');
    for (const int ending : {0, 1, 2}) {  // roll back, commit, drop then commit
        SCOPED_TRACE(ending);
        testing::write_bytes(path, original);
        auto file = GuardedFile::open(path, false, 2 * kPage);
        put(*file, 0, rewrite);
        file->truncate(3 * kPage + 5);
        put(*file, 1, "x");
        if (ending == 2) {
            file->drop_writes();
            put(*file, 2, "dropped");
            EXPECT_THROW(file->commit(), IoError);
        }
        if (ending == 1) {
            file->commit();
            std::string expected = rewrite.substr(0, 3 * kPage + 5);
            expected[1] = 'x';
            EXPECT_TRUE(testing::read_bytes(path) == expected);
        } else {
            EXPECT_TRUE(file->roll_back());
            EXPECT_TRUE(testing::read_bytes(path) == original);
        }
        EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
    }
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

// A writer that reached its commit point (the signature written back) has
// committed: the next open keeps its version, whatever happened since, and
// rewrites nothing; one that died before it is rolled back.
struct Death {
    const char* point;
    bool durable;
    bool kept;
};

class CommitPointTest : public GuardedFileTest, public ::testing::WithParamInterface<Death> {
protected:
    void TearDown() override { failpoint::clear(); }

    // A writer that changes the first page and a later one, grows the file
    // and dies at `point` of its commit. Returns its version.
    std::string die_committing(const Death& d) {
        EXPECT_EQ(testing::in_dying_child([&] {
                      auto file = GuardedFile::open(path, d.durable);
                      put(*file, 100, "new head");
                      put(*file, 3 * kPage, std::string(kPage, 'n'));
                      put(*file, original.size(), "grown");
                      failpoint::die_once(d.point);
                      file->commit();
                      die();
                  }),
                  100);  // killed
        std::string version = original;
        version.replace(100, 8, "new head");
        version.replace(3 * kPage, kPage, std::string(kPage, 'n'));
        return version + "grown";
    }
};

TEST_P(CommitPointTest, TheNextOpenKeepsACommittedCallAndUndoesAnyOther) {
    const Death d = GetParam();
    const std::string version = die_committing(d);
    const std::string left = testing::read_bytes(path);
    EXPECT_TRUE(testing::exists(journal));
    if (d.kept) {
        EXPECT_TRUE(left == version);
    } else {
        // The signature is blank until the commit point, whatever else of the
        // first page has landed: a torn first page is one readers refuse.
        EXPECT_EQ(left.substr(0, 8), std::string(8, '\0'));
    }
    // A reader holding the file (as the committed version) keeps it intact.
    Descriptor reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (d.kept) {
        ASSERT_EQ(::flock(reader.get(), LOCK_SH | LOCK_NB), 0);
    }
    auto file = GuardedFile::open(path, false);
    EXPECT_TRUE(testing::read_bytes(path) == (d.kept ? version : original));
    EXPECT_FALSE(testing::exists(journal));
    file->commit();
    reader.reset();
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
}

TEST_P(CommitPointTest, AnotherWritersChangesAfterACommittedCallAreKept) {
    const Death d = GetParam();
    if (!d.kept) GTEST_SKIP() << "a file with a blank signature is one no other writer opens";
    std::string version = die_committing(d);
    // Another writer opens the committed version and appends to it.
    Descriptor other(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    write_at(other, 50, "theirs", 6, path);
    write_at(other, version.size(), "appended", 8, path);
    version.replace(50, 6, "theirs");
    version += "appended";
    GuardedFile::open(path, false)->commit();
    EXPECT_TRUE(testing::read_bytes(path) == version);
    EXPECT_FALSE(testing::exists(journal));
}

INSTANTIATE_TEST_SUITE_P(
    Points, CommitPointTest,
    ::testing::Values(Death{"guarded.apply", false, false}, Death{"guarded.commit_point", false, false},
                      Death{"guarded.commit_point", true, false}, Death{"guarded.committed", false, true},
                      Death{"guarded.committed", true, true}),
    [](const ::testing::TestParamInfo<Death>& info) {
        std::string name = info.param.point;
        std::replace(name.begin(), name.end(), '.', '_');
        return name + (info.param.durable ? "_durable" : "");
    });

// Durable: each step is on disk before the step that makes it count. At
// every flush of the data file, what is on disk reads as the old version or
// as refused (blank signature), and the new version only once the
// signature is back.
TEST_F(GuardedFileTest, DurableFlushesSeparateTheBlankThePagesAndTheSignature) {
    std::vector<std::string> at_flush;
    std::function<void()> snapshot = [&] {
        const std::string now = testing::read_bytes(path);
        const bool blank = now.substr(0, 8) == std::string(8, '\0');
        const bool page_new = now.substr(3 * kPage, 4) == "nnnn";
        at_flush.push_back(std::string(blank ? "blank" : "signed") + (page_new ? "+new" : "+old"));
        failpoint::run_once("sync.data", snapshot);
    };
    failpoint::run_once("sync.data", snapshot);
    auto file = GuardedFile::open(path, true);
    put(*file, 100, "new head");
    put(*file, 3 * kPage, std::string(kPage, 'n'));
    file->commit();
    failpoint::clear();
    // The first two flushes are the first write's (what an earlier call left
    // in the page cache) and the journal's, before any change.
    const std::vector<std::string> expected = {"signed+old", "signed+old", "blank+old", "blank+new",
                                               "signed+new"};
    EXPECT_EQ(at_flush, expected);
}

// A call that only grows the file commits by removing its journal: the
// growth must be on disk first, or a power loss keeps a torn tail that no
// journal cuts any more.
TEST_F(GuardedFileTest, DurableGrowthIsFlushedBeforeItsJournalGoes) {
    std::vector<std::string> at_flush;
    std::function<void()> snapshot = [&] {
        const bool journalled = testing::exists(journal);
        const bool grown = testing::read_bytes(path).size() > original.size();
        at_flush.push_back(std::string(journalled ? "journal" : "none") + (grown ? "+grown" : "+old"));
        failpoint::run_once("sync.data", snapshot);
    };
    failpoint::run_once("sync.data", snapshot);
    auto file = GuardedFile::open(path, true);
    put(*file, original.size(), "grown");
    file->commit();
    failpoint::clear();
    EXPECT_FALSE(testing::exists(journal));
    ASSERT_FALSE(at_flush.empty());
    EXPECT_EQ(at_flush.back(), "journal+grown");
}

// The directory renamed, or the file replaced, while a call writes.
TEST_F(GuardedFileTest, ACallFollowsItsDirectoryWhenItIsRenamed) {
    for (const std::string which : {"in place", "beside", "new"}) {
        TempDir root;
        std::filesystem::create_directory(root.path("a"));
        const std::string name = which == "new" ? "fresh.h5" : "x.h5";
        if (which != "new") testing::write_bytes(root.path("a/x.h5"), original);
        Descriptor reader(::open(root.path("a/x.h5").c_str(), O_RDONLY | O_CLOEXEC));
        if (which == "beside") {
            ASSERT_EQ(::flock(reader.get(), LOCK_SH | LOCK_NB), 0);
        }
        auto file = GuardedFile::open(root.path("a/" + name), false);
        put(*file, 0, "renamed");
        std::filesystem::rename(root.path("a"), root.path("b"));
        file->commit();
        EXPECT_EQ(testing::read_bytes(root.path("b/" + name)).substr(0, 7), "renamed") << which;
        EXPECT_EQ(testing::names_in(root.path("b")), std::vector<std::string>{name}) << which;
        reader.reset();
        file.reset();
        // Nothing the next open there would undo.
        GuardedFile::open(root.path("b/" + name), false)->commit();
        EXPECT_EQ(testing::read_bytes(root.path("b/" + name)).substr(0, 7), "renamed") << which;
    }
}

TEST_F(GuardedFileTest, AFileReplacedDuringTheCallIsNeitherWrittenNorLost) {
    for (const bool reader_holds : {false, true}) {
        SetUp();
        Descriptor reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (reader_holds) {
            ASSERT_EQ(::flock(reader.get(), LOCK_SH | LOCK_NB), 0);
        }
        auto file = GuardedFile::open(path, false);
        put(*file, 0, "mine");
        put(*file, original.size(), "grown");
        testing::write_bytes(dir.path("other"), "replacement");
        std::filesystem::rename(dir.path("other"), path);
        // Known to be another file, the name is never exchanged: no reader
        // opening it sees the refused version for an instant.
        failpoint::run_once("guarded.exchange", [] { ADD_FAILURE() << "exchanged with a file known to be another"; });
        try {
            file->commit();
            FAIL() << "a call committed over a file that replaced its own";
        } catch (const FileError& e) {
            EXPECT_NE(std::string(e.what()).find("replaced"), std::string::npos) << e.what();
        }
        EXPECT_TRUE(file->roll_back());
        EXPECT_EQ(testing::read_bytes(path), "replacement");
        EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
        failpoint::clear();
    }
}

// Beside, the new version takes the name by exchanging it with the file
// there: a file another process put at the name after the last check comes
// out of the exchange, goes back, and the call is refused. A third file put
// there between the two exchanges stays, under the temporary name.
TEST_F(GuardedFileTest, BesideAFilePutAtTheNameAtTheLastMomentIsPutBackNeverReplaced) {
    const std::string temporary = GuardedFile::temporary_path_for(path);
    for (const bool third : {false, true}) {
        SetUp();
        Descriptor reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(::flock(reader.get(), LOCK_SH | LOCK_NB), 0);
        auto file = GuardedFile::open(path, false);
        put(*file, 0, "mine");
        const auto put_at_name = [&](const std::string& bytes) {
            testing::write_bytes(dir.path("other"), bytes);
            std::filesystem::rename(dir.path("other"), path);
        };
        failpoint::run_once("guarded.exchange", [&] { put_at_name("theirs"); });
        if (third) failpoint::run_once("guarded.exchanged", [&] { put_at_name("third"); });
        try {
            file->commit();
            FAIL() << "a call committed over a file put at its name";
        } catch (const FileError& e) {
            EXPECT_NE(std::string(e.what()).find("replaced by another process"), std::string::npos) << e.what();
            // The error names where the third file is.
            EXPECT_EQ(std::string(e.what()).find(temporary) != std::string::npos, third) << e.what();
        }
        EXPECT_TRUE(file->roll_back());
        EXPECT_EQ(testing::read_bytes(path), "theirs");
        EXPECT_EQ(testing::exists(temporary), third);
        if (third) {
            EXPECT_EQ(testing::read_bytes(temporary), "third");
        }
        failpoint::clear();
        std::filesystem::remove(temporary);
    }
}

// The old version comes out of the exchange under the temporary name: a
// writer dying there leaves it, held by its readers, for the next open to
// remove (a reader's shared lock is no live writer's).
TEST_F(GuardedFileTest, TheOldVersionLeftByAWriterDeadAfterTheExchangeGoesAtTheNextOpen) {
    const std::string temporary = GuardedFile::temporary_path_for(path);
    Descriptor reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(reader.get(), LOCK_SH | LOCK_NB), 0);
    ASSERT_EQ(testing::in_dying_child([&] {
                  auto file = GuardedFile::open(path, false);
                  put(*file, 0, "mine");
                  failpoint::die_once("guarded.exchanged");
                  file->commit();
                  die();
              }),
              100);  // killed
    ASSERT_TRUE(testing::exists(temporary));
    EXPECT_EQ(testing::read_bytes(path).substr(0, 4), "mine");
    GuardedFile::open(path, false)->commit();
    EXPECT_FALSE(testing::exists(temporary));
    EXPECT_EQ(testing::read_bytes(path).substr(0, 4), "mine");
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
}

// Beside the file: the call keeps a lock on it until the rename, and a
// change by another writer in the moment flock() leaves it unlocked is
// caught, never copied short.
TEST_F(GuardedFileTest, AnotherWritersChangeWhileTheLockIsConvertedIsRefused) {
    Descriptor reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(reader.get(), LOCK_SH | LOCK_NB), 0);
    auto file = GuardedFile::open(path, false);
    put(*file, 0, "mine");
    failpoint::run_once("guarded.unlocked", [&] {
        // The last reader leaves, another writer appends and goes.
        reader.reset();
        Descriptor other(::open(path.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
        write_at(other, original.size(), "theirs", 6, path);
    });
    try {
        file->commit();
        FAIL() << "the call went on with a file another writer changed";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("changed by another process"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(file->roll_back());
    EXPECT_TRUE(testing::read_bytes(path) == original + "theirs");
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
}

TEST_F(GuardedFileTest, BesideTheFileNoOtherWriterGetsInBeforeTheRename) {
    Descriptor reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(reader.get(), LOCK_SH | LOCK_NB), 0);
    auto file = GuardedFile::open(path, false, 2 * kPage);
    put(*file, kPage, std::string(3 * kPage, 'g'));  // goes beside at the early apply
    ASSERT_TRUE(file->writes_beside());
    reader.reset();
    Descriptor other(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    EXPECT_NE(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
    file->commit();
}

TEST_F(GuardedFileTest, AHardLinkedFileIsWrittenOnlyInPlace) {
    const std::string link = dir.path("link.h5");
    ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
    {
        Descriptor reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(::flock(reader.get(), LOCK_SH | LOCK_NB), 0);
        auto file = GuardedFile::open(path, false);
        put(*file, 0, "mine");
        try {
            file->commit();
            FAIL() << "a new version went beside a file with another name";
        } catch (const FileError& e) {
            EXPECT_NE(std::string(e.what()).find("hard links"), std::string::npos) << e.what();
        }
        EXPECT_TRUE(file->roll_back());
    }
    auto file = GuardedFile::open(path, false);
    put(*file, 0, "mine");
    file->commit();
    EXPECT_EQ(testing::read_bytes(link).substr(0, 4), "mine");
    EXPECT_EQ(testing::names_in(dir.path("")), (std::vector<std::string>{"link.h5", "x.h5"}));
}

TEST_F(GuardedFileTest, APlantedLinkAtTheLockIsNeitherFollowedNorRemoved) {
    const std::string lock = GuardedFile::lock_path_for(path);
    const std::string target = dir.path("target");
    for (const bool dangling : {true, false}) {
        if (!dangling) testing::write_bytes(target, "someone's");
        std::filesystem::create_symlink(target, lock);
        auto file = GuardedFile::open(path, false);
        try {
            put(*file, 0, "mine");
            FAIL() << "a writer locked through a link";
        } catch (const FileError& e) {
            EXPECT_NE(std::string(e.what()).find("symbolic link"), std::string::npos) << e.what();
        }
        file->roll_back();
        EXPECT_TRUE(std::filesystem::is_symlink(lock));
        EXPECT_EQ(testing::exists(target), !dangling);
        if (!dangling) {
            EXPECT_EQ(testing::read_bytes(target), "someone's");
        }
        EXPECT_TRUE(testing::read_bytes(path) == original);
        std::filesystem::remove(lock);
    }
}

// A symbolic link to a bundle file: both ways of writing update the target,
// and the link stays.
TEST_F(GuardedFileTest, ALinkedFileIsWrittenThroughOnBothPaths) {
    const std::string link = dir.path("link.h5");
    std::filesystem::create_symlink("x.h5", link);
    for (const bool reader_holds : {false, true}) {
        Descriptor reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (reader_holds) {
            ASSERT_EQ(::flock(reader.get(), LOCK_SH | LOCK_NB), 0);
        }
        auto file = GuardedFile::open(link, false);
        put(*file, 0, reader_holds ? "beside" : "inside");
        file->commit();
        EXPECT_TRUE(std::filesystem::is_symlink(link));
        EXPECT_EQ(testing::read_bytes(path).substr(0, 6), reader_holds ? "beside" : "inside");
        EXPECT_EQ(testing::names_in(dir.path("")), (std::vector<std::string>{"link.h5", "x.h5"}));
    }
    std::filesystem::create_symlink("missing.h5", dir.path("dangling.h5"));
    try {
        GuardedFile::open(dir.path("dangling.h5"), false);
        FAIL() << "a link to nothing was opened";
    } catch (const FileError& e) {
        EXPECT_NE(std::string(e.what()).find("symbolic link"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(std::filesystem::is_symlink(dir.path("dangling.h5")));
    EXPECT_FALSE(testing::exists(dir.path("missing.h5")));
}

// Recovery on its own, as `corvane verify --repair` runs it.
TEST_F(GuardedFileTest, RecoverSettlesWhatDeadWritersLeftAndSaysWhat) {
    using R = Journal::Recovery;
    EXPECT_EQ(GuardedFile::recover(path).journal, R::none);
    // A writer killed before journalling leaves its lock file.
    testing::write_bytes(GuardedFile::lock_path_for(path), "");
    auto found = GuardedFile::recover(path);
    EXPECT_TRUE(found.lock);
    EXPECT_FALSE(found.temporary);
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
    for (const char* point : {"guarded.apply", "guarded.committed"}) {
        ASSERT_EQ(testing::in_dying_child([&] {
                      auto file = GuardedFile::open(path, false);
                      put(*file, 0, std::string(2 * kPage, 'k'));
                      failpoint::die_once(point);
                      file->commit();
                      die();
                  }),
                  100);
        found = GuardedFile::recover(path);
        const bool committed = std::string(point) == "guarded.committed";
        EXPECT_EQ(found.journal, committed ? R::completed : R::rolled_back) << point;
        EXPECT_TRUE(found.lock) << point;
        EXPECT_EQ(testing::read_bytes(path).substr(0, 4), committed ? "kkkk" : original.substr(0, 4));
        EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
        SetUp();
    }
    const std::string fresh = dir.path("new.h5");
    ASSERT_NO_FATAL_FAILURE(kill_writer_of_new_file(fresh));
    found = GuardedFile::recover(fresh);
    EXPECT_TRUE(found.temporary);
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{"x.h5"});
    // A live writer's leftovers are its own.
    auto writer = GuardedFile::open(path, false);
    put(*writer, 0, "live");
    EXPECT_THROW(GuardedFile::recover(path), FileError);
    EXPECT_TRUE(testing::exists(journal));
    writer->commit();
}

}  // namespace
}  // namespace corvane
