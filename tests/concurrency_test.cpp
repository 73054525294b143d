// Another user holding a file of the image; and paths a user could hand the
// real program: spaces, bytes that are not ASCII, links and the longest names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include "platform/file.h"
#include "tests/support/test_support.h"
#include "tests/support/v6_expect.h"
#include "tools/image_maker.h"

namespace {

// File: 0 map, 1 data, 2 metadata; Access: how the other user holds it.
struct Held { const char* Name; std::size_t File; std::uint32_t Access; const char* Message; int ExitCode; };
void PrintTo(const Held& held, std::ostream* out) { *out << held.Name; }

class HeldFile : public testing::TestWithParam<Held> {};

// A file held by a writer stops the converter at its first open, the
// backup's, with 32; once it is free, one run converts and the next has
// nothing to do. A reader lets the backups be made and stops the rewrite of
// its file, after which the converter reverts what it changed.
TEST_P(HeldFile, StopsTheConverterWith32AndThenConvertsOnce) {
    const Held& held = GetParam();
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(2, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const std::vector<std::string> files = ImageFiles(recipe);
    const auto before = Snapshot(dir.Path());
    {
        CNimbraFile other;
        ASSERT_EQ(other.Create(files[held.File].c_str(), NB_OPEN_EXISTING, held.Access, NB_SHARE_READ, 0), NB_OK);
        const RunResult run = RunConverter(ConverterArgs(recipe));
        EXPECT_EQ(run.ExitCode, held.ExitCode);
        const auto lines = Lines(run.Out);
        EXPECT_NE(std::find(lines.begin(), lines.end(), std::string(held.Message)), lines.end()) << run.Out;
        for (const std::string& f : files)
            ExpectOriginal(f, before.at(std::filesystem::path(f).filename().string()), held.Access == NB_ACCESS_WRITE);
    }
    // A reverted map keeps the relocation's longer tail, which a second
    // conversion refuses: only an untouched image is converted again here.
    if (held.Access != NB_ACCESS_WRITE) return;
    EXPECT_EQ(Lines(RunConverter(ConverterArgs(recipe)).Out).back(), "main: Finished successfully!");
    EXPECT_THAT(V6Mismatches(recipe), testing::IsEmpty());
    EXPECT_EQ(Lines(RunConverter(ConverterArgs(recipe)).Out).back(), "No conversion is needed");
}

INSTANTIATE_TEST_SUITE_P(Locks, HeldFile,
                         testing::Values(Held {"MapWriter", 0, NB_ACCESS_WRITE, "Check if it already exists", 32},
                                         Held {"DataReader", 1, NB_ACCESS_READ, "main: Failed. Error 32. Now reverting to backup", 0}),
                         testing::PrintToStringParamName());

// Spaces and bytes that are not ASCII in folder and file names, and a map
// whose backup name is the longest the converter builds (511 characters;
// one more is refused, see the driver tests): the image converts as any other.
TEST(HostilePaths, OddBytesAndTheLongestBackupNameConvertLikeAPlainPath) {
    TempDir dir;
    std::string folder = dir / ("my images/\xc3\xa4rger \xe6\x97\xa5" + std::string(200, 'a'));
    std::filesystem::create_directories(folder += "/" + std::string(200, 'b'));
    ImageRecipe recipe = ReliabilityRecipe(2, 0, 1, 34);
    recipe.DataBase = recipe.MetadataBases[0] = folder + "/im g\xff";
    recipe.MapBase = folder + "/" + std::string(511 - folder.size() - 1 - 16, 'c');  // 16: ".nbbitmap.backup"
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const RunResult run = RunConverter(ConverterArgs(recipe));
    EXPECT_EQ(Lines(run.Out).back(), "main: Finished successfully!") << run.Out;
    EXPECT_TRUE(Exists(MapFileName(recipe) + ".backup"));
    EXPECT_THAT(V6Mismatches(recipe), testing::IsEmpty());
}

TEST(HostilePaths, ReadOnlyFilesAndFolderStopTheConverter) {
    if (::geteuid() == 0) GTEST_SKIP() << "root: permissions do not stop its writes, and no read-only mount is at hand";
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(2, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const auto before = Snapshot(dir.Path());
    for (const std::string& f : ImageFiles(recipe)) std::filesystem::permissions(f, std::filesystem::perms::owner_read);
    std::filesystem::permissions(dir.Path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const RunResult run = RunConverter(ConverterArgs(recipe));
    EXPECT_EQ(run.ExitCode, 5);
    EXPECT_EQ(Snapshot(dir.Path()), before);
}

// The relocation renames the link itself: the converted map becomes a plain
// file beside it, the backup name holds the link, and the file it points to
// keeps every byte. A layout 4 map is rewritten in place, through the link.
TEST(HostilePaths, AMapThatIsALinkLeavesItsTargetWhole) {
    for (std::uint32_t layout : {2u, 4u}) {
        TempDir dir;
        const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(layout, 0, 1, 34), dir);
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        const std::string map = MapFileName(recipe), target = dir / "elsewhere.nbbitmap";
        std::filesystem::rename(map, target);
        std::filesystem::create_symlink(target, map);
        const Bytes original = ReadBytes(target);
        EXPECT_EQ(Lines(RunConverter(ConverterArgs(recipe)).Out).back(), "main: Finished successfully!");
        EXPECT_THAT(V6Mismatches(recipe), testing::IsEmpty());
        EXPECT_EQ(std::filesystem::is_symlink(map), layout == 4);
        if (layout == 2) {
            EXPECT_EQ(ReadBytes(target), original);
            EXPECT_TRUE(std::filesystem::is_symlink(map + ".backup"));
        }
    }
}

}  // namespace
