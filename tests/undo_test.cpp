// nbundo end to end: a converted image whose record is not provably ours, or
// that is no longer what its record names, is refused with every reason said
// and nothing changed; a good one is given back exactly, as often as it is
// converted again. (Failed calls and kills: fault_sweep_test.cpp.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include "driver/journal.h"
#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"
#include "tools/image_maker.h"

namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

// Both kinds of map backup: the head of an extended map, and the whole plain
// map that a layout 3 relocation renames away.
struct UndoImage {
    const char* Name;
    ImageRecipe Recipe;
    bool WholeMapBackup;
};
void PrintTo(const UndoImage& image, std::ostream* out) { *out << image.Name; }
const UndoImage kImages[] = {{"Layout4Extended", ReliabilityRecipe(4, 1, 2, 34), false},
                             {"Layout3WholeMap", ReliabilityRecipe(3, 0, 1, 34), true}};

constexpr char kCannot[] = "nbundo: The image cannot be undone. Nothing was changed";

std::string LastLine(const std::string& out) {
    const Words lines = Lines(out);
    return lines.empty() ? "" : lines.back();
}

// One image, converted in a memory folder by the converter's entry.
class UndoTest : public testing::Test {
public:
    void Convert(const ImageRecipe& image) {
        recipe = PlaceImage(image, dir);
        files = ImageFiles(recipe), args = ConverterArgs(recipe);
        record = files[0] + ".undo";
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        originals = Snapshot(dir.Path());
        const RunResult run = RunConverterInProcess(args);
        ASSERT_EQ(LastLine(run.Out), "main: Finished successfully!") << run.Out;
        HostFileInfo info;
        std::uint32_t version = 0;
        ASSERT_EQ(NbUndoRead(record.c_str(), &undo, &info, &version), NB_OK);
        converted = Snapshot(dir.Path());
    }
    static void Flip(const std::string& name, std::uint64_t offset) {
        Bytes bytes = ReadBytes(name);
        bytes.at(offset) ^= 0x5A;
        WriteBytes(name, bytes);
    }
    // The first byte of file k's fingerprinted range r, as the record lists them.
    std::uint64_t Fingerprinted(std::size_t k, std::size_t r) const { return undo.Files.at(k).Fingerprinted.at(r).Offset; }
    std::string Changed(std::size_t k) const {
        return "[" + files[k] + "] is not as the conversion left it: it changed since (used in layout 6?)";
    }
    std::string Refused(const std::string& why) const {
        return "The undo record [" + record + "] is not acted on: " + why;
    }
    std::string NoRecord() const {
        return "There is no undo record [" + record + "]: nothing to undo (the image was not converted by this "
               "converter, or was undone already)";
    }
    Words With(const Words& options) const {
        Words words = options;
        words.insert(words.end(), args.begin(), args.end());
        return words;
    }
    // nbundo gives back the legacy image files, keeps a backup of each head,
    // and leaves neither record nor journal.
    void ExpectUndone(const RunResult& run) {
        EXPECT_EQ(run.ExitCode, 0) << run.Out << run.Err;
        EXPECT_EQ(LastLine(run.Out), "nbundo: Undone: the image is in its legacy layout again; its backups are kept");
        for (const std::string& file : files) {
            const Bytes& original = originals.at(fs::path(file).filename().string());
            const Bytes backup = ReadBytes(file + ".backup");
            EXPECT_TRUE(ReadBytes(file) == original) << file << " is not the legacy file";
            EXPECT_TRUE(!backup.empty() && backup.size() <= original.size() &&
                        std::equal(backup.begin(), backup.end(), original.begin())) << file << ".backup";
        }
        EXPECT_FALSE(Exists(record) || Exists(files[0] + ".jnl"));
    }

    MemoryTempDirs memory;
    TempDir dir, elsewhere;
    ImageRecipe recipe;
    Words files, args;
    std::string record;
    std::map<std::string, Bytes> originals, converted;
    NbUndoRecord undo;
};

// A change made after the conversion, and the problem lines (without
// "nbundo: ") nbundo must print for it.
struct Refusal {
    const char* Name;
    unsigned Code;
    Words (*Change)(UndoTest& t);
    const char* (*Skip)() = nullptr;  // why the change cannot be made here
};
void PrintTo(const Refusal& row, std::ostream* out) { *out << row.Name; }

const Refusal kRefusals[] = {
    // A byte of the map body: a retained page of a plain map, the pages
    // behind an extended map's 4 KiB table.
    {"MapPageChanged", 13, [](UndoTest& t) {
         t.Flip(t.files[0], 8192 + 10);
         return Words {t.Changed(0)};
     }},
    // Range 0 is the head the backup holds, the data header in it; 1 all
    // behind the original end, the superblocks first.
    {"DataSuperblockChanged", 13, [](UndoTest& t) {
         t.Flip(t.files[1], t.Fingerprinted(1, 1) + 8);
         return Words {t.Changed(1)};
     }},
    // Data written in layout 6 where the undo would put the head back.
    {"DataBlockInTheHeadChanged", 13, [](UndoTest& t) {
         t.Flip(t.files[1], 100000);
         return Words {t.Changed(1)};
     }},
    {"MetadataHeaderChanged", 13, [](UndoTest& t) {
         const std::size_t last = t.files.size() - 1;
         t.Flip(t.files[last], t.Fingerprinted(last, 0) + 4);
         return Words {t.Changed(last)};
     }},
    {"DataFileOneByteLonger", 13, [](UndoTest& t) {
         Bytes bytes = ReadBytes(t.files[1]);
         bytes.push_back(0);
         WriteBytes(t.files[1], bytes);
         const std::string length = std::to_string(bytes.size() - 1);
         return Words {"[" + t.files[1] + "] is " + std::to_string(bytes.size()) + " bytes long, not the " + length +
                       " the conversion left: it changed since"};
     }},
    {"MapBackupChanged", 13, [](UndoTest& t) {
         t.Flip(t.files[0] + ".backup", 100);
         return Words {"The backup [" + t.files[0] + ".backup] is not the one the undo record names"};
     }},
    {"BackupMissing", 13, [](UndoTest& t) {
         fs::remove(t.files.back() + ".backup");
         return Words {"The backup [" + t.files.back() + ".backup] is missing"};
     }},
    {"RecordDamaged", 13, [](UndoTest& t) {
         t.Flip(t.record, fs::file_size(t.record) / 2);
         return Words {"The undo record [" + t.record + "] is damaged"};
     }},
    {"NoRecord", 2, [](UndoTest& t) {
         fs::remove(t.record);
         return Words {t.NoRecord()};
     }},
    {"RecordIsALinkToARecord", 1307, [](UndoTest& t) {
         const std::string moved = t.elsewhere / "img.nbbitmap.undo";
         fs::rename(t.record, moved);
         fs::create_symlink(moved, t.record);
         return Words {t.Refused("it is a symbolic link")};
     }, SymbolicLinkSkipReason},
    {"RecordWritableByOthers", 1307, [](UndoTest& t) {
         fs::permissions(t.record, fs::perms(0666));
         return Words {t.Refused("users other than its owner may write it")};
     }, ModeBitsSkipReason},
    {"RecordOfAnotherUser", 1307, [](UndoTest& t) {
         EXPECT_TRUE(SetFileOwner(t.record, {65534, 65534, 0600}));
         return Words {t.Refused("it is owned by another user")};
     }, OwnershipSkipReason},
    // The record of another image (as many files, other names) copied in.
    {"RecordOfAnotherImage", 1307, [](UndoTest& t) {
         ImageRecipe other = t.recipe;
         other.MapBase = other.DataBase = t.elsewhere / "other";
         for (std::size_t i = 0; i < other.MetadataBases.size(); ++i)
             other.MetadataBases[i] = t.elsewhere / ("other" + (i == 0 ? std::string() : std::to_string(i)));
         EXPECT_TRUE(WriteImage(other, nullptr));
         EXPECT_EQ(RunConverterInProcess(ConverterArgs(other)).ExitCode, 0);
         WriteBytes(t.record, ReadBytes(t.elsewhere / "other.nbbitmap.undo"));
         return Words {t.Refused("it names [" + (t.dir / "other.nbbitmap") + "], which is not [" + t.files[0] +
                                 "] of this command line")};
     }},
    // Every mismatch is named, not only the first.
    {"MapPageAndDataBackupChanged", 13, [](UndoTest& t) {
         t.Flip(t.files[0], 8192 + 10);
         t.Flip(t.files[1] + ".backup", 100);
         return Words {t.Changed(0), "The backup [" + t.files[1] + ".backup] is not the one the undo record names"};
     }},
};

class UndoRefusal : public UndoTest, public testing::WithParamInterface<std::tuple<Refusal, UndoImage>> {};

TEST_P(UndoRefusal, SaysEveryProblemAndChangesNothing) {
    const auto& [row, image] = GetParam();
    if (const char* why = row.Skip != nullptr ? row.Skip() : nullptr) GTEST_SKIP() << why;
    ASSERT_NO_FATAL_FAILURE(Convert(image.Recipe));
    Words expected = row.Change(*this);
    for (std::string& line : expected) line = "nbundo: " + line;
    expected.push_back(kCannot);
    const auto before = Snapshot(dir.Path());
    const RunResult run = RunUndo(args);
    EXPECT_EQ(run.ExitCode, ShownExitCode(row.Code)) << run.Err;
    EXPECT_EQ(Lines(run.Out), expected);
    EXPECT_TRUE(Snapshot(dir.Path()) == before) << "nbundo changed the folder";
}

INSTANTIATE_TEST_SUITE_P(Rows, UndoRefusal, testing::Combine(testing::ValuesIn(kRefusals), testing::ValuesIn(kImages)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).Name) + "_" + std::get<1>(info.param).Name;
                         });

class UndoRun : public UndoTest, public testing::WithParamInterface<UndoImage> {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Convert(GetParam().Recipe)); }
};

TEST_P(UndoRun, AUsageErrorExits87AndChangesNothing) {
    const Words usage {"nbundo [--dry-run] <.nbbitmap location> <.nbdata location> <.nbmetadata location> "
                       "[<.nbmetadata location>]",
                       "nbundo c:\\images\\img c:\\images\\img c:\\images\\img"};
    // No bases, and two of the three.
    for (const Words& words : {Words {}, Words {"--dry-run"}, Words {args[0], args[1]}, Words {"--dry-run", args[0], args[1]}}) {
        const RunResult run = RunUndo(words);
        EXPECT_EQ(run.ExitCode, 87) << testing::PrintToString(words);
        EXPECT_EQ(Lines(run.Out), usage);
    }
    EXPECT_TRUE(Snapshot(dir.Path()) == converted);
}

TEST_P(UndoRun, DryRunSaysWhatWouldBePutBackAndChangesNothing) {
    Words expected;
    for (std::size_t k = 0; k < files.size(); ++k) {
        const NbUndoFile& f = undo.Files[k];
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", f.Mode);
        expected.push_back("nbundo: [" + files[k] + "] would be put back from [" + files[k] + ".backup]" +
                           (k == 0 && GetParam().WholeMapBackup ? " (the whole file, by rename)" : "") + ": " +
                           std::to_string(originals.at(fs::path(files[k]).filename().string()).size()) +
                           " bytes, owner " + std::to_string(f.Owner) + ", group " + std::to_string(f.Group) +
                           ", mode " + mode);
    }
    expected.push_back("nbundo: The image can be undone: every backup and every file is as the undo record names. "
                       "Nothing was changed (--dry-run)");
    const RunResult run = RunUndo(With({"--dry-run"}));
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(Lines(run.Out), expected);
    EXPECT_TRUE(Snapshot(dir.Path()) == converted);
}

// A converter run on the converted image keeps the record; after the undo
// the converter converts the image again, to the very same files, and a
// second undo again gives back the original. One more undo finds no record
// and changes nothing.
TEST_P(UndoRun, ARoundTripTwiceGivesBackTheOriginalEachTimeAndAThirdUndoFindsNoRecord) {
    const RunResult noop = RunConverter(args);
    EXPECT_EQ(Lines(noop.Out), (Words {"main: Version of image headers is 6", "No conversion is needed"}));
    EXPECT_TRUE(Snapshot(dir.Path()) == converted) << "the record or a file changed";
    ExpectUndone(RunUndo(args));
    const RunResult again = RunConverter(args);
    EXPECT_EQ(LastLine(again.Out), "main: Finished successfully!") << again.Out;
    EXPECT_TRUE(Snapshot(dir.Path()) == converted) << "the second conversion differs from the first";
    ExpectUndone(RunUndo(args));
    const auto undone = Snapshot(dir.Path());
    const RunResult third = RunUndo(args);
    EXPECT_EQ(third.ExitCode, 2);
    EXPECT_EQ(Lines(third.Out), (Words {"nbundo: " + NoRecord(), kCannot}));
    EXPECT_TRUE(Snapshot(dir.Path()) == undone);
}

INSTANTIATE_TEST_SUITE_P(Images, UndoRun, testing::ValuesIn(kImages), testing::PrintToStringParamName());

}  // namespace
