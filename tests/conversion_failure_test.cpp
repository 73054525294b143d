// Conversions that fail: a host call made to fail part-way through the map
// relocation or the rewrite must end in the exact messages and leave every
// file as it was; bad headers must be refused before anything changes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <ostream>

#include "tests/support/fault_host.h"
#include "tests/support/test_support.h"
#include "tools/image_maker.h"

namespace {

ImageSpec MakeSpec(const TempDir& dir, std::uint32_t layout, std::uint16_t mapType, std::size_t metadata, bool guids,
                   std::uint32_t imageSize = 33000) {
    ImageSpec spec;
    spec.Layout = layout;
    spec.MapType = mapType;
    spec.ImageSize = imageSize;
    spec.Content = MapContent::Random;
    spec.DataBytes = 585 * 512;
    spec.MapTrailingBytes = 135168;  // an extended map long enough to back up
    if (guids) spec.ImageGuid = 0x0102030405060708ull, spec.DataGuid = 0x1112131415161718ull;
    spec.MapBase = spec.DataBase = dir / "img";
    for (std::size_t i = 0; i < metadata; ++i) spec.MetadataBases.push_back(dir / ("img" + std::to_string(i)));
    return spec;
}

std::vector<std::string> Args(const ImageSpec& spec) {
    std::vector<std::string> args {spec.MapBase, spec.DataBase};
    args.insert(args.end(), spec.MetadataBases.begin(), spec.MetadataBases.end());
    return args;
}

std::vector<std::string> Files(const ImageSpec& spec) {
    std::vector<std::string> files {MapFileName(spec), DataFileName(spec)};
    for (std::size_t i = 0; i < spec.MetadataBases.size(); ++i) files.push_back(MetadataFileName(spec, i));
    return files;
}

std::map<std::string, Bytes> Contents(const ImageSpec& spec) {
    std::map<std::string, Bytes> contents;
    for (const std::string& name : Files(spec)) contents[name] = ReadBytes(name);
    return contents;
}

std::string Reverted(const std::string& name, NbResult code) {
    if (code == 0) return "main: File [" + name + "] reverted successfully";
    return "main: File [" + name + "] revertion failed. Error " + std::to_string(code) + ". Consider reverting it manually";
}

// What the user does after "revertion failed": put the backup back.
void RestoreByHand(const std::string& name) {
    const std::string backup = name + ".backup";
    if (!Exists(backup)) return;
    if (!Exists(name)) return std::filesystem::rename(backup, name);
    Bytes file = ReadBytes(name), saved = ReadBytes(backup);
    file.resize(std::max(file.size(), saved.size()));
    std::copy(saved.begin(), saved.end(), file.begin());
    WriteBytes(name, file);
}

struct FaultRow {
    const char* Name;
    std::uint32_t Layout;
    std::uint16_t MapType;
    std::size_t Metadata;
    bool Relocation;  // the fault lies in the relocation, else in the rewrite
    int FilesDone;    // rewrite: files finished (each ends with a flush) before the faulty one
    HostCall Kind;    // the Nth call of this kind from there fails
    int Nth;
    FaultKind Fault = FaultKind::Error;
    NbResult Code = 5;
    NbResult MapRevert = 0;  // what the revert of the map file gives
    std::uint32_t ImageSize = 33000;
};
void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.Name; }

// The fault as the index of the call among those of its kind, found in the
// calls of a clean run: from the relocation's rename, or from the last
// directory sync (the rewrite comes behind it), past FilesDone flushes.
FaultPlan PlanFor(const std::vector<HostCall>& log, const FaultRow& row) {
    std::size_t at = row.Relocation ? std::find(log.begin(), log.end(), HostCall::Rename) - log.begin()
                                    : log.rend() - std::find(log.rbegin(), log.rend(), HostCall::SyncDirectory);
    for (int flushes = 0; flushes < row.FilesDone; ++at) flushes += log.at(at) == HostCall::Flush;
    for (int n = 0; n < row.Nth; ++at) n += log.at(at) == row.Kind;
    const auto index = std::count(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(at), row.Kind);
    return FaultPlan {static_cast<std::uint64_t>(index), row.Kind, row.Fault, row.Code};
}

class FailedConversion : public ::testing::TestWithParam<FaultRow> {};

TEST_P(FailedConversion, PrintsTheFailureRevertsAndLeavesEveryFileAsItWas) {
    const FaultRow& row = GetParam();
    std::vector<HostCall> log;
    {
        TempDir clean;
        const ImageSpec spec = MakeSpec(clean, row.Layout, row.MapType, row.Metadata, false, row.ImageSize);
        ASSERT_TRUE(WriteImage(spec, nullptr));
        FaultHost counting;
        ScopedHost installed(counting);
        ASSERT_THAT(Lines(RunConverterInProcess(Args(spec)).Out), ::testing::Contains("main: Finished successfully!"));
        log = counting.Log();
    }
    TempDir dir;
    const ImageSpec spec = MakeSpec(dir, row.Layout, row.MapType, row.Metadata, false, row.ImageSize);
    ASSERT_TRUE(WriteImage(spec, nullptr));
    const std::map<std::string, Bytes> before = Contents(spec);
    FaultHost host;
    host.Plan(PlanFor(log, row));
    RunResult run;
    {
        ScopedHost installed(host);
        run = RunConverterInProcess(Args(spec));
    }
    ASSERT_TRUE(host.Fired());
    EXPECT_EQ(run.ExitCode, 0);

    const NbResult code = row.Fault == FaultKind::Short ? 996 : row.Code;
    std::vector<std::string> expected {"main: Version of image headers is " + std::to_string(row.Layout),
                                       "main: Starting conversion.", "main: Parsing image headers"};
    if (row.Relocation) {
        expected.push_back("main: Error while converting map file " + MapFileName(spec) + ". Error " + std::to_string(code));
        expected.push_back(Reverted(MapFileName(spec), row.MapRevert));
    } else {
        expected.push_back("main: Image size " + std::to_string(spec.ImageSize) + " blocks, block size 512");
        expected.push_back("main: Replacing headers with new...");
        expected.push_back("main: Failed. Error " + std::to_string(code) + ". Now reverting to backup");
        for (const std::string& name : Files(spec)) expected.push_back(Reverted(name, 0));
    }
    EXPECT_EQ(Lines(run.Out), expected) << run.Err;

    if (row.MapRevert != 0) RestoreByHand(MapFileName(spec));
    for (const auto& [name, bytes] : before) {
        const Bytes now = ReadBytes(name);
        // A revert never shortens a file: what lies behind the old end may stay.
        ASSERT_GE(now.size(), bytes.size()) << name;
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), now.begin())) << name << " differs from before the run";
        if (row.Relocation && name != MapFileName(spec)) {
            EXPECT_EQ(now.size(), bytes.size()) << name << " changed by a failed relocation";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailedConversion,
    ::testing::Values(
        // The relocation: the map file alone is reverted.
        FaultRow {"RenameFailsAndLeavesNoBackup", 2, 0, 1, true, 0, HostCall::Rename, 1, FaultKind::Error, 5, 2},
        FaultRow {"NewMapFileNotCreated", 3, 0, 1, true, 0, HostCall::Open, 1, FaultKind::Error, 112, 2},
        FaultRow {"CopyReadFails", 3, 1, 3, true, 0, HostCall::Read, 2},
        FaultRow {"CopyWriteComesUpShort", 2, 0, 1, true, 0, HostCall::Write, 2, FaultKind::Short},
        // The rewrite: every file is reverted, map, data, then each metadata file.
        FaultRow {"MovedMapPageNotWritten", 2, 0, 1, false, 0, HostCall::Write, 1, FaultKind::Error, 112},
        FaultRow {"LongMapPageReadShort", 4, 0, 1, false, 0, HostCall::Read, 60, FaultKind::Short, 5, 0, 153600},
        FaultRow {"LongMapMovedPageNotWritten", 4, 0, 3, false, 0, HostCall::Write, 40, FaultKind::Error, 5, 0, 153600},
        FaultRow {"RelocatedTableNotRead", 3, 1, 1, false, 0, HostCall::Read, 1},
        FaultRow {"DataSuperblockNotWritten", 4, 1, 3, false, 1, HostCall::Write, 2},
        FaultRow {"SecondMetadataHeaderNotWritten", 3, 0, 3, false, 3, HostCall::Write, 4},
        FaultRow {"LastMetadataNotFlushed", 4, 0, 3, false, 4, HostCall::Flush, 1},
        FaultRow {"MetadataSizeNotKnown", 2, 0, 1, false, 2, HostCall::Size, 1}),
    [](const ::testing::TestParamInfo<FaultRow>& info) { return std::string(info.param.Name); });

// Headers that do not belong together are refused before anything changes.
struct BadRow {
    const char* Name;
    std::uint32_t Layout;
    std::uint16_t MapType;
    std::size_t Metadata;
    const char* File;  // "map", "data" or "metaN"
    long Offset;       // where to write Value (Width bytes); -1: cut the file to Width bytes; -2: remove it
    int Width;
    std::uint64_t Value;
    std::vector<std::string> Tail;  // the last lines printed; {file} is the spoiled file's name
    int ExitCode = 0;
};
void PrintTo(const BadRow& row, std::ostream* out) { *out << row.Name; }

class BadHeaders : public ::testing::TestWithParam<BadRow> {};

TEST_P(BadHeaders, AreRefusedWithTheReadingStageMessageAndChangeNothing) {
    const BadRow& row = GetParam();
    TempDir dir;
    const ImageSpec spec = MakeSpec(dir, row.Layout, row.MapType, row.Metadata, true);
    ASSERT_TRUE(WriteImage(spec, nullptr));
    const std::string which = row.File;
    const std::string name = which == "map" ? MapFileName(spec)
                             : which == "data" ? DataFileName(spec)
                                               : MetadataFileName(spec, std::stoul(which.substr(4)));
    Bytes bytes = ReadBytes(name);
    if (row.Offset == -2) {
        std::filesystem::remove(name);
    } else {
        if (row.Offset == -1) bytes.resize(row.Width);
        for (int i = 0; row.Offset >= 0 && i < row.Width; ++i) bytes[row.Offset + i] = static_cast<std::uint8_t>(row.Value >> (8 * i));
        WriteBytes(name, bytes);
    }
    const std::map<std::string, Bytes> before = Contents(spec);

    const RunResult run = RunConverterInProcess(Args(spec));
    EXPECT_EQ(run.ExitCode, row.ExitCode);
    std::vector<std::string> tail = row.Tail;
    for (std::string& line : tail)
        if (const auto at = line.find("{file}"); at != std::string::npos) line.replace(at, 6, name);
    const std::vector<std::string> lines = Lines(run.Out);
    ASSERT_GE(lines.size(), tail.size()) << run.Out;
    EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<std::ptrdiff_t>(tail.size()), lines.end()), tail) << run.Err;
    EXPECT_THAT(run.Out, ::testing::Not(::testing::HasSubstr("Replacing headers")));
    EXPECT_TRUE(Contents(spec) == before) << "an image file changed";
}

const std::vector<std::string> kV3Refused {"main: Version of image headers is 3", "main: Starting conversion.",
                                           "main: Parsing image headers",
                                           "main: Error while parsing headers. Error 13. No changes to the image were made"};
const std::vector<std::string> kV4Refused {"main: Version of image headers is 4", "main: Starting conversion.",
                                           "main: Parsing image headers", "main: Error while converting. Error 13"};
const std::vector<std::string> kNoVersion {"main: Could not get correct version. Error 13"};

INSTANTIATE_TEST_SUITE_P(
    Refused, BadHeaders,
    ::testing::Values(
        BadRow {"V3LaterMetadataParameterCDiffers", 3, 0, 3, "meta1", 32, 2, 9, kV3Refused},
        BadRow {"V3LastMetadataAlignmentDiffers", 3, 0, 3, "meta2", 20, 4, 8192, kV3Refused},
        BadRow {"V3MetadataCarriesAnIdentifier", 3, 0, 1, "meta0", 8, 8, 5, kV3Refused},
        BadRow {"V3DataIdentifierNotTheMaps", 3, 1, 1, "data", 8, 8, 77, kV3Refused},
        BadRow {"V3BlockSizeZero", 3, 0, 1, "data", 16, 4, 0, kV3Refused},
        BadRow {"V4LaterMetadataNamesOtherData", 4, 0, 3, "meta2", 8, 8, 77, kV4Refused},
        BadRow {"V4DataIdentifierNotTheMaps", 4, 1, 3, "data", 8, 8, 77, kV4Refused},
        BadRow {"V4LaterMetadataParameterADiffers", 4, 0, 3, "meta1", 20, 4, 99, kV4Refused},
        BadRow {"V4ExtendedMapPageSizeZero", 4, 1, 1, "map", 50, 4, 0, kV4Refused},
        BadRow {"V4PlainMapOffsetNotAWholePage", 4, 0, 1, "map", 34, 4, 4000, kV4Refused},
        BadRow {"V4MetadataVersionDiffers", 4, 0, 3, "meta0", 16, 4, 5, kNoVersion},
        BadRow {"V4MapVersionDiffers", 4, 1, 1, "map", 16, 4, 3, kNoVersion},
        BadRow {"V3DataHeaderCutShort", 3, 0, 1, "data", -1, 20, 0,
                {"main: Could not create backup file [{file}.backup]. Error 996", "Check if it already exists"}, 996},
        BadRow {"V4LaterMetadataHeaderCutShort", 4, 0, 3, "meta1", -1, 30, 0,
                {"main: Could not create backup file [{file}.backup]. Error 996", "Check if it already exists"}},
        BadRow {"V3LaterMetadataMissing", 3, 0, 3, "meta2", -2, 0, 0,
                {"main: Could not create backup file [{file}.backup]. Error 2", "Check if it already exists"}}),
    [](const ::testing::TestParamInfo<BadRow>& info) { return std::string(info.param.Name); });

}  // namespace
