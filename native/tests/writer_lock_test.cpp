#include "corvane/descriptor.hpp"
#include "corvane/error.hpp"
#include "corvane/writer_lock.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace corvane {
namespace {

using testing::TempDir;

class WriterLockTest : public ::testing::Test {
protected:
    TempDir dir;
    const std::string path = dir.path("x.h5");
    const std::string lock_path = dir.path(".x.h5.lock");
};

TEST_F(WriterLockTest, LiesHiddenBesideTheFile) {
    EXPECT_EQ(WriterLock::path_for(path), lock_path);
    EXPECT_EQ(WriterLock::path_for("x.h5"), ".x.h5.lock");
}

TEST_F(WriterLockTest, TwoWritersExcludeEachOtherAndTheLockFileGoesWithTheHolder) {
    {
        WriterLock first = WriterLock::try_take(path);
        ASSERT_TRUE(first);
        EXPECT_TRUE(testing::exists(lock_path));
        EXPECT_FALSE(WriterLock::try_take(path));
        // The refused taker left the holder's lock file alone.
        EXPECT_TRUE(testing::exists(lock_path));
        // Moved, it is still one lock, released once.
        WriterLock moved = std::move(first);
        EXPECT_FALSE(first);
        EXPECT_FALSE(WriterLock::try_take(path));
    }
    EXPECT_FALSE(testing::exists(lock_path));
    EXPECT_TRUE(WriterLock::try_take(path));
}

TEST_F(WriterLockTest, MoveAssignmentReleasesTheLockItReplaces) {
    const std::string other = dir.path("y.h5");
    WriterLock lock = WriterLock::try_take(path);
    lock = WriterLock::try_take(other);
    ASSERT_TRUE(lock);
    EXPECT_EQ(testing::names_in(dir.path("")), std::vector<std::string>{".y.h5.lock"});
    EXPECT_TRUE(WriterLock::try_take(path));
}

// A dead writer's lock file holds no lock: it is taken over and removed.
TEST_F(WriterLockTest, ALockFileNobodyHoldsIsTakenOver) {
    testing::write_bytes(lock_path, "");
    WriterLock lock = WriterLock::try_take(path);
    ASSERT_TRUE(lock);
    lock.release();
    EXPECT_FALSE(lock);
    EXPECT_FALSE(testing::exists(lock_path));
}

TEST_F(WriterLockTest, ALockFileReplacedWhileHeldIsLeftToItsNewOwner) {
    WriterLock lock = WriterLock::try_take(path);
    ASSERT_EQ(::unlink(lock_path.c_str()), 0);
    testing::write_bytes(lock_path, "theirs");
    lock.release();
    EXPECT_EQ(testing::read_bytes(lock_path), "theirs");
}

TEST_F(WriterLockTest, ReleasedByNameInItsDirectoryItFollowsARenamedDirectory) {
    const std::string inner = dir.path("inner");
    std::filesystem::create_directory(inner);
    const std::string file = inner + "/x.h5";
    WriterLock lock = WriterLock::try_take(file);
    Descriptor where = open_directory_of(file);
    const std::string moved = dir.path("moved");
    std::filesystem::rename(inner, moved);
    lock.release_at(where);
    EXPECT_TRUE(testing::names_in(moved).empty());
}

// In a forked child the lock is the parent's: forgetting it removes nothing.
TEST_F(WriterLockTest, ForgottenItKeepsTheLockFile) {
    WriterLock lock = WriterLock::try_take(path);
    lock.forget();
    EXPECT_FALSE(lock);
    EXPECT_TRUE(testing::exists(lock_path));
    lock.release();
    EXPECT_TRUE(testing::exists(lock_path));
}

TEST_F(WriterLockTest, WhatTheEngineNeverMakesIsRefusedAndLeftAlone) {
    const std::string target = dir.path("target");
    struct Case {
        const char* what;
        std::function<void()> plant;
        const char* message;
        bool target_exists;
    };
    const std::vector<Case> cases = {
        {"a link to nothing", [&] { std::filesystem::create_symlink(target, lock_path); }, "symbolic link", false},
        {"a link to a file",
         [&] {
             testing::write_bytes(target, "someone's");
             std::filesystem::create_symlink(target, lock_path);
         },
         "symbolic link", true},
        {"a pipe", [&] { ASSERT_EQ(::mkfifo(lock_path.c_str(), 0600), 0); }, "not a regular file", false},
    };
    for (const Case& c : cases) {
        c.plant();
        try {
            WriterLock::try_take(path);
            ADD_FAILURE() << "locked " << c.what;
        } catch (const FileError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(lock_path))) << c.what;
        // Nothing was created, locked or written through it.
        ASSERT_EQ(testing::exists(target), c.target_exists) << c.what;
        if (c.target_exists) {
            EXPECT_EQ(testing::read_bytes(target), "someone's") << c.what;
        }
        std::filesystem::remove(lock_path);
        std::filesystem::remove(target);
    }
    EXPECT_TRUE(testing::names_in(dir.path("")).empty());
}

}  // namespace
}  // namespace corvane
