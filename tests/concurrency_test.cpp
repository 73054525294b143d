// Another user holding a file of the image; and paths a user could hand the
// real program: spaces, bytes that are not ASCII, links and the longest names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/file.h"
#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"
#include "tests/support/v6_expect.h"
#include "tools/image_maker.h"

namespace {

// Another program holds a lock on one file of the image (0 map, 1 data, 2
// metadata): the converter stops with 32 before it reads, creates or deletes
// anything; once the lock is gone, one run converts and the next changes nothing.
class HeldFile : public testing::TestWithParam<std::size_t> {};

TEST_P(HeldFile, StopsTheConverterWith32BeforeAnythingAndThenConvertsOnce) {
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(2, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const std::vector<std::string> files = ImageFiles(recipe);
    const auto before = Snapshot(dir.Path());
    {
        CNimbraFile other;
        ASSERT_EQ(other.CreateLocked(files[GetParam()].c_str()), NB_OK);
        const RunResult run = RunConverter(ConverterArgs(recipe));
        EXPECT_EQ(run.ExitCode, 32);
        EXPECT_EQ(run.Out, "main: File [" + files[GetParam()] + "] is in use by another program. Error 32\n");
        EXPECT_EQ(Snapshot(dir.Path()), before);
    }
    EXPECT_EQ(Lines(RunConverter(ConverterArgs(recipe)).Out).back(), "main: Finished successfully!");
    EXPECT_THAT(V6Mismatches(recipe), testing::IsEmpty());
    const auto converted = Snapshot(dir.Path());
    EXPECT_EQ(Lines(RunConverter(ConverterArgs(recipe)).Out).back(), "No conversion is needed");
    EXPECT_EQ(Snapshot(dir.Path()), converted);
}

INSTANTIATE_TEST_SUITE_P(Locks, HeldFile, testing::Values(0, 1, 2));

// Spaces and bytes that are not ASCII in folder and file names, and a map
// whose backup name is the longest the converter builds (511 characters;
// one more is refused, see the driver tests): the image converts as any other.
TEST(HostilePaths, OddBytesAndTheLongestBackupNameConvertLikeAPlainPath) {
    if (const char* why = LongPathSkipReason()) GTEST_SKIP() << why;
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
    if (const char* why = ReadOnlyFolderSkipReason()) GTEST_SKIP() << why;
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

// A map that is a symbolic link stays one: the file it names is converted,
// and the old map is kept beside that file as its backup.
TEST(HostilePaths, AMapThatIsALinkStaysALinkToTheConvertedMap) {
    if (const char* why = SymbolicLinkSkipReason()) GTEST_SKIP() << why;
    for (std::uint32_t layout : {2u, 4u}) {
        TempDir dir;
        const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(layout, 0, 1, 34), dir);
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        std::filesystem::create_directory(dir / "elsewhere");
        const std::string map = MapFileName(recipe), target = dir / "elsewhere/real.nbbitmap";
        std::filesystem::rename(map, target);
        std::filesystem::create_symlink("elsewhere/real.nbbitmap", map);
        const Bytes original = ReadBytes(target);
        EXPECT_EQ(Lines(RunConverter(ConverterArgs(recipe)).Out).back(), "main: Finished successfully!");
        EXPECT_TRUE(std::filesystem::is_symlink(map));
        const Bytes backup = ReadBytes(target + ".backup");
        EXPECT_EQ(layout == 4 ? Bytes(original.begin(), original.begin() + backup.size()) : original, backup);
        EXPECT_FALSE(Exists(map + ".backup"));
        std::filesystem::remove(map);
        std::filesystem::rename(target, map);
        std::filesystem::rename(target + ".backup", map + ".backup");
        EXPECT_THAT(V6Mismatches(recipe), testing::IsEmpty());
    }
}

}  // namespace
