// Damaged and inconsistent images: each is refused (or reverted) with the
// driver's message and exit code, by a converter that does not crash, and
// no image file keeps a changed byte.
#include <gtest/gtest.h>

#include <functional>

#include "legacy/legacy.h"
#include "platform/file.h"
#include "platform/trace.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_support.h"
#include "tools/image_maker.h"

namespace {

// Changes the files of ImageFiles: 0 map, 1 data, 2.. metadata.
using Damage = std::function<void(const std::vector<std::string>& files)>;

// Writes value's low width bytes, little-endian, at offset of file i.
Damage Set(std::size_t file, std::size_t offset, std::uint64_t value, int width = 4) {
    return [=](const std::vector<std::string>& files) {
        Bytes bytes = ReadBytes(files.at(file));
        for (int i = 0; i < width; ++i) bytes.at(offset + i) = static_cast<std::uint8_t>(value >> 8 * i);
        WriteBytes(files.at(file), bytes);
    };
}
// Cuts the file to length bytes, or (grow) adds length bytes to it.
Damage Resize(std::size_t file, std::size_t length, bool grow = false) {
    return [=](const std::vector<std::string>& files) {
        Bytes bytes = ReadBytes(files.at(file));
        bytes.resize(grow ? bytes.size() + length : length, 0x5A);
        WriteBytes(files.at(file), bytes);
    };
}

struct Malformed {
    const char* Name;
    std::uint32_t Layout;
    std::uint16_t MapType;
    std::size_t MetadataFiles;
    std::uint32_t TablePages;  // the image's page table; the map holds 34 pages
    Damage Apply;
    const char* Message;  // a line of the output; "DIR/" stands for the image's folder
    bool Reverted;        // the rewrite began, then every file was reverted
};

void PrintTo(const Malformed& m, std::ostream* out) { *out << m.Name; }

constexpr char kParse13[] = "main: Error while parsing headers. Error 13. No changes to the image were made";
constexpr char kConvert13[] = "main: Error while converting. Error 13";

const Malformed kCases[] = {
    {"V2DataBlockSizeZero", 2, 0, 1, 34, Set(1, 16, 0), kParse13, false},
    {"V2MetadataAlignmentZero", 2, 0, 1, 34, Set(2, 16, 0), kParse13, false},
    {"V2ImageSizeZero", 2, 0, 1, 34, Set(0, 16, 0), kParse13, false},
    {"V2DataAndMetadataNameOtherDataFiles", 2, 0, 1, 34, Set(1, 8, 999, 8), kParse13, false},
    {"V2MapNamesOtherDataFile", 2, 0, 1, 34, Set(0, 24, 999, 8), kParse13, false},
    {"V2MapTailNotAWholePage", 2, 0, 1, 35, Resize(0, 100, true), "main: Failed. Error 996. Now reverting to backup", true},
    {"V3DataBlockSizeZero", 3, 0, 1, 34, Set(1, 16, 0), kParse13, false},
    {"V3SecondMetadataDisagrees", 3, 0, 2, 34, Set(3, 32, 1, 2), kParse13, false},
    {"V3MapNamesOtherDataFile", 3, 0, 1, 34, Set(0, 24, 999, 8), kParse13, false},
    {"V3MapType2", 3, 0, 1, 34, Set(0, 16, 2, 2), "main: Failed. Error 87. Now reverting to backup", true},
    {"V3ExtendedPageSizeZero", 3, 1, 1, 34, Set(0, 48, 0), kParse13, false},
    {"V3ExtendedTableBeyondFile", 3, 1, 1, 34, Set(0, 44, 0x1000000), kParse13, false},
    {"V3ExtendedTableInsideHeader", 3, 1, 1, 34, Set(0, 40, 0), kParse13, false},
    {"V4MapDataOffsetZero", 4, 0, 1, 34, Set(0, 34, 0), kConvert13, false},
    {"V4MapDataOffsetNotPageAligned", 4, 0, 1, 34, Set(0, 34, 100), kConvert13, false},
    {"V4MapLongerThanImage", 4, 0, 1, 34, Set(0, 22, 1024), kConvert13, false},
    {"V4BlockLargerThanDataFile", 4, 0, 1, 34, Set(1, 20, 0x80000000u), kConvert13, false},
    {"V4LaterMetadataNamesOtherDataFile", 4, 0, 2, 34, Set(3, 8, 999, 8), kConvert13, false},
    {"V4TwentiethMetadataDisagrees", 4, 0, 20, 34, Set(21, 24, 8192), kConvert13, false},
    {"V4ExtendedPageSizeZero", 4, 1, 1, 34, Set(0, 50, 0), kConvert13, false},
    {"V4MapType2", 4, 0, 1, 34, Set(0, 20, 2, 2), "main: Failed. Error 87. Now reverting to backup", true},
    {"V4MapTailNotAWholePage", 4, 0, 1, 35, Resize(0, 100, true), "main: Failed. Error 996. Now reverting to backup", true},
    {"MetadataEmpty", 4, 0, 2, 34, Resize(3, 0),
     "main: Could not create backup file [DIR/img1.nbmetadata.backup]. Error 996", false},
};

ImageRecipe MakeRecipe(std::uint32_t layout, std::uint16_t mapType, std::size_t metadataFiles, std::uint32_t tablePages,
                   const TempDir& dir) {
    ImageRecipe s = ReliabilityRecipe(layout, mapType, metadataFiles, 34);
    s.ImageSize = tablePages * 1024;
    return PlaceImage(s, dir);
}

class MalformedImage : public testing::TestWithParam<Malformed> {};

TEST_P(MalformedImage, IsRefusedOrRevertedWithItsMessageAndKeepsEveryByte) {
    const Malformed& m = GetParam();
    MemoryTempDirs memory;
    TempDir dir;
    const ImageRecipe recipe = MakeRecipe(m.Layout, m.MapType, m.MetadataFiles, m.TablePages, dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const std::vector<std::string> files = ImageFiles(recipe);
    if (m.Apply) m.Apply(files);
    const auto before = Snapshot(dir.Path());

    const RunResult run = RunConverter(ConverterArgs(recipe));
    EXPECT_EQ(run.ExitCode, 0) << "the converter died or failed\n" << run.Out << run.Err;
    std::string message = m.Message;
    if (message.find("DIR/") != std::string::npos) message.replace(message.find("DIR/"), 4, dir / "");
    const auto lines = Lines(run.Out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), message), lines.end()) << run.Out;

    for (const std::string& file : files)
        ExpectOriginal(file, before.at(std::filesystem::path(file).filename().string()), !m.Reverted);
    if (m.Reverted) {
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.ends_with("] reverted successfully"); }),
                  static_cast<std::ptrdiff_t>(files.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MalformedImage, testing::ValuesIn(kCases),
                         testing::PrintToStringParamName());

NbResult Silent(std::uint32_t, void*, const char*, ...) { return NB_OK; }

// Headers cut short at every length below the header's: detection or the
// reader refuses each with 13, without a crash.
TEST(MalformedHeaders, EveryHeaderCutShortIsRefusedWith13) {
    struct Layout { std::uint32_t Number; std::uint16_t MapType; std::size_t HeaderLengths[3]; };
    const Layout layouts[] = {{2, 0, {32, 24, 24}}, {3, 0, {32, 24, 34}}, {3, 1, {312, 24, 34}},
                              {4, 0, {38, 24, 38}}, {4, 1, {310, 24, 38}}};
    std::size_t cases = 0;
    const NbTraceRoutine trace = NbTrace;  // a thousand refusals need no trace lines
    NbTrace = Silent;
    for (const Layout& layout : layouts) {
        TempDir dir;
        Malformed m {"", layout.Number, layout.MapType, 1, 34, nullptr, "", false};
        const ImageRecipe recipe = MakeRecipe(m.Layout, m.MapType, m.MetadataFiles, m.TablePages, dir);
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        const std::vector<std::string> files = ImageFiles(recipe);
        char* names[] = {const_cast<char*>(files[2].c_str())};
        const char *map = files[0].c_str(), *data = files[1].c_str();
        for (std::size_t f = 0; f < 3; ++f) {
            const Bytes whole = ReadBytes(files[f]);
            for (std::size_t cut = 0; cut < layout.HeaderLengths[f]; ++cut, ++cases) {
                SCOPED_TRACE("layout " + std::to_string(layout.Number) + " file " + files[f] + " cut to " +
                             std::to_string(cut));
                WriteBytes(files[f], Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
                std::uint32_t version = 0;
                NbResult code = NbConvertGetVersion(data, map, names[0], version);
                ImageParameters p;
                MetadataFileParameters records[1];
                if (code == NB_OK)  // any layout but the image's own is wrong
                    code = version == 2 ? NbConvertFromV2(data, map, names[0], &p, records)
                         : version == 3 ? NbConvertFromV3(data, map, names, 1, &p, records)
                         : version == 4 ? NbConvertFromV4(data, map, names, 1, &p, records) : 1000 + version;
                EXPECT_EQ(code, NB_INVALID_DATA) << "version " << version;
            }
            WriteBytes(files[f], whole);
        }
    }
    EXPECT_EQ(cases, 1012u);
    NbTrace = trace;
}

// A layout 4 data file with a partial last block behind a 64 KiB boundary
// gets its first superblock written over that partial block, beyond the head
// backup; when the rewrite then fails (at its last write, the metadata
// header), the revert puts those bytes back from the journal, exactly.
TEST(MalformedImageRevert, PartialLastDataBlockSurvivesAFailedRewrite) {
    TempDir dir;
    ImageRecipe recipe = MakeRecipe(4, 0, 1, 34, dir);
    recipe.DataBytes = 3 * 65536 + 100;
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const auto before = Snapshot(dir.Path());
    FaultHost counter;
    ASSERT_EQ(Lines((ScopedHost(counter), RunConverterInProcess(ConverterArgs(recipe))).Out).back(),
              "main: Finished successfully!");
    PutBack(dir.Path(), before);
    FaultHost host;
    host.Plan({counter.Count(HostCall::Write), HostCall::Write, FaultKind::Error, 112});
    const RunResult run = (ScopedHost(host), RunConverterInProcess(ConverterArgs(recipe)));
    EXPECT_NE(run.Out.find("main: Failed. Error 112."), std::string::npos) << run.Out;
    for (const std::string& f : ImageFiles(recipe)) ExpectOriginal(f, before.at(std::filesystem::path(f).filename().string()), true);
}

}  // namespace
