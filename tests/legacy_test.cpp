// Backups and reverts, version detection and the readers of layouts 2 to 4:
// files are written in a temporary directory, header fields patched at their
// byte offsets, and the results compared with what the layouts say.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/backup.h"
#include "legacy/legacy.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_support.h"
#include "tools/image_maker.h"

namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kHead = 135168;
constexpr std::uint64_t kNew1 = 0xA000000100000000ull, kNew2 = 0xA000000200000000ull;

// Hands out GUIDs in a known order and keeps the trace; the rest is real.
class GuidHost final : public Host {
public:
    std::string Err;
    std::uint32_t Made = 0;
    NbResult Open(const char* n, bool e, std::uint32_t a, std::uint32_t s, std::uint32_t f, HostHandle* o) override { return r_.Open(n, e, a, s, f, o); }
    NbResult Close(HostHandle h) override { return r_.Close(h); }
    NbResult Read(HostHandle h, void* b, std::uint32_t c, std::uint32_t* d) override { return r_.Read(h, b, c, d); }
    NbResult Write(HostHandle h, const void* b, std::uint32_t c, std::uint32_t* d) override { return r_.Write(h, b, c, d); }
    NbResult Seek(HostHandle h, std::uint64_t o) override { return r_.Seek(h, o); }
    NbResult Size(HostHandle h, std::uint64_t* s) override { return r_.Size(h, s); }
    NbResult DeviceCapacity(HostHandle h, std::uint64_t* b) override { return r_.DeviceCapacity(h, b); }
    NbResult Flush(HostHandle h) override { return r_.Flush(h); }
    NbResult SyncDirectory(const char* n) override { return r_.SyncDirectory(n); }
    NbResult Rename(const char* a, const char* b) override { return r_.Rename(a, b); }
    NbResult Remove(const char* n) override { return r_.Remove(n); }
    NbResult PageAlloc(std::size_t s, void** a) override { return r_.PageAlloc(s, a); }
    NbResult PageFree(void* a) override { return r_.PageFree(a); }
    void LocalTime(HostLocalTime* t) override { r_.LocalTime(t); }
    std::uint32_t ThreadId() override { return r_.ThreadId(); }
    NbResult CreateGuid(HostGuid* g) override { *g = {0xA0000000u + ++Made, 0, 0, {}}; return NB_OK; }
    void WriteStandardError(const char* t, std::size_t n) override { Err.append(t, n); }

private:
    Host& r_ = NbSystemHost();
};

Bytes Pattern(std::uint64_t size, int seed) {
    Bytes b(size);
    for (std::uint64_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + seed) % 253);
    return b;
}

Bytes Head(const Bytes& b, std::uint64_t n) { return Bytes(b.begin(), b.begin() + static_cast<long>(std::min<std::uint64_t>(n, b.size()))); }

void Put(const std::string& file, std::size_t offset, const void* bytes, std::size_t n) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(n));
}
void PutLe(const std::string& file, std::size_t offset, std::uint64_t v, int width) {
    std::uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
    Put(file, offset, b, static_cast<std::size_t>(width));
}

std::map<std::string, Bytes> Tree(const fs::path& dir) {
    std::map<std::string, Bytes> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) files[e.path().string()] = ReadBytes(e.path().string());
    return files;
}

// A path of exactly length characters under dir, its folders made.
std::string LongPath(const TempDir& dir, std::size_t length) {
    std::string path = dir.Path().string();
    while (length - path.size() > 201) fs::create_directory(path += "/" + std::string(200, 'd'));
    return path + "/" + std::string(length - path.size() - 1, 'f');
}

TEST(Backup, CopiesExactlyTheHeadOrLeavesAPartialCopyOfAShortFile) {
    struct Row { std::uint64_t size; NbResult code; std::uint64_t backup; };
    for (const Row& row : {Row {kHead, 0, kHead}, Row {kHead + 70000, 0, kHead}, Row {100000, 996, 65536}}) {
        TempDir dir;
        const Bytes content = Pattern(row.size, 1);
        WriteBytes(dir / "f", content);
        WriteBytes(dir / "f.backup", Pattern(300000, 9));  // an older, longer backup is replaced
        EXPECT_EQ(NbConvertCreateBackupFile((dir / "f").c_str(), kHead), row.code) << row.size;
        EXPECT_EQ(ReadBytes(dir / "f.backup"), Head(content, row.backup)) << row.size;
        EXPECT_EQ(ReadBytes(dir / "f"), content);
    }
}

TEST(Backup, RevertRestoresTheBackupsBytesAndNeverShortens) {
    struct Row { std::uint64_t file, backup; };
    for (const Row& row : {Row {200000, kHead}, Row {1000, kHead}, Row {5000, 0}}) {
        TempDir dir;
        const Bytes content = Pattern(row.file, 1), backup = Pattern(row.backup, 2);
        WriteBytes(dir / "f", content);
        WriteBytes(dir / "f.backup", backup);
        Bytes expected = backup;
        if (content.size() > backup.size()) expected.insert(expected.end(), content.begin() + static_cast<long>(backup.size()), content.end());
        for (int time = 1; time <= 2; ++time) {  // twice gives what once gives
            EXPECT_EQ(NbConvertRevertFromBackup((dir / "f").c_str()), NB_OK);
            EXPECT_EQ(ReadBytes(dir / "f"), expected) << row.file << " " << time;
            EXPECT_EQ(ReadBytes(dir / "f.backup"), backup);
        }
    }
}

TEST(Backup, RevertWithoutBackupOrFileIs2AndChangesNothing) {
    TempDir dir;
    WriteBytes(dir / "f", Pattern(1000, 1));
    WriteBytes(dir / "g.backup", Pattern(1000, 2));
    const auto before = Tree(dir.Path());
    EXPECT_EQ(NbConvertRevertFromBackup((dir / "f").c_str()), NB_FILE_NOT_FOUND);
    EXPECT_EQ(NbConvertRevertFromBackup((dir / "g").c_str()), NB_FILE_NOT_FOUND);
    EXPECT_EQ(Tree(dir.Path()), before);
}

TEST(Backup, NameCutAt511CharactersIs206AndTouchesNoFile) {
    struct Row { std::size_t length; NbResult code; };
    for (const Row& row : {Row {504, 0}, Row {505, 206}, Row {511, 206}}) {
        TempDir dir;
        const std::string name = LongPath(dir, row.length), cut = (name + ".backup").substr(0, 511);
        WriteBytes(name, Pattern(kHead, 1));
        if (cut != name) WriteBytes(cut, Pattern(10, 2));  // what a cut name would hit
        const auto before = Tree(dir.Path());
        EXPECT_EQ(NbConvertCreateBackupFile(name.c_str(), kHead), row.code) << row.length;
        EXPECT_EQ(NbConvertRevertFromBackup(name.c_str()), row.code) << row.length;
        if (row.code != NB_OK) {
            EXPECT_EQ(Tree(dir.Path()), before) << row.length;
        } else {
            EXPECT_EQ(ReadBytes(name + ".backup"), Pattern(kHead, 1));
        }
    }
}

struct DetectCase {
    const char* name;
    std::uint32_t length[3], version[3];
    int size[3];  // -1: the file does not exist
    NbResult code;
    std::uint32_t detected;
    const char* trace;
};
class Detection : public ::testing::TestWithParam<DetectCase> {};

TEST_P(Detection, LengthsThenVersionFieldsDecide) {
    const DetectCase& c = GetParam();
    TempDir dir;
    const std::string names[3] = {dir / "i.nbbitmap", dir / "i.nbdata", dir / "i.nbmetadata"};
    for (int i = 0; i < 3; ++i) {
        if (c.size[i] < 0) continue;
        Bytes b(64);
        for (int k = 0; k < 4; ++k) b[4 + k] = static_cast<std::uint8_t>(c.length[i] >> (8 * k));
        for (int k = 0; k < 4; ++k) b[16 + k] = static_cast<std::uint8_t>(c.version[i] >> (8 * k));
        b.resize(static_cast<std::size_t>(c.size[i]), 0x5A);
        WriteBytes(names[i], b);
    }
    GuidHost host;
    ScopedHost scope(host);
    std::uint32_t version = 77;
    EXPECT_EQ(NbConvertGetVersion(names[1].c_str(), names[0].c_str(), names[2].c_str(), version), c.code);
    EXPECT_EQ(version, c.detected);
    EXPECT_NE(host.Err.find(c.trace), std::string::npos) << host.Err;
}

INSTANTIATE_TEST_SUITE_P(Legacy, Detection, ::testing::Values(
    DetectCase {"V2WhateverOffset16Holds", {32, 24, 24}, {7, 8, 9}, {64, 64, 64}, 0, 2, ""},
    DetectCase {"V3Extended", {312, 24, 34}, {1, 2, 3}, {64, 64, 64}, 0, 3, ""},
    DetectCase {"V3Plain", {32, 24, 34}, {1, 2, 3}, {64, 64, 64}, 0, 3, ""},
    DetectCase {"ExtendedMapWithV2MetadataFallsToVersions", {312, 24, 24}, {5, 5, 5}, {64, 64, 64}, 0, 5, ""},
    DetectCase {"FallsToVersionsThatDiffer", {312, 24, 24}, {1, 2, 3}, {64, 64, 64}, 13, 0, "different [1 2 3]"},
    DetectCase {"V6", {838, 36, 54}, {6, 6, 6}, {64, 64, 64}, 0, 6, ""},
    DetectCase {"V4V4V5", {38, 24, 38}, {4, 4, 5}, {64, 64, 64}, 13, 0, "Acquired versions are different [4 4 5]"},
    DetectCase {"CommonZeroIsNoError", {40, 40, 40}, {0, 0, 0}, {64, 64, 64}, 0, 0, ""},
    DetectCase {"HeadsLongerThanAPageRead", {32, 24, 24}, {0, 0, 0}, {5000, 9000, 4097}, 0, 2, ""},
    DetectCase {"SixteenToNineteenBytesPass", {9, 9, 9}, {0x100, 0x100, 0x100}, {20, 18, 19}, 0, 0x100, ""},
    DetectCase {"MissingVersionBytesCountAsZero", {9, 9, 9}, {0x1000004, 0x1000004, 0x1000004}, {20, 20, 18}, 13, 0, "[16777220 16777220 4]"},
    DetectCase {"FifteenByteMapStopsFirst", {32, 24, 24}, {0, 0, 0}, {15, -1, -1}, 13, 0, ""},
    DetectCase {"FifteenByteDataStopsBeforeMetadata", {32, 24, 24}, {0, 0, 0}, {64, 15, -1}, 13, 0, ""},
    DetectCase {"FifteenByteMetadata", {32, 24, 24}, {0, 0, 0}, {64, 64, 15}, 13, 0, ""},
    DetectCase {"MissingMap", {32, 24, 24}, {0, 0, 0}, {-1, 64, 64}, 2, 0, ""}),
    [](const ::testing::TestParamInfo<DetectCase>& info) { return std::string(info.param.name); });

// A small valid image of a layout, as the readers will meet it.
struct Image {
    TempDir dir;
    ImageSpec spec;
    Image(std::uint32_t layout, std::uint16_t mapType = 0, int metadataFiles = 1) {
        spec.Layout = layout;
        spec.MapBase = spec.DataBase = dir / "img";
        for (int i = 0; i < metadataFiles; ++i) spec.MetadataBases.push_back(dir / ("m" + std::to_string(i)));
        spec.ImageSize = 64;
        spec.MapType = mapType;
        spec.MetadataBytes = 4096;
        std::string error;
        if (!WriteImage(spec, &error)) ADD_FAILURE() << error;
    }
    std::string File(char which, int i = 0) const {
        return which == 'M' ? MapFileName(spec) : which == 'D' ? DataFileName(spec) : MetadataFileName(spec, i);
    }
};

struct ReadResult {
    NbResult code;
    ImageParameters p;
    MetadataFileParameters m[2];
    std::string err;
};

ReadResult ReadImage(const Image& image) {
    GuidHost host;
    ScopedHost scope(host);
    ReadResult r;
    std::memset(&r.p, 0xAB, sizeof r.p);  // a reader must set every field
    std::memset(r.m, 0xAB, sizeof r.m);
    std::vector<std::string> names;
    std::vector<char*> pointers;
    for (std::size_t i = 0; i < image.spec.MetadataBases.size(); ++i) names.push_back(image.File('T', static_cast<int>(i)));
    for (auto& n : names) pointers.push_back(n.data());
    const auto count = static_cast<std::uint16_t>(names.size());
    const std::string map = image.File('M'), data = image.File('D');
    switch (image.spec.Layout) {
    case 2: r.code = NbConvertFromV2(data.c_str(), map.c_str(), pointers[0], &r.p, r.m); break;
    case 3: r.code = NbConvertFromV3(data.c_str(), map.c_str(), pointers.data(), count, &r.p, r.m); break;
    default: r.code = NbConvertFromV4(data.c_str(), map.c_str(), pointers.data(), count, &r.p, r.m); break;
    }
    r.err = host.Err;
    return r;
}

TEST(Readers, FailureOnTheFirstFileLeavesTheDefaults) {
    for (std::uint32_t layout : {2u, 3u, 4u}) {
        Image image(layout, 0, 2);
        fs::remove(image.File('M'));
        const ReadResult r = ReadImage(image);
        EXPECT_EQ(r.code, NB_FILE_NOT_FOUND);
        ImageParameters defaults;
        std::memset(&defaults, 0, sizeof defaults);
        defaults.BlockSize = 512;
        defaults.ImageParameterA = 2;
        defaults.MetadataAlignment = 4096;
        defaults.MapDataOffset = 4096;
        defaults.MapPageSize = 65536;
        EXPECT_EQ(std::memcmp(&r.p, &defaults, sizeof defaults), 0) << layout;
        const std::size_t zeroed = layout == 2 ? 1 : 2;  // layout 2 reads one metadata file
        for (std::size_t i = 0; i < zeroed; ++i) EXPECT_EQ(r.m[i].Sequence + r.m[i].FileParameterA + r.m[i].FileParameterB, 0u);
    }
}

struct GuidCase {
    std::uint32_t layout;
    std::uint64_t mapGuid, mapDataGuid, dataGuid, metadataGuid;
    NbResult code;
    std::uint64_t image, data;
    const char* trace;
};
class Identifiers : public ::testing::TestWithParam<GuidCase> {};

TEST_P(Identifiers, AgreeWhereSetAndAreMadeImageFirstWhereMissing) {
    const GuidCase& c = GetParam();
    Image image(c.layout);
    PutLe(image.File('M'), 8, c.mapGuid, 8);
    PutLe(image.File('M'), c.layout == 4 ? 26 : 24, c.mapDataGuid, 8);
    PutLe(image.File('D'), 8, c.dataGuid, 8);
    PutLe(image.File('T'), 8, c.metadataGuid, 8);
    const ReadResult r = ReadImage(image);
    ASSERT_EQ(r.code, c.code);
    if (c.code == NB_OK) {
        EXPECT_EQ(r.p.ImageGuid, c.image);
        EXPECT_EQ(r.p.DataGuid, c.data);
    }
    std::string trace = c.trace;
    for (auto [key, file] : {std::pair {"{T}", 'T'}, std::pair {"{D}", 'D'}, std::pair {"{M}", 'M'}})
        if (const auto at = trace.find(key); at != std::string::npos) trace.replace(at, 3, image.File(file));
    EXPECT_NE(r.err.find(trace), std::string::npos) << r.err;
}

constexpr std::uint64_t X = 0x8000000000000001ull, Y = 0x1234, I = 0x77;  // X prints negative
INSTANTIATE_TEST_SUITE_P(Legacy, Identifiers, ::testing::Values(
    GuidCase {2, 0, 0, 0, 0, 0, kNew1, kNew2, ""}, GuidCase {2, 0, 0, 0, X, 0, kNew1, X, ""},
    GuidCase {2, I, X, X, 0, 0, I, X, ""},         GuidCase {2, I, X, 0, 0, 0, I, X, ""},
    GuidCase {2, I, 0, X, Y, 13, 0, 0, ""},        GuidCase {2, I, Y, X, X, 13, 0, 0, ""},
    GuidCase {2, 0, Y, 0, X, 13, 0, 0, ""},        GuidCase {3, 0, 0, 0, 0, 0, kNew1, kNew2, ""},
    GuidCase {3, 0, X, 0, 0, 0, kNew1, X, ""},     GuidCase {3, I, 0, X, 0, 0, I, X, ""},
    GuidCase {3, I, Y, X, 0, 13, 0, 0, ""},
    GuidCase {3, I, X, X, X, 13, 0, 0, "Metadata GUID of file [{T}] is not 0"},
    GuidCase {4, 0, 0, 0, 0, 0, 0, 0, ""},         GuidCase {4, I, X, X, X, 0, I, X, ""},
    GuidCase {4, I, X, X, 0, 13, 0, 0, "Metadata GUID of file [{T}] is not -9223372036854775807"},
    GuidCase {4, I, X, Y, X, 13, 0, 0, "Data GUID of file [{D}] (4660) is not the one in map file [{M}] (-9223372036854775807)"}));

TEST(Readers, DataGuidIsComparedOnlyAfterEveryMetadataFile) {
    Image image(4, 0, 2);
    PutLe(image.File('D'), 8, Y, 8);
    fs::remove(image.File('T', 1));
    EXPECT_EQ(ReadImage(image).code, NB_FILE_NOT_FOUND);
}

TEST(Readers, ParameterMismatchNamesTheSecondFileAfterFillingTheFirst) {
    struct Row { std::uint32_t layout; std::size_t offset; int width; std::uint32_t value; const char* trace; };
    const Row rows[] = {
        {3, 32, 2, 1, "Parameters [1 4096 2] in file [{T}] does not match image parameters [0 4096 2]"},
        {3, 20, 4, 8192, "Parameters [0 8192 2] in file [{T}] does not match image parameters [0 4096 2]"},
        {3, 16, 4, 3, "Parameters [0 4096 3] in file [{T}] does not match image parameters [0 4096 2]"},
        {4, 36, 2, 1, "Parameters [1 4096 2] in file [{T}] does not match image parameters [0 4096 2]"},
        {4, 24, 4, 8192, "Parameters [0 8192 2] in file [{T}] does not match image parameters [0 4096 2]"},
        {4, 20, 4, 3, "Parameters [0 4096 3] in file [{T}] does not match image parameters [0 4096 2]"},
    };
    for (const Row& row : rows) {
        Image image(row.layout, 0, 2);
        const std::size_t a = row.layout == 3 ? 24 : 28;  // FileParameterA, then B
        PutLe(image.File('T'), a, 0x11, 4);
        PutLe(image.File('T'), a + 4, 0x22, 4);
        PutLe(image.File('T', 1), row.offset, row.value, row.width);
        const ReadResult r = ReadImage(image);
        EXPECT_EQ(r.code, NB_INVALID_DATA);
        EXPECT_EQ(r.m[0].Sequence, 1u);
        EXPECT_EQ(r.m[0].FileParameterA, 0x11u);
        EXPECT_EQ(r.m[0].FileParameterB, 0x22u);
        std::string trace = row.trace;
        trace.replace(trace.find("{T}"), 3, image.File('T', 1));
        EXPECT_NE(r.err.find(trace), std::string::npos) << r.err;
    }
}

struct FieldCase {
    const char* name;
    std::uint32_t layout;
    std::uint16_t mapType;
    char file;
    std::size_t offset;
    std::uint32_t value;  // a 32-bit field at offset
    std::uint64_t resize; // the file's new size, 0 to keep it
    NbResult code;
    std::uint32_t ImageParameters::*field;
    std::uint32_t want;
};
class HeaderFields : public ::testing::TestWithParam<FieldCase> {};

TEST_P(HeaderFields, ComeFromTheirOffsetsOrAreRefused) {
    const FieldCase& c = GetParam();
    Image image(c.layout, c.mapType);
    PutLe(image.File(c.file), c.offset, c.value, 4);
    if (c.resize != 0) fs::resize_file(image.File(c.file), c.resize);
    const ReadResult r = ReadImage(image);
    ASSERT_EQ(r.code, c.code);
    if (c.field != nullptr) {
        EXPECT_EQ(r.p.*c.field, c.want);
    }
}

using P = ImageParameters;
INSTANTIATE_TEST_SUITE_P(Legacy, HeaderFields, ::testing::Values(
    FieldCase {"V2BlocksRoundUp1000", 2, 0, 'D', 16, 512, 1000, 0, &P::DataBlocks, 2},
    FieldCase {"V2Blocks1024", 2, 0, 'D', 16, 512, 1024, 0, &P::DataBlocks, 2},
    FieldCase {"V2BlocksRoundUp1025", 2, 0, 'D', 16, 512, 1025, 0, &P::DataBlocks, 3},
    FieldCase {"V3BlocksRoundDown", 3, 0, 'D', 16, 512, 1000, 0, &P::DataBlocks, 1},
    FieldCase {"V4BlocksRoundDown", 4, 0, 'D', 20, 512, 1000, 0, &P::DataBlocks, 1},
    FieldCase {"V3NoWholeBlock", 3, 0, 'D', 16, 512, 100, 13, nullptr, 0},
    FieldCase {"V2BlockSizeZero", 2, 0, 'D', 16, 0, 0, 13, nullptr, 0},
    FieldCase {"V3BlockSizeZero", 3, 0, 'D', 16, 0, 0, 13, nullptr, 0},
    FieldCase {"V4BlockSizeZero", 4, 0, 'D', 20, 0, 0, 13, nullptr, 0},
    FieldCase {"V2AlignmentZero", 2, 0, 'T', 16, 0, 0, 13, nullptr, 0},
    FieldCase {"V3AlignmentZero", 3, 0, 'T', 20, 0, 0, 13, nullptr, 0},
    FieldCase {"V4AlignmentZero", 4, 0, 'T', 24, 0, 0, 13, nullptr, 0},
    FieldCase {"V2ImageSize", 2, 0, 'M', 16, 777, 0, 0, &P::ImageSize, 777},
    FieldCase {"V3ImageSize", 3, 0, 'M', 20, 777, 0, 0, &P::ImageSize, 777},
    FieldCase {"V4ImageSize", 4, 0, 'M', 22, 777, 0, 0, &P::ImageSize, 777},
    FieldCase {"V3TableSize10", 3, 1, 'M', 44, 10, 0, 0, &P::MapTableEntries, 2},
    FieldCase {"V4TableSize10", 4, 1, 'M', 46, 10, 0, 0, &P::MapTableEntries, 2},
    FieldCase {"V3ExtendedMapOffset", 3, 1, 'M', 40, 12345, 0, 0, &P::MapDataOffset, 12345},
    FieldCase {"V3PlainMapIgnoresExtension", 3, 0, 'M', 40, 12345, 0, 0, &P::MapDataOffset, 4096},
    FieldCase {"V4PlainMapOffset", 4, 0, 'M', 34, 8192, 0, 0, &P::MapDataOffset, 8192},
    FieldCase {"V4ExtendedPageSize", 4, 1, 'M', 50, 32768, 0, 0, &P::MapPageSize, 32768},
    FieldCase {"V3ExtendedMap312Passes", 3, 1, 'M', 44, 8, 312, 0, &P::MapTableSize, 8},
    FieldCase {"V3ExtendedMap311", 3, 1, 'M', 44, 8, 311, 13, nullptr, 0},
    FieldCase {"V4ExtendedMap310Passes", 4, 1, 'M', 46, 8, 310, 0, &P::MapTableSize, 8},
    FieldCase {"V4ExtendedMap309", 4, 1, 'M', 46, 8, 309, 13, nullptr, 0}),
    [](const ::testing::TestParamInfo<FieldCase>& info) { return std::string(info.param.name); });

TEST(Readers, MapTextStopsAtNulOrTheLayoutsLimit) {
    struct Row { std::uint32_t layout; std::size_t offset; std::string field, want; };
    const Row rows[] = {
        {3, 52, std::string(260, 't'), std::string(260, 't')},
        {4, 54, std::string(256, 'u'), std::string(255, 'u')},
        {3, 52, std::string("ab\0cd", 5), "ab"},
    };
    for (const Row& row : rows) {
        Image image(row.layout, 1);
        Put(image.File('M'), row.offset, row.field.data(), row.field.size());
        const ReadResult r = ReadImage(image);
        ASSERT_EQ(r.code, NB_OK);
        EXPECT_EQ(std::string(r.p.MapText), row.want);
    }
}

}  // namespace
