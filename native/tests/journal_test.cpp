#include "corvane/descriptor.hpp"
#include "corvane/error.hpp"
#include "corvane/journal.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace corvane {
namespace {

using testing::TempDir;

// 10000 bytes that differ from page to page.
std::string original_bytes() {
    std::string bytes(10000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return bytes;
}

Descriptor open_rw(const std::string& path) { return Descriptor(::open(path.c_str(), O_RDWR)); }

void overwrite(const Descriptor& fd, std::uint64_t offset, const std::string& bytes) {
    write_at(fd, offset, bytes.data(), bytes.size(), "data");
}

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::write_bytes(data_path, original_bytes());
        data = open_rw(data_path);
        ASSERT_TRUE(data);
    }

    TempDir dir;
    const std::string data_path = dir.path("x.h5");
    const std::string journal_path = Journal::path_for(data_path);
    Descriptor data;
};

TEST(JournalPath, IsAHiddenCompanionThatNoH5ListingShows) {
    EXPECT_EQ(Journal::path_for("/b/equities/S1.h5"), "/b/equities/.S1.h5.journal");
    EXPECT_EQ(Journal::path_for("S1.h5"), ".S1.h5.journal");
}

TEST_F(JournalTest, RollBackPutsSavedBytesBackAndCutsTheGrowth) {
    Journal journal = Journal::start(journal_path, data, data_path, false);
    EXPECT_EQ(journal.original_length(), 10000u);
    journal.save(data, 4096, 4096);
    overwrite(data, 5000, std::string(300, 'Z'));
    overwrite(data, 12000, std::string(50, 'N'));  // past the original end: no save needed
    journal.roll_back(data);
    EXPECT_TRUE(testing::read_bytes(data_path) == original_bytes());
    EXPECT_TRUE(testing::exists(journal_path));
    journal.remove();
    EXPECT_FALSE(testing::exists(journal_path));
}

TEST_F(JournalTest, RollBackRestoresBytesThatATruncationCut) {
    Journal journal = Journal::start(journal_path, data, data_path, true);
    journal.save(data, 2000, 8000);
    journal.sync();
    truncate_to(data, 2000, "data");
    overwrite(data, 2000, std::string(20, 'Q'));  // saved before the cut
    journal.save(data, 0, 2000);                  // the rest, before its first overwrite
    overwrite(data, 0, std::string(100, 'Q'));
    journal.roll_back(data);
    EXPECT_TRUE(testing::read_bytes(data_path) == original_bytes());
}

TEST_F(JournalTest, SavingBytesPastTheOriginalEndIsRefused) {
    Journal journal = Journal::start(journal_path, data, data_path, false);
    EXPECT_THROW(journal.save(data, 9000, 2000), ArgumentError);
}

TEST_F(JournalTest, RecoveryUndoesADeadWritersChangesAndRemovesTheJournal) {
    {
        Journal journal = Journal::start(journal_path, data, data_path, false);
        journal.save(data, 0, 10000);
        overwrite(data, 0, std::string(10000, 'x'));
        overwrite(data, 10000, std::string(700, 'y'));
        // Gone without remove(): what a killed writer leaves.
    }
    EXPECT_EQ(Journal::recover(journal_path, data, data_path), Journal::Recovery::rolled_back);
    EXPECT_TRUE(testing::read_bytes(data_path) == original_bytes());
    EXPECT_FALSE(testing::exists(journal_path));
    EXPECT_EQ(Journal::recover(journal_path, data, data_path), Journal::Recovery::none);
}

// A writer killed while appending a record had not yet overwritten the bytes
// it guards: the torn record is ignored, the ones before it are applied.
TEST_F(JournalTest, TornOrDamagedLastRecordIsIgnored) {
    for (const bool tear : {true, false}) {
        SetUp();
        {
            Journal journal = Journal::start(journal_path, data, data_path, false);
            journal.save(data, 0, 4096);
            journal.save(data, 4096, 4096);
            overwrite(data, 0, std::string(4096, 'x'));
        }
        std::string bytes = testing::read_bytes(journal_path);
        if (tear) {
            bytes.resize(bytes.size() - 100);
        } else {
            bytes[bytes.size() - 10] ^= 0x40;
        }
        testing::write_bytes(journal_path, bytes);
        EXPECT_EQ(Journal::recover(journal_path, data, data_path), Journal::Recovery::rolled_back);
        EXPECT_TRUE(testing::read_bytes(data_path) == original_bytes()) << (tear ? "torn" : "damaged");
    }
}

TEST_F(JournalTest, AJournalWithATornHeaderGuardedNothingAndIsDiscarded) {
    {
        Journal journal = Journal::start(journal_path, data, data_path, false);
        journal.save(data, 0, 4096);
    }
    testing::write_bytes(journal_path, testing::read_bytes(journal_path).substr(0, 30));
    overwrite(data, 9000, "new");  // what the next writer sees must stay
    const std::string now = testing::read_bytes(data_path);
    EXPECT_EQ(Journal::recover(journal_path, data, data_path), Journal::Recovery::discarded);
    EXPECT_TRUE(testing::read_bytes(data_path) == now);
    EXPECT_FALSE(testing::exists(journal_path));
}

TEST_F(JournalTest, AJournalOfAnotherFileIsDiscardedWithoutTouchingThisOne) {
    const std::string other_path = dir.path("other.h5");
    testing::write_bytes(other_path, std::string(5000, 'o'));
    Descriptor other = open_rw(other_path);
    {
        Journal journal = Journal::start(journal_path, other, other_path, false);
        journal.save(other, 0, 5000);
    }
    EXPECT_EQ(Journal::recover(journal_path, data, data_path), Journal::Recovery::discarded);
    EXPECT_TRUE(testing::read_bytes(data_path) == original_bytes());
    EXPECT_FALSE(testing::exists(journal_path));
}

TEST_F(JournalTest, LargeSavesAreSplitAndComeBackWhole) {
    std::string big(3 * 1024 * 1024 + 123, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
    testing::write_bytes(data_path, big);
    data = open_rw(data_path);
    {
        Journal journal = Journal::start(journal_path, data, data_path, false);
        journal.save(data, 0, big.size());
        overwrite(data, 0, std::string(big.size(), 'z'));
    }
    EXPECT_EQ(Journal::recover(journal_path, data, data_path), Journal::Recovery::rolled_back);
    EXPECT_TRUE(testing::read_bytes(data_path) == big);
}

}  // namespace
}  // namespace corvane
