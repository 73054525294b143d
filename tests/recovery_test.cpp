// A run that did not finish leaves its journal; the next run puts the image
// back from the backups before anything else, or, when a backup is not the
// one the journal names, changes nothing and says how to restore by hand.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "platform/checksum.h"
#include "platform/endian.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"
#include "tests/support/v6_expect.h"

namespace {

struct Damage {
    const char* Name;
    const char* Victim;      // file name in the image folder, or "" for none
    int How;                 // 0 none, 1 removed, 2 one byte changed, 3 cut by one byte,
                             // (a journal) 4 written in format 2, 5 in a format 4 of the future
    int ExitCode;
    const char* FirstLine;   // what the rerun prints first (with {J} for the journal, {F} for the victim's image file)
};
void PrintTo(const Damage& d, std::ostream* out) { *out << d.Name; }

class Recovery : public testing::TestWithParam<Damage> {};

TEST_P(Recovery, TheNextRunRestoresOrRefusesWithoutAChange) {
    const Damage& d = GetParam();
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(2, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const auto original = Snapshot(dir.Path());
    // The run dies at its last write: every file but the last metadata file is in layout 6.
    FaultHost counter;
    ASSERT_EQ(Lines((ScopedHost(counter), RunConverterInProcess(ConverterArgs(recipe))).Out).back(),
              "main: Finished successfully!");
    PutBack(dir.Path(), original);
    const int status = ConverterChild(ConverterArgs(recipe), {counter.Count(HostCall::Write), HostCall::Write, FaultKind::Crash, 0}).Wait();
    ASSERT_TRUE(EndedByCrash(status));
    const std::string journal = MapFileName(recipe) + ".jnl";
    ASSERT_TRUE(Exists(journal));

    const std::string victim = std::string(d.Victim).empty() ? "" : dir / d.Victim;
    if (d.How == 1) std::filesystem::remove(victim);
    if (d.How == 2) {
        Bytes b = ReadBytes(victim);
        b[100] ^= 1;
        WriteBytes(victim, b);
    }
    if (d.How == 3) std::filesystem::resize_file(victim, std::filesystem::file_size(victim) - 1);
    if (d.How == 4 || d.How == 5) {
        // The version follows the 8-byte magic; format 2 has none, under its own magic.
        Bytes b = ReadBytes(victim);
        b.resize(b.size() - 4);
        if (d.How == 4) b.erase(b.begin() + 8, b.begin() + 12), b[7] = '2';
        else PutLe32(b.data(), 8, 4);
        const std::uint32_t crc = NbCrc32(b.data(), static_cast<std::uint32_t>(b.size()));
        b.resize(b.size() + 4);
        PutLe32(b.data(), b.size() - 4, crc);
        WriteBytes(victim, b);
    }
    const auto damaged = Snapshot(dir.Path());

    const RunResult run = RunConverter(ConverterArgs(recipe));
    EXPECT_EQ(run.ExitCode, d.ExitCode) << run.Out;
    std::string first = d.FirstLine;
    if (const auto at = first.find("{J}"); at != std::string::npos) first.replace(at, 3, journal);
    if (const auto at = first.find("{F}"); at != std::string::npos) first.replace(at, 3, victim.substr(0, victim.size() - 7));
    ASSERT_FALSE(Lines(run.Out).empty());
    EXPECT_EQ(Lines(run.Out)[0], first) << run.Out;
    if (d.ExitCode != 0) {
        EXPECT_EQ(Snapshot(dir.Path()), damaged) << "a refused recovery changed something";
        EXPECT_NE(run.Out.find("by hand"), std::string::npos) << run.Out;
        return;
    }
    EXPECT_EQ(Lines(run.Out).back(), "main: Finished successfully!");
    EXPECT_FALSE(Exists(journal));
    EXPECT_THAT(V6Mismatches(recipe), testing::IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Journal, Recovery,
    testing::Values(
        Damage {"Intact", "", 0, 0, "main: A conversion that did not finish was found; every file was restored from its backup"},
        Damage {"MapBackupMissing", "img.nbbitmap.backup", 1, 2,
                "main: A conversion did not finish, and the backup of [{F}] is missing. Error 2. Nothing was changed"},
        Damage {"DataBackupChanged", "img.nbdata.backup", 2, 13,
                "main: A conversion did not finish, and the backup of [{F}] is not the one its journal names. Error 13. "
                "Nothing was changed"},
        Damage {"MetadataBackupCut", "img.nbmetadata.backup", 3, 13,
                "main: A conversion did not finish, and the backup of [{F}] is not the one its journal names. Error 13. "
                "Nothing was changed"},
        Damage {"JournalDamaged", "img.nbbitmap.jnl", 2, 13,
                "main: The journal [{J}] of a conversion that did not finish cannot be read. Error 13. Nothing was changed"},
        // The previous converter's journal is restored; a later one's is left alone.
        Damage {"JournalInFormat2", "img.nbbitmap.jnl", 4, 0,
                "main: A conversion that did not finish was found; every file was restored from its backup"},
        Damage {"JournalInALaterFormat", "img.nbbitmap.jnl", 5, ShownExitCode(1305),
                "main: The journal [{J}] is in format 4, which this converter does not read (it reads formats 2 and 3). "
                "Nothing was changed; run the converter that wrote it, or restore the image by hand (see the manual page)"}),
    testing::PrintToStringParamName());

// A private image keeps its privacy: the backups, the moved map and the
// journal get the owner, group and permission bits of the file they belong to.
TEST(Ownership, FilesTheConverterMakesBelongToTheImagesOwner) {
    if (const char* why = OwnershipSkipReason()) GTEST_SKIP() << why;
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(2, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    for (const std::string& f : ImageFiles(recipe)) ASSERT_TRUE(SetFileOwner(f, {4321, 8765, 0640}));
    ASSERT_EQ(Lines(RunConverter(ConverterArgs(recipe)).Out).back(), "main: Finished successfully!");
    for (const std::string& f : ImageFiles(recipe))
        for (const std::string& name : {f, f + ".backup"}) {
            const FileOwner owner = GetFileOwner(name);
            EXPECT_EQ(owner.User, 4321u) << name;
            EXPECT_EQ(owner.Group, 8765u) << name;
            EXPECT_EQ(owner.Mode, 0640u) << name;
        }
}

}  // namespace
