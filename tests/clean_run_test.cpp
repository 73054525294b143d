// A conversion that goes well writes nothing on standard error: every trace
// line there reports a failure, so a clean run must not show one. And each
// map backup holds what the README promises a user restoring by hand.
#include <gtest/gtest.h>

#include "driver/backup.h"
#include "tests/support/test_support.h"
#include "tools/image_maker.h"

namespace {

struct CleanCase {
    const char* Name;
    std::uint32_t Layout;
    std::uint16_t MapType;
    std::size_t MetadataFiles;
    std::uint32_t Pages;
    bool WholeMapBackup;  // the map's backup is the whole map, not its head
};
void PrintTo(const CleanCase& c, std::ostream* out) { *out << c.Name; }

class CleanRun : public ::testing::TestWithParam<CleanCase> {};

TEST_P(CleanRun, ConvertsWithNothingOnStandardErrorAndAFullMapBackup) {
    const CleanCase& c = GetParam();
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(c.Layout, c.MapType, c.MetadataFiles, c.Pages), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const Bytes map = ReadBytes(MapFileName(recipe));
    const RunResult run = RunConverter(ConverterArgs(recipe));
    EXPECT_EQ(run.ExitCode, 0);
    ASSERT_FALSE(Lines(run.Out).empty());
    EXPECT_EQ(Lines(run.Out).back(), "main: Finished successfully!") << run.Out;
    EXPECT_EQ(run.Err, "");
    const Bytes backup = ReadBytes(MapFileName(recipe) + ".backup");
    EXPECT_TRUE(backup == (c.WholeMapBackup ? map : Bytes(map.begin(), map.begin() + NB_BACKUP_LENGTH)))
        << "map backup of " << backup.size() << " bytes, map of " << map.size();
}

// Layout 4 plain maps longer than the head backup take the whole-map backup,
// which once deleted and made again the head backup just written.
INSTANTIATE_TEST_SUITE_P(Layouts, CleanRun, ::testing::Values(
    CleanCase {"Layout2", 2, 0, 1, 34, true},
    CleanCase {"Layout3Plain", 3, 0, 1, 34, true},
    CleanCase {"Layout3Extended", 3, 1, 2, 34, true},
    CleanCase {"Layout4PlainLongMap", 4, 0, 1, 99, true},
    CleanCase {"Layout4Extended", 4, 1, 2, 34, false}),
    ::testing::PrintToStringParamName());

}  // namespace
