// The converter acts only on what is provably the user's: a journal found
// beside the map, the backups it leads to and every name reopened during
// the run are checked as a hostile local user would attack them, and a
// slip of the user (a mistyped rerun, a journal removed after a crash, a
// moved or copied folder) never costs the only copy of the legacy image.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/journal.h"
#include "platform/checksum.h"
#include "platform/file.h"
#include "platform/names.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"
#include "tests/support/v6_expect.h"

namespace fs = std::filesystem;

namespace {

constexpr char kRestored[] = "main: A conversion that did not finish was found; every file was restored from its backup";
constexpr char kFinished[] = "main: Finished successfully!";

// A journal of a real unfinished conversion: the run is killed at its last
// write, when every file but the last metadata file is in layout 6.
void KillAtLastWrite(const ImageRecipe& recipe, const fs::path& dir) {
    const auto original = Snapshot(dir);
    FaultHost counter;
    ASSERT_EQ(Lines((ScopedHost(counter), RunConverterInProcess(ConverterArgs(recipe))).Out).back(), kFinished);
    PutBack(dir, original);
    const int status =
        ConverterChild(ConverterArgs(recipe), {counter.Count(HostCall::Write), HostCall::Write, FaultKind::Crash, 0}).Wait();
    ASSERT_TRUE(EndedByCrash(status));
    ASSERT_TRUE(Exists(MapFileName(recipe) + ".jnl"));
}

std::string Refusal(const std::string& journal, const std::string& why) {
    return "main: The journal [" + journal + "] is not acted on: " + why +
           ". Nothing was changed; if it is not this image's journal, remove it and run again, else restore the image "
           "by hand (see the manual page)";
}

// ---- Journals and backups planted or changed by someone else ----

struct Planted {
    const char* Name;
    // Changes the folder after the crash; returns what the refusal says
    // (with the folder as {D}), or "" when the journal is to be trusted.
    std::string (*Plant)(const std::string& dir);
};
void PrintTo(const Planted& p, std::ostream* out) { *out << p.Name; }

std::string Chown(const std::string& name, unsigned user) {
    FileOwner owner = GetFileOwner(name);
    owner.User = user;
    return SetFileOwner(name, owner) ? "" : "chown failed";
}

const Planted kPlanted[] = {
    {"JournalOfAnotherUser",
     [](const std::string& d) { return Chown(d + "/img.nbbitmap.jnl", 4321) + "it is owned by another user"; }},
    {"JournalWritableByGroup",
     [](const std::string& d) {
         fs::permissions(d + "/img.nbbitmap.jnl", fs::perms::group_write, fs::perm_options::add);
         return std::string("users other than its owner may write it");
     }},
    {"JournalWritableByOthers",
     [](const std::string& d) {
         fs::permissions(d + "/img.nbbitmap.jnl", fs::perms::others_write, fs::perm_options::add);
         return std::string("users other than its owner may write it");
     }},
    {"JournalIsALink",
     [](const std::string& d) {
         fs::rename(d + "/img.nbbitmap.jnl", d + "/elsewhere.jnl");
         fs::create_symlink(d + "/elsewhere.jnl", d + "/img.nbbitmap.jnl");
         return std::string("it is a symbolic link");
     }},
    {"JournalIsAFolder",
     [](const std::string& d) {
         fs::remove(d + "/img.nbbitmap.jnl");
         fs::create_directory(d + "/img.nbbitmap.jnl");
         return std::string("it is not a regular file");
     }},
    {"BackupOfAnotherUser",
     [](const std::string& d) {
         return Chown(d + "/img.nbdata.backup", 4321) + "the backup [" + d + "/img.nbdata.backup] is owned by another user";
     }},
    {"BackupIsALink",
     [](const std::string& d) {
         fs::rename(d + "/img.nbdata.backup", d + "/kept.backup");
         fs::create_symlink(d + "/kept.backup", d + "/img.nbdata.backup");
         return "the backup [" + d + "/img.nbdata.backup] is a symbolic link";
     }},
    // Whoever owns the image's files could change them anyway: trusted.
    {"EverythingOfTheImagesOwner",
     [](const std::string& d) {
         std::string failed;
         for (const auto& entry : fs::directory_iterator(d)) failed += Chown(entry.path().string(), 4321);
         return failed;
     }},
};

class PlantedJournal : public testing::TestWithParam<Planted> {};

TEST_P(PlantedJournal, IsActedOnOnlyWhenProvablyOurs) {
    if (const char* why = OwnershipSkipReason()) GTEST_SKIP() << why;
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(2, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    KillAtLastWrite(recipe, dir.Path());
    const std::string why = GetParam().Plant(dir.Path().string());
    const auto planted = Snapshot(dir.Path());

    const RunResult run = RunConverter(ConverterArgs(recipe));
    if (why.empty()) {
        ASSERT_FALSE(Lines(run.Out).empty());
        EXPECT_EQ(Lines(run.Out)[0], kRestored) << run.Out;
        EXPECT_EQ(Lines(run.Out).back(), kFinished) << run.Out;
        EXPECT_THAT(V6Mismatches(recipe), testing::IsEmpty());
        return;
    }
    EXPECT_EQ(run.ExitCode, ShownExitCode(1307)) << run.Out;
    EXPECT_EQ(run.Out, Refusal(MapFileName(recipe) + ".jnl", why) + "\n");
    EXPECT_EQ(Snapshot(dir.Path()), planted) << "a refused journal changed something";
}

INSTANTIATE_TEST_SUITE_P(Trust, PlantedJournal, testing::ValuesIn(kPlanted), testing::PrintToStringParamName());

// The attack itself: a journal with a good checksum whose names lead out of
// the image (a link to a file of root's) and whose backups are the
// attacker's. Nothing outside the image is touched, the image neither.
struct Forged {
    const char* Name;
    bool ThroughLink;       // the journal's map entry is a link to the victim, else the victim's own name
    bool WholeFileCommand;  // the journal names one file more than the command line
};
void PrintTo(const Forged& f, std::ostream* out) { *out << f.Name; }

class ForgedJournal : public testing::TestWithParam<Forged> {};

TEST_P(ForgedJournal, NamingFilesOutsideTheCommandLineChangesNothing) {
    const Forged& f = GetParam();
    TempDir dir, other;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(4, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const std::string victim = other / "victim";
    WriteBytes(victim, Bytes(4096, 0x5A));
    WriteBytes(other / "attacker.backup", Bytes(100, 0x41));
    WriteBytes(victim + ".backup", Bytes(100, 0x41));
    const std::string entry = f.ThroughLink ? other / "attacker" : victim;
    if (f.ThroughLink) fs::create_symlink(victim, entry);

    NbJournal journal;
    const auto add = [&](const std::string& name, std::uint64_t length) {
        NbJournalFile file;
        file.Name = name;
        file.Length = length;
        file.BackupLength = 100;
        file.BackupCrc = NbCrc32(Bytes(100, 0x41).data(), 100);
        journal.Files.push_back(file);
    };
    add(entry, 0);
    for (std::size_t i = 1; i < ImageFiles(recipe).size(); ++i) add(ImageFiles(recipe)[i], 135168);
    if (f.WholeFileCommand) add(entry, 0);
    const std::string journalName = MapFileName(recipe) + ".jnl";
    ASSERT_EQ(NbJournalWrite(journalName.c_str(), journal), NB_OK);
    const auto image = Snapshot(dir.Path());
    const auto outside = Snapshot(other.Path());

    const RunResult run = RunConverter(ConverterArgs(recipe));
    EXPECT_EQ(run.ExitCode, ShownExitCode(1307)) << run.Out;
    // The journal names files relative to its folder, and says them so.
    const std::string folder = NbFolderOf(journalName);
    const std::string named = NbJoinName(folder, NbRelativeName(folder, entry));
    const std::string why = f.WholeFileCommand
                                ? "it names 4 files, and this command line 3"
                                : "it names [" + named + "], which is not [" + MapFileName(recipe) + "] of this command line";
    EXPECT_EQ(run.Out, Refusal(journalName, why) + "\n");
    EXPECT_EQ(Snapshot(dir.Path()), image);
    EXPECT_EQ(Snapshot(other.Path()), outside);
    EXPECT_EQ(ReadBytes(victim), Bytes(4096, 0x5A));
}

INSTANTIATE_TEST_SUITE_P(Trust, ForgedJournal,
                         testing::Values(Forged {"VictimByName", false, false}, Forged {"VictimThroughLink", true, false},
                                         Forged {"OneFileMore", true, true}),
                         testing::PrintToStringParamName());

// ---- A file swapped while the run works ----

// Another user who can write the folder renames a file away at a chosen
// open and puts a link to a file of root's (or a file of their own) in its place.
class SwappingHost : public ForwardingHost {
public:
    SwappingHost(std::string name, std::uint64_t at, std::string victim, bool link)
        : ForwardingHost(NbSystemHost()), name_(std::move(name)), at_(at), victim_(std::move(victim)), link_(link) {}
    NbResult Open(const char* name, bool existing, std::uint32_t access, std::uint32_t share, std::uint32_t flags,
                  HostHandle* out) override {
        if (name_ == name && ++seen_ == at_) {
            fs::rename(name_, name_ + ".moved");
            if (link_) fs::create_symlink(victim_, name_);
            else fs::copy_file(victim_, name_);
        }
        return ForwardingHost::Open(name, existing, access, share, flags, out);
    }
    std::uint64_t Seen() const { return seen_; }

private:
    std::string name_;
    std::uint64_t at_;
    std::string victim_;
    bool link_;
    std::uint64_t seen_ = 0;
};

struct Swap {
    const char* Name;
    std::uint32_t Layout;
    int File;  // 1 data, 2 metadata
    bool Link;
};
void PrintTo(const Swap& s, std::ostream* out) { *out << s.Name; }

class SwappedFile : public testing::TestWithParam<Swap> {};

TEST_P(SwappedFile, AtAnyOpenNeverLeadsTheRunOutOfTheImage) {
    const Swap& s = GetParam();
    TempDir dir, other;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(s.Layout, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const auto original = Snapshot(dir.Path());
    const std::string target = ImageFiles(recipe)[static_cast<std::size_t>(s.File)];
    const std::string victim = other / "victim";
    const Bytes victimBytes(200000, 0x5A);

    std::uint64_t opens = 0;
    {
        SwappingHost count(target, 0, victim, s.Link);
        ScopedHost scoped(count);
        ASSERT_EQ(Lines(RunConverterInProcess(ConverterArgs(recipe)).Out).back(), kFinished);
        opens = count.Seen();
    }
    ASSERT_GT(opens, 3u);
    for (std::uint64_t at = 1; at <= opens; ++at) {
        SCOPED_TRACE("swapped at open " + std::to_string(at) + " of " + std::to_string(opens));
        PutBack(dir.Path(), original);
        WriteBytes(victim, victimBytes);
        SwappingHost swap(target, at, victim, s.Link);
        RunResult run;
        {
            ScopedHost scoped(swap);
            run = RunConverterInProcess(ConverterArgs(recipe));
        }
        EXPECT_EQ(ReadBytes(victim), victimBytes) << run.Out;
        EXPECT_FALSE(Exists(victim + ".backup"));
        // Only a swap after the run's last open of the file lets it finish.
        if (at < opens) {
            EXPECT_NE(Lines(run.Out).back(), kFinished) << run.Out;
        }
        fs::remove(target);
    }
}

INSTANTIATE_TEST_SUITE_P(Trust, SwappedFile,
                         testing::Values(Swap {"Layout2DataByLink", 2, 1, true}, Swap {"Layout4DataByLink", 4, 1, true},
                                         Swap {"Layout3MetadataByLink", 3, 2, true},
                                         Swap {"Layout4DataByCopy", 4, 1, false}),
                         testing::PrintToStringParamName());

// ---- Slips of the user ----

// A rerun after a success with one base mistyped keeps every backup: the
// run stops before any change, naming the file and why.
struct Slip {
    const char* Name;
    std::vector<std::string> Bases;  // for the map, data and metadata files, "img" being the image
    std::string Why;                 // {D} is the folder
};
void PrintTo(const Slip& s, std::ostream* out) { *out << s.Name; }

class MistypedRerun : public testing::TestWithParam<Slip> {};

TEST_P(MistypedRerun, AfterASuccessKeepsEveryBackup) {
    const Slip& s = GetParam();
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(2, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    ASSERT_EQ(Lines(RunConverter(ConverterArgs(recipe)).Out).back(), kFinished);
    const auto converted = Snapshot(dir.Path());
    std::vector<std::string> args;
    for (const std::string& base : s.Bases) args.push_back(dir / base);
    const RunResult run = RunConverter(args);
    EXPECT_EQ(run.ExitCode, ShownExitCode(183)) << run.Out;
    std::string why = s.Why;
    for (std::size_t at; (at = why.find("{D}")) != std::string::npos;) why.replace(at, 3, dir.Path().string());
    EXPECT_EQ(Lines(run.Out).at(0), "main: The backup [" + MapFileName(recipe) +
                                        ".backup] is kept, as it may be the only copy of the legacy file: " + why +
                                        ". No changes to the image were made")
        << run.Out;
    EXPECT_EQ(Snapshot(dir.Path()), converted);
}

INSTANTIATE_TEST_SUITE_P(
    Slips, MistypedRerun,
    testing::Values(Slip {"MetadataMistyped", {"img", "img", "imgg"}, "[{D}/img.nbbitmap] holds no legacy header (converted, or partly converted)"},
                    Slip {"DataMistyped", {"img", "imgx", "img"}, "[{D}/img.nbbitmap] holds no legacy header (converted, or partly converted)"}),
    [](const testing::TestParamInfo<Slip>& info) { return std::string(info.param.Name); });

// A crash, then the journal removed by the user, then the same command: the
// legacy image is never lost. Either the rerun refuses and changes nothing,
// or every file was still legacy and it converts, its backups holding the
// original heads.
TEST(CrashThenJournalRemoved, TheRerunNeverReplacesTheOnlyCopy) {
    for (const std::uint32_t layout : {2u, 4u}) {
        TempDir dir;
        const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(layout, 0, 1, 34), dir);
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        const auto original = Snapshot(dir.Path());
        FaultHost counter;
        ASSERT_EQ(Lines((ScopedHost(counter), RunConverterInProcess(ConverterArgs(recipe))).Out).back(), kFinished);
        const std::uint64_t calls = counter.Log().size();
        const std::uint64_t stride = std::max<std::uint64_t>(1, calls / 40) * ChildRunStride();
        for (std::uint64_t at = 1; at <= calls; at += stride) {
            SCOPED_TRACE("layout " + std::to_string(layout) + ", killed at call " + std::to_string(at));
            PutBack(dir.Path(), original);
            ConverterChild(ConverterArgs(recipe), {at, HostCall::Count, FaultKind::Crash, 0}).Wait();
            fs::remove(MapFileName(recipe) + ".jnl");
            const auto crashed = Snapshot(dir.Path());
            const RunResult run = RunConverter(ConverterArgs(recipe));
            if (Lines(run.Out).back() != kFinished) {
                EXPECT_EQ(Snapshot(dir.Path()), crashed) << run.Out;
                continue;
            }
            for (const std::string& f : ImageFiles(recipe)) {
                const Bytes& before = original.at(NbLeafOf(f));
                const Bytes backup = ReadBytes(f + ".backup");
                ASSERT_GE(backup.size(), 135168u) << f;
                EXPECT_TRUE(std::equal(backup.begin(), backup.begin() + 135168, before.begin())) << f << run.Out;
            }
        }
    }
}

// Killed with absolute names in one folder, then the folder moved or copied
// and converted there: the journal's names are its folder's, so the run
// restores and converts the image it is given, and nothing else.
TEST(MovedFolder, TheJournalTravelsWithTheImage) {
    for (const bool copy : {false, true}) {
        SCOPED_TRACE(copy ? "copied" : "moved");
        TempDir parent;
        const fs::path a = parent.Path() / "A", b = parent.Path() / "B";
        fs::create_directory(a);
        ImageRecipe recipe = ReliabilityRecipe(2, 0, 1, 34);
        recipe.MapBase = recipe.DataBase = (a / "img").string();
        recipe.MetadataBases = {(a / "img").string()};
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        KillAtLastWrite(recipe, a);
        const auto crashedA = Snapshot(a);
        if (copy) fs::copy(a, b);
        else fs::rename(a, b);
        ImageRecipe there = recipe;
        there.MapBase = there.DataBase = (b / "img").string();
        there.MetadataBases = {(b / "img").string()};
        const RunResult run = RunConverter(ConverterArgs(there));
        ASSERT_FALSE(Lines(run.Out).empty());
        EXPECT_EQ(Lines(run.Out)[0], kRestored) << run.Out;
        EXPECT_EQ(Lines(run.Out).back(), kFinished) << run.Out;
        EXPECT_THAT(V6Mismatches(there), testing::IsEmpty());
        if (copy) {
            EXPECT_EQ(Snapshot(a), crashedA) << "the run changed the folder it was copied from";
        }
    }
}

// A file that may not be written is found out before any change, not after
// the map was renamed.
TEST(ReadOnlyFile, IsRefusedBeforeAnyChange) {
    if (const char* why = OwnershipSkipReason()) GTEST_SKIP() << why;
    if (!Exists("/usr/bin/setpriv")) GTEST_SKIP() << "setpriv is not installed";
    for (int which = 0; which < 3; ++which) {
        TempDir dir;
        const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(4, 0, 1, 34), dir);
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        ASSERT_TRUE(SetFileOwner(dir.Path().string(), {4321, 4321, 0755}));
        for (const std::string& f : ImageFiles(recipe)) ASSERT_TRUE(SetFileOwner(f, {4321, 4321, 0644}));
        const std::string locked = ImageFiles(recipe)[static_cast<std::size_t>(which)];
        ASSERT_TRUE(SetFileOwner(locked, {0, 0, 0644}));
        const auto before = Snapshot(dir.Path());
        std::vector<std::string> args {"--reuid=4321", "--regid=4321", "--clear-groups", "--", NB_CONVERTER_PATH};
        for (const std::string& a : ConverterArgs(recipe)) args.push_back(a);
        const RunResult run = RunProgram("/usr/bin/setpriv", args);
        EXPECT_EQ(run.ExitCode, ShownExitCode(5)) << run.Out;
        EXPECT_EQ(run.Out, "main: File [" + locked + "] cannot be written. Error 5. No changes to the image were made\n");
        EXPECT_EQ(Snapshot(dir.Path()), before);
    }
}

// A map link whose target does not fit a name is refused like any other
// name that does not fit, before anything is made or renamed.
TEST(LongLinkTarget, IsRefusedWithNameTooLong) {
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(2, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const std::string target = dir.Path().string() + "/" + std::string(200, 'a') + "/../" + std::string(200, 'b') +
                               "/../" + std::string(200, 'c') + "/../img.nbbitmap";
    fs::rename(MapFileName(recipe), dir / "real.nbbitmap");
    fs::create_symlink(target, dir / "link.nbbitmap");
    const auto before = Snapshot(dir.Path());
    const RunResult run = RunConverter({dir / "link", dir / "img", dir / "img"});
    EXPECT_EQ(run.ExitCode, ShownExitCode(206));
    EXPECT_EQ(Lines(run.Out).at(0), "main: Could not create a correct name from [" + (dir / "link") +
                                        ".nbbitmap]. Error 206");
    EXPECT_EQ(Snapshot(dir.Path()), before);
    EXPECT_TRUE(fs::is_symlink(dir / "link.nbbitmap"));
}

}  // namespace

namespace {

// A revert on a full disk renames a whole map backup back over the map; if
// the journal survives that (a kill before its removal, another file's
// revert failing), the next run finds the map already the original and its
// backup gone, and restores the rest.
TEST(RenamedBackMap, IsTakenAsRestoredByTheNextRun) {
    for (const std::uint32_t layout : {2u, 4u}) {
        SCOPED_TRACE("layout " + std::to_string(layout));
        TempDir dir;
        const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(layout, 0, 1, 34), dir);
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        const Bytes originalMap = ReadBytes(MapFileName(recipe));
        KillAtLastWrite(recipe, dir.Path());
        fs::rename(MapFileName(recipe) + ".backup", MapFileName(recipe));
        ASSERT_EQ(ReadBytes(MapFileName(recipe)), originalMap);
        const RunResult run = RunConverter(ConverterArgs(recipe));
        ASSERT_FALSE(Lines(run.Out).empty());
        EXPECT_EQ(Lines(run.Out)[0], kRestored) << run.Out;
        EXPECT_EQ(Lines(run.Out).back(), kFinished) << run.Out;
        EXPECT_THAT(V6Mismatches(recipe), testing::IsEmpty());
    }
}

}  // namespace
