#include "corvane/descriptor.hpp"
#include "corvane/error.hpp"
#include "corvane/journal.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
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

// CRC-32C one bit at a time: the definition the journal's checksums must
// keep to, whatever table method computes them.
std::uint32_t crc32c(const std::string& bytes) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
    }
    return ~c;
}

std::uint32_t u32_at(const std::string& bytes, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

TEST(Crc32c, BitwiseDefinitionMatchesTheCheckValue) { EXPECT_EQ(crc32c("123456789"), 0xE3069283u); }

// Journals left by earlier builds are read by later ones: the header's
// checksum and each sampled page's stay CRC-32C as defined.
TEST_F(JournalTest, HeaderAndPageSamplesCarryCrc32c) {
    Journal journal = Journal::start(journal_path, data, data_path, false);
    const std::string header = testing::read_bytes(journal_path).substr(0, 512);
    const std::string original = original_bytes();
    EXPECT_EQ(u32_at(header, 508), crc32c(header.substr(0, 508)));
    EXPECT_EQ(u32_at(header, 48), crc32c(original.substr(0, 4096)));
    EXPECT_EQ(u32_at(header, 56), crc32c(original.substr(8192)));  // a short last page
    journal.remove();
}

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

// How a torn file and its journal come to be found together.
struct Finding {
    const char* name;
    // Turns the torn x.h5 (and its journal) into what the next open finds.
    void (*arrange)(const std::string& dir, const std::string& backup);
    Journal::Recovery expected;  // or none for "refused, journal kept"
    bool rolled_back_to_original;
};

void PrintTo(const Finding& finding, std::ostream* out) { *out << finding.name; }

void copy_bundle(const std::string& dir, const std::string&) {
    // New inodes, same bytes: as `cp -a` of the bundle to another place.
    for (const std::string name : {"x.h5", ".x.h5.journal"}) {
        testing::write_bytes(dir + "/copy", testing::read_bytes(dir + "/" + name));
        std::filesystem::rename(dir + "/copy", dir + "/" + name);
    }
}

void restore_backup_in_place(const std::string& dir, const std::string& backup) {
    // Same inode, the backup's bytes: as `cp backup x.h5`.
    testing::write_bytes(dir + "/x.h5", backup);
}

void other_files_journal(const std::string& dir, const std::string&) {
    std::filesystem::rename(dir + "/.y.h5.journal", dir + "/.x.h5.journal");
}

void copy_of_a_fully_journalled_file(const std::string& dir, const std::string&) {
    std::filesystem::rename(dir + "/.z.h5.journal", dir + "/.x.h5.journal");
    copy_bundle(dir, "");
}

class JournalIdentity : public JournalTest, public ::testing::WithParamInterface<Finding> {};

TEST_P(JournalIdentity, AppliesOnlyToTheFileItWasWrittenFor) {
    const Finding& finding = GetParam();
    // An older state of the file: another second page, shorter.
    std::string backup = original_bytes().substr(0, 7000);
    backup.replace(4096, 100, std::string(100, 'B'));
    // y.h5: another file of the same length. z.h5: a one-page file whose
    // journal holds its only page, so no page is left to compare.
    testing::write_bytes(dir.path("y.h5"), std::string(10000, 'y'));
    testing::write_bytes(dir.path("z.h5"), std::string(3000, 'z'));
    Descriptor y = open_rw(dir.path("y.h5"));
    Descriptor z = open_rw(dir.path("z.h5"));
    {
        // Torn while committing: the first page restored from the journal,
        // the file grown past its original end.
        Journal journal = Journal::start(journal_path, data, data_path, false);
        journal.save(data, 0, 4096);
        overwrite(data, 0, std::string(4096, 'n'));
        overwrite(data, 10000, std::string(3000, 'g'));
        Journal::start(Journal::path_for(dir.path("y.h5")), y, dir.path("y.h5"), false).save(y, 0, 4096);
        Journal::start(Journal::path_for(dir.path("z.h5")), z, dir.path("z.h5"), false).save(z, 0, 3000);
    }
    finding.arrange(dir.path(""), backup);
    data = open_rw(data_path);
    const std::string found = testing::read_bytes(data_path);
    if (finding.rolled_back_to_original || finding.expected == Journal::Recovery::discarded) {
        EXPECT_EQ(Journal::recover(journal_path, data, data_path), finding.expected);
        EXPECT_FALSE(testing::exists(journal_path));
        EXPECT_TRUE(testing::read_bytes(data_path) == (finding.rolled_back_to_original ? original_bytes() : found));
    } else {
        try {
            Journal::recover(journal_path, data, data_path);
            FAIL() << "a journal of unknown origin was applied or dropped";
        } catch (const IoError& e) {
            EXPECT_NE(std::string(e.what()).find("may not belong to this file"), std::string::npos) << e.what();
        }
        EXPECT_TRUE(testing::exists(journal_path));
        EXPECT_TRUE(testing::read_bytes(data_path) == found);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Findings, JournalIdentity,
    ::testing::Values(Finding{"copied_bundle", copy_bundle, Journal::Recovery::rolled_back, true},
                      Finding{"backup_restored_in_place", restore_backup_in_place,
                              Journal::Recovery::discarded, false},
                      Finding{"another_files_journal", other_files_journal, Journal::Recovery::discarded,
                              false},
                      Finding{"copy_with_every_page_journalled", copy_of_a_fully_journalled_file,
                              Journal::Recovery::none, false}),
    [](const ::testing::TestParamInfo<Finding>& info) { return std::string(info.param.name); });

TEST_F(JournalTest, IsCreatedWithTheDataFilesPermissions) {
    for (const mode_t mode : {0600, 0640, 0664}) {
        ASSERT_EQ(::fchmod(data.get(), mode), 0);
        Journal journal = Journal::start(journal_path, data, data_path, false);
        struct stat st {};
        ASSERT_EQ(::stat(journal_path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode);
        journal.remove();
    }
}

TEST_F(JournalTest, NeverWritesThroughOrRecoversFromAPlantedLink) {
    const std::string target = dir.path("elsewhere");
    std::filesystem::create_symlink(target, journal_path);
    EXPECT_THROW(Journal::start(journal_path, data, data_path, false), IoError);
    EXPECT_FALSE(testing::exists(target));
    testing::write_bytes(target, "not a journal");
    EXPECT_THROW(Journal::recover(journal_path, data, data_path), IoError);
    EXPECT_EQ(testing::read_bytes(target), "not a journal");
    EXPECT_TRUE(std::filesystem::is_symlink(journal_path));
    EXPECT_TRUE(testing::read_bytes(data_path) == original_bytes());
}

TEST_F(JournalTest, AStaleJournalLeftInPlaceIsRefusedAtCreation) {
    Journal first = Journal::start(journal_path, data, data_path, false);
    EXPECT_THROW(Journal::start(journal_path, data, data_path, false), IoError);
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
