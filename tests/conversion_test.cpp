// End to end: legacy images of layouts 2, 3 and 4 written to a temporary
// folder, converted by the real program, and every file compared byte for
// byte with what version 6 says it must hold.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <ostream>
#include <random>

#include "version6/reading.h"
#include "platform/trace.h"
#include "tests/fuzz/fuzz_image.h"
#include "tests/support/conversion_rows.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_support.h"
#include "tests/support/v6_expect.h"
#include "tools/image_maker.h"
#include "version6/plan.h"

namespace {

using ::testing::IsEmpty;

class Conversion : public ::testing::TestWithParam<ConversionRow> {};

// A fault anywhere in placement, checksums, compaction, the table copy, the
// identifiers or the backups shows up as a mismatch; a second run must see
// version 6 and change nothing at all, the backups (the only copy of the
// legacy image) included. nbinfo must read both forms.
TEST_P(Conversion, WritesEveryVersion6RecordAndASecondRunChangesNothing) {
    TempDir dir;
    ExpectEveryVersion6RecordAndAnIdleSecondRun(MakeRecipe(GetParam(), dir), dir);
}

// Every regular file under a folder, by its name there: its bytes and its
// permission bits.
using Tree = std::map<std::string, std::pair<Bytes, std::filesystem::perms>>;
Tree FilesUnder(const std::filesystem::path& dir) {
    Tree tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
        if (entry.is_regular_file())
            tree[std::filesystem::relative(entry.path(), dir).generic_string()] = {ReadBytes(entry.path().string()),
                                                                                  entry.status().permissions()};
    return tree;
}

// The names whose bytes or bits differ, or that only one tree has.
std::vector<std::string> Differing(const Tree& a, const Tree& b) {
    std::vector<std::string> names;
    for (const auto& [name, file] : a)
        if (!b.contains(name) || b.at(name) != file) names.push_back(name);
    for (const auto& [name, file] : b)
        if (!a.contains(name)) names.push_back(name);
    return names;
}

// nbundo gives back the very legacy image: every file byte for byte, its
// length and its permission bits (a mode changed after the conversion is put
// back), no record or journal left, each backup kept; --dry-run changes nothing.
TEST_P(Conversion, UndoGivesBackEveryLegacyFileAndItsMode) {
    TempDir dir;
    const ImageRecipe recipe = MakeRecipe(GetParam(), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const Tree legacy = FilesUnder(dir.Path());
    const std::vector<std::string> files = ImageFiles(recipe), args = ConverterArgs(recipe);
    const RunResult run = RunConverter(args);
    ASSERT_EQ(Lines(run.Out), ConvertedLines(recipe.Layout, recipe)) << run.Err;
    ASSERT_TRUE(Exists(files[0] + ".undo"));

    const Tree converted = FilesUnder(dir.Path());
    std::vector<std::string> dryRun {"--dry-run"};
    dryRun.insert(dryRun.end(), args.begin(), args.end());
    RunResult undo = RunUndo(dryRun);
    EXPECT_EQ(undo.ExitCode, 0) << undo.Out;
    EXPECT_THAT(Differing(FilesUnder(dir.Path()), converted), IsEmpty()) << "--dry-run changed these";

    namespace fs = std::filesystem;
    fs::permissions(files[1], fs::perms::owner_read | fs::perms::owner_write);
    undo = RunUndo(args);
    std::vector<std::string> said;
    for (const std::string& file : files) said.push_back("nbundo: File [" + file + "] put back as it was before the conversion");
    said.push_back("nbundo: Undone: the image is in its legacy layout again; its backups are kept");
    EXPECT_EQ(undo.ExitCode, 0) << undo.Err;
    EXPECT_EQ(Lines(undo.Out), said);
    Tree undone = FilesUnder(dir.Path());
    for (const std::string& file : files) {
        const std::string name = fs::relative(file, dir.Path()).generic_string();
        const auto backup = undone.find(name + ".backup");
        const Bytes& original = legacy.at(name).first;
        ASSERT_NE(backup, undone.end()) << name << ": no backup kept";
        const Bytes& kept = backup->second.first;
        EXPECT_TRUE(kept.size() <= original.size() && std::equal(kept.begin(), kept.end(), original.begin()))
            << name << ".backup is not the legacy file's head";
        undone.erase(backup);
    }
    // What is left is the legacy image and nothing else: no record, no journal.
    EXPECT_THAT(Differing(undone, legacy), IsEmpty()) << "not given back exactly";
}

// The plan the converter makes of the legacy image, read as the driver reads it.
NbConversionPlan PlanOf(const ImageRecipe& recipe) {
    const std::vector<std::string> files = ImageFiles(recipe);
    std::vector<char*> metadata;
    for (std::size_t i = 2; i < files.size(); ++i) metadata.push_back(const_cast<char*>(files[i].c_str()));
    const NbQuietTrace quiet;
    NbImageReading reading;
    EXPECT_EQ(NbReadImage({files[0].c_str(), files[1].c_str(), metadata.data(), static_cast<std::uint16_t>(metadata.size())},
                          &reading), NB_OK);
    return reading.Plan;
}

// An exact revert rests on the plan: beyond the head backups, a file's
// original bytes are kept (in the journal) only where the plan says the
// rewrite will write. Every write of a real conversion, recorded by the test
// host, must lie there, unless the file's backup is the whole file. Returns
// how many writes each file got.
std::vector<std::size_t> ExpectWritesInsideThePlan(const std::vector<std::string>& files,
                                                   const std::vector<std::uint64_t>& lengths,
                                                   const NbConversionPlan& plan, const FaultHost& recorder) {
    std::vector<std::size_t> writes(files.size());
    for (const FaultHost::Written& w : recorder.Writes()) {
        const auto file = std::ranges::find(files, w.Path);
        if (file == files.end()) continue;  // a backup, the journal
        const auto i = static_cast<std::size_t>(file - files.begin());
        ++writes[i];
        if (i == 0 && plan.WholeMapBackup) continue;
        const NbImageFile kind = i == 0 ? NbImageFile::Map : i == 1 ? NbImageFile::Data : NbImageFile::Metadata;
        const auto saved = NbRangesWithin(NbPlannedWrites(kind, plan.Rewrite, lengths[i]), kHeadBackup, lengths[i]);
        for (const NbByteRange& part : NbRangesWithin({{w.Offset, w.Length}}, kHeadBackup, lengths[i]))
            EXPECT_TRUE(std::ranges::any_of(saved, [&](const NbByteRange& r) {
                return r.Offset <= part.Offset && part.Offset + part.Length <= r.Offset + r.Length;
            })) << w.Path << ": " << part.Length << " bytes at " << part.Offset << " written, not saved";
    }
    return writes;
}

std::vector<std::uint64_t> Lengths(const std::vector<std::string>& files) {
    std::vector<std::uint64_t> lengths;
    for (const std::string& file : files) lengths.push_back(std::filesystem::file_size(file));
    return lengths;
}

TEST_P(Conversion, WritesNothingBeyondTheHeadBackupsThatThePlanDidNotSave) {
    TempDir dir;
    const ImageRecipe recipe = MakeRecipe(GetParam(), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const std::vector<std::string> files = ImageFiles(recipe);
    const std::vector<std::uint64_t> lengths = Lengths(files);
    const NbConversionPlan plan = PlanOf(recipe);
    FaultHost recorder;
    const RunResult run = (ScopedHost(recorder), RunConverterInProcess(ConverterArgs(recipe)));
    ASSERT_EQ(Lines(run.Out), ConvertedLines(recipe.Layout, recipe)) << run.Err;
    const std::vector<std::size_t> writes = ExpectWritesInsideThePlan(files, lengths, plan, recorder);
    for (std::size_t i = 0; i < files.size(); ++i) EXPECT_GT(writes[i], 0u) << files[i] << " was never written";
}

// The same over a sample of the fuzzer's inputs: its seeds for the whole
// program, and variants of them (from a fixed seed) with one header field
// set to a value that placements turn on, or one body of another length.
// Each variant the reading stage accepts is converted under the recording
// host; it must write only where its plan saved, and end converted or, when
// refused or reverted, exactly as it was.
TEST(FuzzSample, WritesNothingBeyondTheHeadBackupsThatThePlanDidNotSave) {
    TempDir dir;
    const auto seeds = FuzzSeeds(dir.Path().string());
    ASSERT_FALSE(seeds.empty());
    const std::uint32_t values[] = {0, 1, 2, 3, 512, 4095, 4096, 4097, 8192, 65536, 1u << 20, 0xFFFFFFFFu};
    std::mt19937 random(20261207);
    std::vector<FuzzImage> sample;
    for (const auto& [name, input] : seeds) {
        FuzzImage seed = DecodeFuzzInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
        if (!seed.Whole) continue;
        sample.push_back(seed);
        for (int k = 0; k < 30; ++k) {
            FuzzImage variant = seed;
            std::string& head = variant.Heads[random() % 3];
            if (random() % 4 == 0 || head.size() < 24) {
                variant.Bodies[random() % 3] = random() % 0x1000 * 64;
            } else {
                // A 16- or 32-bit field behind the shared opening (signature, length, identifier).
                const std::size_t at = 16 + random() % ((std::min<std::size_t>(head.size(), 64) - 20) / 2) * 2;
                const std::uint32_t value = values[random() % std::size(values)];
                for (std::size_t b = 0; b < (random() % 2 == 0 ? 2u : 4u); ++b)
                    head[at + b] = static_cast<char>(value >> 8 * b);
            }
            sample.push_back(variant);
        }
    }
    std::size_t converted = 0, accepted = 0;
    for (std::size_t n = 0; n < sample.size(); ++n) {
        const std::filesystem::path folder = dir / ("case" + std::to_string(n));
        std::filesystem::create_directory(folder);
        const std::string base = (folder / "img").string();
        const std::vector<std::string> files = WriteFuzzImage(sample[n], base);
        ASSERT_FALSE(files.empty());
        SCOPED_TRACE("variant " + std::to_string(n) + " in " + folder.string());
        std::vector<char*> metadata;
        for (std::size_t i = 2; i < files.size(); ++i) metadata.push_back(const_cast<char*>(files[i].c_str()));
        NbImageReading reading;
        {
            const NbQuietTrace quiet;
            (void)NbReadImage({files[0].c_str(), files[1].c_str(), metadata.data(),
                               static_cast<std::uint16_t>(metadata.size())}, &reading);  // most variants are refused
        }
        if (!reading.Read) continue;
        ++accepted;
        const std::vector<std::uint64_t> lengths = Lengths(files);
        std::vector<Bytes> before;
        for (const std::string& file : files) before.push_back(ReadBytes(file));
        std::vector<std::string> args {base, base, base};
        if (files.size() == 4) args.push_back(base + "1");
        FaultHost recorder;
        const RunResult run = (ScopedHost(recorder), RunConverterInProcess(args));
        ExpectWritesInsideThePlan(files, lengths, reading.Plan, recorder);
        if (Lines(run.Out).back() == "main: Finished successfully!") {
            ++converted;
            continue;
        }
        for (std::size_t i = 0; i < files.size(); ++i) EXPECT_EQ(ReadBytes(files[i]), before[i]) << files[i] << "\n" << run.Out;
    }
    // A sample that converts next to nothing would prove next to nothing.
    EXPECT_GE(converted, sample.size() / 4) << accepted << " of " << sample.size() << " accepted";
}

INSTANTIATE_TEST_SUITE_P(Layouts, Conversion, ::testing::ValuesIn(ConversionRows()), ::testing::PrintToStringParamName());

// nbmkimage: its options must reach the image exactly as ImageRecipe says.
struct ToolRow {
    const char* Name;
    std::vector<std::string> Options;
    ImageRecipe Recipe;  // the same image, bases aside
    std::size_t Metadata;
};
void PrintTo(const ToolRow& row, std::ostream* out) { *out << row.Name; }

ImageRecipe ToolRecipe(std::uint32_t layout, void (*change)(ImageRecipe&)) {
    ImageRecipe recipe;
    recipe.Layout = layout;
    change(recipe);
    return recipe;
}

class SampleImages : public ::testing::TestWithParam<ToolRow> {};

TEST_P(SampleImages, NbmkimageWritesTheImageItsOptionsDescribe) {
    TempDir made, expected;
    ImageRecipe recipe = GetParam().Recipe;
    recipe.MetadataBases.resize(GetParam().Metadata);
    ASSERT_TRUE(WriteImage(PlaceImage(recipe, expected), nullptr));
    std::vector<std::string> args = GetParam().Options;
    for (const std::string& base : ConverterArgs(PlaceImage(recipe, made))) args.push_back(base);
    const RunResult run = RunProgram(ToolPath("nbmkimage"), args);
    EXPECT_TRUE(run.ExitCode == 0 && run.Err.empty()) << run.Err;
    EXPECT_TRUE(Snapshot(made.Path()) == Snapshot(expected.Path())) << "the files differ from the maker's";
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SampleImages,
    ::testing::Values(
        ToolRow {"Layout2Random",
                 {"--layout", "2", "--image-size", "40000", "--data-size", "300000", "--map-content", "random", "--seed", "7",
                  "--drop-percent", "50", "--drop-cluster", "3"},
                 ToolRecipe(2, [](ImageRecipe& s) { s.ImageSize = 40000, s.DataBytes = 300000, s.Content = MapContent::Random, s.Seed = 7, s.DropPercent = 50,
                                                s.DropCluster = 3; }),
                 1},
        ToolRow {"Layout3Extended",
                 {"--layout=3", "--map-type", "1", "--map-table-size", "131072", "--map-page-size", "1048576", "--block-size",
                  "4096", "--data-size", "409600", "--image-guid", "0x55", "--data-guid", "66", "--map-text", "from nbmkimage"},
                 ToolRecipe(3, [](ImageRecipe& s) { s.MapType = 1, s.MapTableSize = 131072, s.MapPageSize = 1048576, s.BlockSize = 4096,
                                                s.DataBytes = 409600, s.ImageGuid = 0x55, s.DataGuid = 66, s.MapText = "from nbmkimage"; }),
                 2},
        ToolRow {"Layout4Plain",
                 {"--layout", "4", "--image-size", "33000", "--map-data-offset", "8192", "--map-content", "sparse", "--drop-every", "2",
                  "--data-size", "300000", "--metadata-size", "200000", "--map-pages", "32"},
                 ToolRecipe(4, [](ImageRecipe& s) { s.ImageSize = 33000, s.MapDataOffset = 8192, s.DropEvery = 2, s.DataBytes = 300000,
                                                s.MetadataBytes = 200000, s.MapPages = 32; }),
                 3}),
    ::testing::PrintToStringParamName());

class NonsenseOptions : public ::testing::TestWithParam<std::vector<std::string>> {};

// A command line that makes no sense must not leave a half-made image.
TEST_P(NonsenseOptions, ExitWith2AndOneLineWithoutWritingAnyFile) {
    TempDir dir;
    std::vector<std::string> args = GetParam();
    for (std::string& word : args)
        if (word == "B") word = dir / "img";
    const RunResult run = RunProgram(ToolPath("nbmkimage"), args);
    EXPECT_EQ(run.ExitCode, 2);
    EXPECT_EQ(Lines(run.Err).size(), 1u) << run.Err;
    EXPECT_EQ(run.Out, "");
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

using Words = std::vector<std::string>;
INSTANTIATE_TEST_SUITE_P(
    Lines, NonsenseOptions,
    ::testing::Values(Words {"--frobnicate", "1", "B", "B", "B"}, Words {"B", "B", "B", "--seed"}, Words {"--image-size", "lots", "B", "B", "B"},
                      Words {"--image-size", "4294967296", "B", "B", "B"}, Words {"--layout", "5", "B", "B", "B"},
                      Words {"--layout", "3", "--map-type", "2", "B", "B", "B"}, Words {"--block-size", "0", "B", "B", "B"},
                      Words {"--map-content", "full", "B", "B", "B"}, Words {"--drop-cluster", "0", "B", "B", "B"},
                      Words {"B", "B"}));

}  // namespace
