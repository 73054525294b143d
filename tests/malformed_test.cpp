// Damaged and inconsistent images: one table of refusals drives both the
// converter (its message, the reason in its trace, no changed byte) and
// nbinfo (the same reason, exit status 1); a result that does not verify is
// reverted; headers cut at every length are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "version6/reading.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/trace.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_platform.h"
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
Damage Zero(std::size_t file, std::size_t length) {
    return [=](const std::vector<std::string>& files) {
        Bytes bytes = ReadBytes(files.at(file));
        std::fill(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length), 0);
        WriteBytes(files.at(file), bytes);
    };
}
// Adds length bytes to the end of the file.
Damage Grow(std::size_t file, std::size_t length) {
    return [=](const std::vector<std::string>& files) {
        Bytes bytes = ReadBytes(files.at(file));
        bytes.resize(bytes.size() + length, 0x5A);
        WriteBytes(files.at(file), bytes);
    };
}
// File i becomes another name of file j.
Damage Link(std::size_t i, std::size_t j) {
    return [=](const std::vector<std::string>& files) {
        std::filesystem::remove(files.at(i));
        MakeSecondName(files.at(j), files.at(i));
    };
}

// An image the converter refuses while reading: its message, and the reason
// its trace names and nbinfo gives as a "FAIL convert:" line ("DIR/" stands
// for the image's folder).
struct Refusal {
    const char* Name;
    std::uint32_t Layout;
    std::uint16_t MapType;
    std::size_t MetadataFiles;
    std::uint32_t TablePages;  // the image's page table; the map holds 34 pages
    Damage Apply;
    const char* Message;
    const char* Reason;
    bool RepeatFirstMetadata = false;  // the first metadata base is named once more
    bool Traced = true;                // false: a run's trace gives no reason (layouts 2 and 3 identifiers)
};

void PrintTo(const Refusal& m, std::ostream* out) { *out << m.Name; }

constexpr char kParse13[] = "main: Error while parsing headers. Error 13. No changes to the image were made";
constexpr char kConvert13[] = "main: Error while converting. Error 13";
constexpr char kVersion13[] = "main: Could not get correct version. Error 13";
constexpr char kGrows[] = "Layout 6 form of file [DIR/img.";

const Refusal kRefusals[] = {
    {"V2DataBlockSizeZero", 2, 0, 1, 34, Set(1, 16, 0), kParse13, "Block size in file [DIR/img.nbdata] is 0"},
    {"V2MetadataAlignmentZero", 2, 0, 1, 34, Set(2, 16, 0), kParse13, "Metadata alignment in file [DIR/img.nbmetadata] is 0"},
    {"V2ImageSizeZero", 2, 0, 1, 34, Set(0, 16, 0), kParse13, "Map file holds more pages than the image size allows (34, limit 0)"},
    {"V2DataHeaderZeroed", 2, 0, 1, 34, Zero(1, 24), kVersion13, "Acquired versions are different"},
    {"V2DataAndMetadataNameOtherDataFiles", 2, 0, 1, 34, Set(1, 8, 999, 8), kParse13,
     "Data GUID of file [DIR/img.nbdata] (999) is not the one in metadata file [DIR/img.nbmetadata] (72623859790382856)", false, false},
    {"V2MapNamesOtherDataFile", 2, 0, 1, 34, Set(0, 24, 999, 8), kParse13,
     "Data GUID of file [DIR/img.nbdata] (72623859790382856) is not the one in map file [DIR/img.nbbitmap] (999)", false, false},
    {"V2MapTailNotAWholePage", 2, 0, 1, 35, Grow(0, 100), kParse13, "Map does not end on a whole page behind its data offset"},
    {"V2HugeBlockSize", 2, 0, 1, 34, Set(1, 16, 0xFFFFFFFFu), kParse13, kGrows},
    {"V3DataBlockSizeZero", 3, 0, 1, 34, Set(1, 16, 0), kParse13, "Block size in file [DIR/img.nbdata] is 0"},
    {"V3MetadataHasAnIdentifier", 3, 0, 1, 34, Set(2, 8, 5, 8), kParse13, "Metadata GUID of file [DIR/img.nbmetadata] is not 0"},
    {"V3SecondMetadataDisagrees", 3, 0, 2, 34, Set(3, 32, 1, 2), kParse13,
     "Parameters [1 4096 2] in file [DIR/img1.nbmetadata] does not match image parameters [0 4096 2]"},
    {"V3SecondMetadataInLayout6", 3, 0, 2, 34, Set(3, 4, 54), kParse13, "File [DIR/img1.nbmetadata] is not in layout 3"},
    {"V3SameMetadataTwice", 3, 0, 1, 34, nullptr, kParse13,
     "File [DIR/img.nbmetadata] is the same file as [DIR/img.nbmetadata]", true},
    {"V3MapNamesOtherDataFile", 3, 0, 1, 34, Set(0, 24, 999, 8), kParse13, "is not the one in map file [DIR/img.nbbitmap] (999)", false, false},
    {"V3MapType2", 3, 0, 1, 34, Set(0, 16, 2, 2), kParse13, "Map type is neither 0 nor 1 (2, limit 1)"},
    {"V3ExtendedPageSizeZero", 3, 1, 1, 34, Set(0, 48, 0), kParse13, "Map page size is 0"},
    {"V3ExtendedTableBeyondFile", 3, 1, 1, 34, Set(0, 44, 0x1000000), kParse13,
     "Map table lies beyond the end of the map file (16785376, limit 147424)"},
    {"V3ExtendedTableOneBytePastTheCheckpoint", 3, 1, 1, 34, Set(0, 44, 7117), kParse13,
     "Map table does not fit the checkpoint (7117, limit 7116)"},
    {"V3ExtendedTableInsideHeader", 3, 1, 1, 34, Set(0, 40, 0), kParse13, "Map table begins inside the map header (4064, limit 4096)"},
    {"V4MapHeaderZeroed", 4, 0, 1, 34, Zero(0, 38), kVersion13, "Acquired versions are different [0 4 4]"},
    {"V4MapDataOffsetZero", 4, 0, 1, 34, Set(0, 34, 0), kConvert13, "Map data offset is not a whole page behind the header (0,"},
    {"V4MapDataOffset6000", 4, 0, 1, 34, Set(0, 34, 6000), kConvert13, "Map data offset is not a whole page behind the header (6000,"},
    {"V4MapDataOffsetPastTheEnd", 4, 0, 1, 34, Set(0, 34, 0xFFFFF000u), kConvert13,
     "Map data offset lies beyond the end of the map file (4294963200, limit 143360)"},
    {"V4MapLongerThanImage", 4, 0, 1, 34, Set(0, 22, 1024), kConvert13, "Map file holds more pages than the image size allows (34, limit 1)"},
    {"V4MapTailNotAWholePage", 4, 0, 1, 35, Grow(0, 100), kConvert13, "Map does not end on a whole page behind its data offset (139364,"},
    {"V4MapType2", 4, 0, 1, 34, Set(0, 20, 2, 2), kConvert13, "Map type is neither 0 nor 1"},
    {"V4BlockLargerThanDataFile", 4, 0, 1, 34, Set(1, 20, 0x80000000u), kConvert13, "File [DIR/img.nbdata] holds 0 blocks of 2147483648 bytes"},
    {"V4DataNamesOtherDataFile", 4, 0, 1, 34, Set(1, 8, 999, 8), kConvert13,
     "Data GUID of file [DIR/img.nbdata] (999) is not the one in map file [DIR/img.nbbitmap] (72623859790382856)"},
    {"V4LaterMetadataNamesOtherDataFile", 4, 0, 2, 34, Set(3, 8, 999, 8), kConvert13,
     "Metadata GUID of file [DIR/img1.nbmetadata] is not 72623859790382856"},
    {"V4LaterMetadataInLayout6", 4, 0, 2, 34, Set(3, 16, 6), kConvert13,
     "File [DIR/img1.nbmetadata] is not in layout 4 (header length 38, version field 6)"},
    {"V4SecondMetadataIsALinkToTheFirst", 4, 0, 2, 34, Link(3, 2), kConvert13,
     "File [DIR/img1.nbmetadata] is the same file as [DIR/img.nbmetadata]"},
    {"V4TwentiethMetadataDisagrees", 4, 0, 20, 34, Set(21, 24, 8192), kConvert13, "in file [DIR/img19.nbmetadata] does not match"},
    {"V4HugeMetadataAlignment", 4, 0, 1, 34, Set(2, 24, 0x80000000u), kConvert13, kGrows},
    {"V4ExtendedPageSizeZero", 4, 1, 1, 34, Set(0, 50, 0), kConvert13, "Map page size is 0"},
    {"V4ExtendedTableInsideNewHeader", 4, 1, 1, 34, Set(0, 34, 600), kConvert13, "Map table begins inside the map header (600, limit 838)"},
    {"V4ExtendedTableAtTheOldHeadersEnd", 4, 1, 1, 34, Set(0, 34, 310), kConvert13, "Map table begins inside the map header (310, limit 838)"},
};

ImageRecipe MakeRecipe(std::uint32_t layout, std::uint16_t mapType, std::size_t metadataFiles, std::uint32_t tablePages,
                   const TempDir& dir) {
    ImageRecipe s = ReliabilityRecipe(layout, mapType, metadataFiles, 34);
    s.ImageSize = tablePages * 1024;
    return PlaceImage(s, dir);
}

std::string InDir(std::string text, const TempDir& dir) {
    for (std::size_t at; (at = text.find("DIR/")) != std::string::npos;) text.replace(at, 4, dir / "");
    return text;
}

class RefusedImage : public testing::TestWithParam<Refusal> {};

// The converter refuses with its reading stage's message and the reason in
// its trace, changes no byte; nbinfo, run first, gives the same reason and
// exit status 1.
TEST_P(RefusedImage, IsRefusedBeforeAnyChangeAndNbinfoSaysWhy) {
    const Refusal& m = GetParam();
    MemoryTempDirs memory;
    TempDir dir;
    const ImageRecipe recipe = MakeRecipe(m.Layout, m.MapType, m.MetadataFiles, m.TablePages, dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const std::vector<std::string> files = ImageFiles(recipe);
    if (m.Apply) m.Apply(files);
    std::vector<std::string> args = ConverterArgs(recipe);
    if (m.RepeatFirstMetadata) args.push_back(args[2]);
    const auto before = Snapshot(dir.Path());
    const std::string reason = InDir(m.Reason, dir);

    const RunResult info = RunProgram(ToolPath("nbinfo"), args);
    EXPECT_EQ(info.ExitCode, 1) << info.Out;
    const auto lines = Lines(info.Out);
    EXPECT_TRUE(std::ranges::any_of(lines, [&](const std::string& l) {
        return l.starts_with("FAIL convert: ") && l.find(reason) != std::string::npos;
    })) << reason << "\n" << info.Out;

    const RunResult run = RunConverter(args);
    EXPECT_EQ(run.ExitCode, 0) << "the converter died or failed\n" << run.Out << run.Err;
    EXPECT_EQ(Lines(run.Out).back(), m.Message) << run.Out;
    const std::size_t at = run.Err.find(reason), line = run.Err.rfind('\n', at) + 1;
    if (!m.Traced) EXPECT_EQ(at, std::string::npos) << run.Err;
    else EXPECT_TRUE(at != std::string::npos && run.Err.substr(line, at - line).find("Nb: *** Nb") != std::string::npos &&
                run.Err.substr(line, at - line).find(" 13 ") != std::string::npos)
        << reason << "\n" << run.Err;
    for (const std::string& file : files)
        EXPECT_EQ(ReadBytes(file), before.at(std::filesystem::path(file).filename().string())) << file;
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedImage, testing::ValuesIn(kRefusals), testing::PrintToStringParamName());

// Passes every call on, but spoils the second map superblock copy as it is
// written: the rewrite reports success, and only the verifier can tell.
class SpoilingHost final : public ForwardingHost {
public:
    SpoilingHost() : ForwardingHost(NbSystemHost()) {}
    NbResult WriteAt(HostHandle h, std::uint64_t at, const void* b, std::uint32_t n, std::uint32_t* done) override {
        return ForwardingHost::WriteAt(h, at, Spoil(b, n), n, done);
    }

private:
    const void* Spoil(const void* b, std::uint32_t n) {
        const auto* bytes = static_cast<const std::uint8_t*>(b);
        if (n != 4096 || std::memcmp(bytes, "DDMapSB", 8) != 0 || ++copies_ != 2) return b;
        copy_.assign(bytes, bytes + n);
        copy_[32] ^= 1;  // MapEndOffset
        return copy_.data();
    }
    int copies_ = 0;
    Bytes copy_;
};

TEST(UnverifiedResult, IsRevertedLikeAFailedRewrite) {
    MemoryTempDirs memory;
    TempDir dir;
    const ImageRecipe recipe = MakeRecipe(4, 0, 1, 34, dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const auto before = Snapshot(dir.Path());
    const std::vector<std::string> files = ImageFiles(recipe);
    SpoilingHost host;
    const RunResult run = (ScopedHost(host), RunConverterInProcess(ConverterArgs(recipe)));
    std::vector<std::string> expected {"main: Failed. Error 13. Now reverting to backup"};
    for (const std::string& f : files) expected.push_back("main: File [" + f + "] reverted successfully");
    const auto lines = Lines(run.Out);
    EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(expected.size()), lines.end()), expected) << run.Out;
    EXPECT_NE(run.Err.find("*** NbVerifyConversion 13 map MapSuperblock 2: "), std::string::npos) << run.Err;
    for (const std::string& file : files)
        EXPECT_EQ(ReadBytes(file), before.at(std::filesystem::path(file).filename().string())) << file;
}

// Headers cut short at every length below the header's: detection or the
// reader refuses each with 13, without a crash.
TEST(MalformedHeaders, EveryHeaderCutShortIsRefusedWith13) {
    struct Layout { std::uint32_t Number; std::uint16_t MapType; std::size_t HeaderLengths[3]; };
    const Layout layouts[] = {{2, 0, {32, 24, 24}}, {3, 0, {32, 24, 34}}, {3, 1, {312, 24, 34}},
                              {4, 0, {38, 24, 38}}, {4, 1, {310, 24, 38}}};
    std::size_t cases = 0;
    const NbQuietTrace quiet;  // a thousand refusals need no trace lines; back on however the test ends
    for (const Layout& layout : layouts) {
        TempDir dir;
        const ImageRecipe recipe = MakeRecipe(layout.Number, layout.MapType, 1, 34, dir);
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        const std::vector<std::string> files = ImageFiles(recipe);
        char* names[] = {const_cast<char*>(files[2].c_str())};
        const NbImageNames image {files[0].c_str(), files[1].c_str(), names, 1};
        for (std::size_t f = 0; f < 3; ++f) {
            const Bytes whole = ReadBytes(files[f]);
            for (std::size_t cut = 0; cut < layout.HeaderLengths[f]; ++cut, ++cases) {
                SCOPED_TRACE("layout " + std::to_string(layout.Number) + " file " + files[f] + " cut to " +
                             std::to_string(cut));
                WriteBytes(files[f], Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
                NbImageReading reading;
                EXPECT_EQ(NbReadImage(image, &reading), NB_INVALID_DATA) << "version " << reading.Version;
                // Cut in detection or the reader; any other layout is a wrong one.
                EXPECT_TRUE(reading.Stopped == NbReadingStop::Detection || reading.Stopped == NbReadingStop::Reader)
                    << "version " << reading.Version;
            }
            WriteBytes(files[f], whole);
        }
    }
    EXPECT_EQ(cases, 1012u);
}

// A layout 4 data file with a partial last block behind a 64 KiB boundary
// gets its first superblock written over that partial block, beyond the head
// backup; when the run then fails (at its last write, the undo record's),
// the revert puts those bytes back from the journal, exactly.
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
    for (const std::string& f : ImageFiles(recipe))
        EXPECT_EQ(ReadBytes(f), before.at(std::filesystem::path(f).filename().string())) << f << " is not the original";
}

}  // namespace
