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

TEST(Revert, CopiesTheBackupOverTheStartAndNeverShortens) {
    TempDir dir;
    const std::string file = dir / "img.nbmetadata", backup = file + ".backup";
    const Bytes head = Pattern(100000, 3);
    // A longer file keeps its tail; reverting twice is reverting once.
    Bytes longer = Pattern(180000, 5);
    WriteBytes(file, longer);
    WriteBytes(backup, head);
    ASSERT_EQ(NbConvertRevertFromBackup(file.c_str()), NB_OK);
    ASSERT_EQ(NbConvertRevertFromBackup(file.c_str()), NB_OK);
    std::copy(head.begin(), head.end(), longer.begin());
    EXPECT_EQ(ReadBytes(file), longer);
    // A shorter file grows to the backup's length.
    WriteBytes(file, Pattern(10, 7));
    ASSERT_EQ(NbConvertRevertFromBackup(file.c_str()), NB_OK);
    EXPECT_EQ(ReadBytes(file), head);
    // An empty backup copies nothing.
    WriteBytes(backup, {});
    ASSERT_EQ(NbConvertRevertFromBackup(file.c_str()), NB_OK);
    EXPECT_EQ(ReadBytes(file), head);
}

TEST(Revert, WithoutBackupOrFileFailsWith2AndCreatesNothing) {
    TempDir dir;
    const std::string file = dir / "img.nbbitmap";
    WriteBytes(file, Pattern(5000, 2));
    EXPECT_EQ(NbConvertRevertFromBackup(file.c_str()), NB_FILE_NOT_FOUND);
    EXPECT_EQ(ReadBytes(file), Pattern(5000, 2));
    std::filesystem::rename(file, file + ".backup");
    EXPECT_EQ(NbConvertRevertFromBackup(file.c_str()), NB_FILE_NOT_FOUND);
    EXPECT_FALSE(Exists(file));
}

}  // namespace
