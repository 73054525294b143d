// The backup and the revert on their own: what a user's way back consists of.
#include <gtest/gtest.h>

#include "driver/backup.h"
#include "tests/support/test_support.h"

namespace {

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + seed + i / 4096);
    return b;
}

struct BackupCase {
    const char* Name;
    std::size_t FileLength;
    std::size_t OldBackupLength;  // 0: no backup before
    NbResult Expected;
    std::size_t BackupLength;     // what the backup holds afterwards (at most, after a failure)
};

class Backup : public ::testing::TestWithParam<BackupCase> {};

TEST_P(Backup, HoldsExactlyTheHeadAndReplacesAnOlderOne) {
    const BackupCase& c = GetParam();
    TempDir dir;
    const std::string file = dir / "img.nbdata", backup = file + ".backup";
    const Bytes original = Pattern(c.FileLength, 1);
    WriteBytes(file, original);
    if (c.OldBackupLength != 0) WriteBytes(backup, Pattern(c.OldBackupLength, 9));
    EXPECT_EQ(NbConvertCreateBackupFile(file.c_str(), NB_BACKUP_LENGTH), c.Expected);
    EXPECT_EQ(ReadBytes(file), original);
    // A failed copy leaves a part of the head, however much of it moved.
    const Bytes got = ReadBytes(backup);
    ASSERT_LE(got.size(), c.BackupLength);
    EXPECT_EQ(got, Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(got.size())));
    if (c.Expected == NB_OK) {
        EXPECT_EQ(got.size(), c.BackupLength);
    }
}

INSTANTIATE_TEST_SUITE_P(Heads, Backup, ::testing::Values(
    BackupCase {"ExactHead", NB_BACKUP_LENGTH, 0, NB_OK, NB_BACKUP_LENGTH},
    BackupCase {"LongerFile", 300000, 0, NB_OK, NB_BACKUP_LENGTH},
    BackupCase {"OlderLongerBackupReplaced", 200000, 250000, NB_OK, NB_BACKUP_LENGTH},
    BackupCase {"ShortFileLeavesPartialBackup", 1000, 5000, NB_IO_INCOMPLETE, 1000}),
    [](const auto& info) { return std::string(info.param.Name); });

// The revert gives a file back exactly: the backup over its start, the saved
// bytes in their places, and the length it had; twice is the same as once.
TEST(Revert, GivesBackEveryByteAndTheLength) {
    TempDir dir;
    const std::string file = dir / "img.nbdata", backup = file + ".backup";
    const Bytes original = Pattern(200000, 3);
    WriteBytes(backup, Bytes(original.begin(), original.begin() + NB_BACKUP_LENGTH));
    const std::vector<NbSavedRange> saved {{150000, Bytes(original.begin() + 150000, original.begin() + 150032)}};
    for (const std::size_t now : {std::size_t {260000}, std::size_t {200000}}) {
        const Bytes changed = Pattern(now, 9);  // longer (superblocks appended), or as long
        WriteBytes(file, changed);
        // What lies between the head and the saved bytes was never written
        // by the rewrite; here it stands for bytes the test changed itself.
        Bytes want(changed.begin(), changed.begin() + static_cast<std::ptrdiff_t>(original.size()));
        std::copy(original.begin(), original.begin() + NB_BACKUP_LENGTH, want.begin());
        std::copy(original.begin() + 150000, original.begin() + 150032, want.begin() + 150000);
        ASSERT_EQ(NbConvertRevertFromBackup(file.c_str(), original.size(), saved), NB_OK);
        EXPECT_EQ(ReadBytes(file), want);
        ASSERT_EQ(NbConvertRevertFromBackup(file.c_str(), original.size(), saved), NB_OK);
        EXPECT_EQ(ReadBytes(file), want);
    }
}

// A missing file comes back only from a backup of the whole file; a missing
// backup leaves the file as it is. Both fail with 2 otherwise.
TEST(Revert, MakesAMissingFileOnlyFromAWholeBackup) {
    TempDir dir;
    const std::string file = dir / "img.nbbitmap", backup = file + ".backup";
    const Bytes whole = Pattern(150000, 2);
    WriteBytes(file, Pattern(5000, 4));
    EXPECT_EQ(NbConvertRevertFromBackup(file.c_str(), whole.size(), {}), NB_FILE_NOT_FOUND);
    EXPECT_EQ(ReadBytes(file), Pattern(5000, 4));
    std::filesystem::remove(file);
    WriteBytes(backup, Bytes(whole.begin(), whole.begin() + NB_BACKUP_LENGTH));
    EXPECT_EQ(NbConvertRevertFromBackup(file.c_str(), whole.size(), {}), NB_FILE_NOT_FOUND);
    EXPECT_FALSE(Exists(file));
    WriteBytes(backup, whole);
    ASSERT_EQ(NbConvertRevertFromBackup(file.c_str(), whole.size(), {}), NB_OK);
    EXPECT_EQ(ReadBytes(file), whole);
    EXPECT_EQ(ReadBytes(backup), whole);
}

}  // namespace
