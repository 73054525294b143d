// Version detection and the readers of layouts 2 to 4, on files whose header
// fields are patched at their byte offsets.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "legacy/legacy.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_support.h"
#include "tools/image_maker.h"

namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kNew1 = 0xA000000100000000ull, kNew2 = 0xA000000200000000ull;

// Hands out GUIDs in a known order and keeps the trace.
class GuidHost final : public FaultHost {
public:
    std::string Err;
    std::uint32_t Made = 0;
    NbResult CreateGuid(HostGuid* g) override { *g = {0xA0000000u + ++Made, 0, 0, {}}; return NB_OK; }
    void WriteStandardError(const char* t, std::size_t n) override { Err.append(t, n); }
};

// Writes bytes, then width bytes of v little-endian, at offset in the file.
void Put(const std::string& file, std::size_t offset, std::uint64_t v, int width, std::string bytes = "") {
    for (int i = 0; i < width; ++i) bytes += static_cast<char>(v >> (8 * i));
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset)).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct DetectCase { const char* name; std::uint32_t length[3], version[3]; int size[3]; NbResult code;
                    std::uint32_t detected; const char* trace; };  // size -1: no such file
void PrintTo(const DetectCase& c, std::ostream* out) { *out << c.name; }
class Detection : public ::testing::TestWithParam<DetectCase> {};

TEST_P(Detection, LengthsThenVersionFieldsDecide) {
    const DetectCase& c = GetParam();
    TempDir dir;
    const std::string names[3] = {dir / "i.nbbitmap", dir / "i.nbdata", dir / "i.nbmetadata"};
    for (int i = 0; i < 3; ++i) {
        if (c.size[i] < 0) continue;
        WriteBytes(names[i], Bytes(64));
        Put(names[i], 4, c.length[i], 4);
        Put(names[i], 16, c.version[i], 4);
        fs::resize_file(names[i], static_cast<std::uintmax_t>(c.size[i]));
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
    DetectCase {"V4V4V5", {38, 24, 38}, {4, 4, 5}, {64, 64, 64}, 13, 0, "Acquired versions are different [4 4 5]"},
    DetectCase {"HeadsLongerThanAPage", {32, 24, 24}, {0, 0, 0}, {5000, 9000, 4097}, 0, 2, ""},
    DetectCase {"SixteenToNineteenBytesPass", {9, 9, 9}, {1u << 24, 1u << 24, 1u << 24}, {16, 18, 19}, 0, 0, ""},
    DetectCase {"MissingVersionBytesAreZero", {9, 9, 9}, {0x1000004, 0x1000004, 0x1000004}, {20, 20, 18}, 13, 0,
                "[16777220 16777220 4]"},
    DetectCase {"FifteenByteMapStopsFirst", {32, 24, 24}, {0, 0, 0}, {15, -1, -1}, 13, 0, ""},
    DetectCase {"FifteenByteDataStopsBeforeMetadata", {32, 24, 24}, {0, 0, 0}, {64, 15, -1}, 13, 0, ""}),
    ::testing::PrintToStringParamName());

// A small valid image, read by its layout's reader in a host that numbers new GUIDs and keeps the trace.
struct Image {
    TempDir dir;
    ImageRecipe recipe;
    std::vector<std::string> names;  // the metadata files
    std::vector<char*> pointers;     // to them, as the driver passes them
    NbResult code = 0;
    ImageParameters p;
    MetadataFileParameters m[2];
    std::string err;
    Image(std::uint32_t layout, std::uint16_t mapType = 0, int metadataFiles = 1) {
        recipe.Layout = layout, recipe.MapType = mapType, recipe.ImageSize = 64, recipe.MetadataBytes = 4096;
        recipe.MapBase = recipe.DataBase = dir / "img";
        for (int i = 0; i < metadataFiles; ++i) recipe.MetadataBases.push_back(dir / ("m" + std::to_string(i)));
        for (int i = 0; i < metadataFiles; ++i) names.push_back(MetadataFileName(recipe, i));
        for (auto& n : names) pointers.push_back(n.data());
        EXPECT_TRUE(WriteImage(recipe, nullptr));
    }
    std::string File(char which, int i = 0) const { return which == 'M' ? MapFileName(recipe) : which == 'D' ? DataFileName(recipe) : names[i]; }
    // The text with {M}, {D}, {T} and {T1} standing for the file names.
    std::string Expand(std::string text) const {
        for (const auto& [key, name] : {std::pair {"{M}", File('M')}, {"{D}", File('D')}, {"{T}", names[0]}, {"{T1}", names.back()}})
            if (const auto at = text.find(key); at != std::string::npos) text.replace(at, std::strlen(key), name);
        return text;
    }
    void Read() {
        GuidHost host;
        ScopedHost scope(host);
        std::memset(&p, 0xAB, sizeof p);  // a reader must set every field
        std::memset(m, 0xAB, sizeof m);
        const std::string map = File('M'), data = File('D');
        const auto count = static_cast<std::uint16_t>(names.size());
        code = recipe.Layout == 2 ? NbConvertFromV2(data.c_str(), map.c_str(), pointers[0], &p, m)
             : recipe.Layout == 3 ? NbConvertFromV3(data.c_str(), map.c_str(), pointers.data(), count, &p, m)
                                : NbConvertFromV4(data.c_str(), map.c_str(), pointers.data(), count, &p, m);
        err = host.Err;
    }
};

struct GuidCase { std::uint32_t layout; std::uint64_t mapGuid, mapDataGuid, dataGuid, metadataGuid; NbResult code;
                  std::uint64_t image, data; const char* trace; };
void PrintTo(const GuidCase& c, std::ostream* out) {
    *out << 'L' << c.layout << std::hex << '_' << c.mapGuid << '_' << c.mapDataGuid << '_' << c.dataGuid << '_' << c.metadataGuid;
}
class Identifiers : public ::testing::TestWithParam<GuidCase> {};

TEST_P(Identifiers, AgreeWhereSetAndAreMadeImageFirstWhereMissing) {
    const GuidCase& c = GetParam();
    Image image(c.layout);
    Put(image.File('M'), 8, c.mapGuid, 8);
    Put(image.File('M'), c.layout == 4 ? 26 : 24, c.mapDataGuid, 8);
    Put(image.File('D'), 8, c.dataGuid, 8);
    Put(image.File('T'), 8, c.metadataGuid, 8);
    image.Read();
    ASSERT_EQ(image.code, c.code);
    EXPECT_EQ((std::pair {c.code ? 0 : image.p.ImageGuid, c.code ? 0 : image.p.DataGuid}), (std::pair {c.image, c.data}));
    EXPECT_NE(image.err.find(image.Expand(c.trace)), std::string::npos) << image.err;
}

constexpr std::uint64_t X = 0x8000000000000001ull, Y = 0x1234, I = 0x77;  // X prints negative
INSTANTIATE_TEST_SUITE_P(Legacy, Identifiers, ::testing::Values(
    GuidCase {2, 0, 0, 0, 0, 0, kNew1, kNew2, ""}, GuidCase {2, 0, 0, 0, X, 0, kNew1, X, ""},
    GuidCase {2, I, X, X, 0, 0, I, X, ""},         GuidCase {2, I, X, 0, 0, 0, I, X, ""},
    // Layout 2 gives a mismatch no line of its own (nbinfo still names it).
    GuidCase {2, 0, Y, 0, X, 13, 0, 0, ""},        GuidCase {3, 0, 0, 0, 0, 0, kNew1, kNew2, ""},
    GuidCase {3, 0, X, 0, 0, 0, kNew1, X, ""},     GuidCase {3, I, 0, X, 0, 0, I, X, ""},
    GuidCase {3, I, X, X, X, 13, 0, 0, "Metadata GUID of file [{T}] is not 0"},
    GuidCase {4, I, X, X, 0, 13, 0, 0, "Metadata GUID of file [{T}] is not -9223372036854775807"},
    GuidCase {4, I, X, Y, X, 13, 0, 0, "Data GUID of file [{D}] (4660) is not the one in map file [{M}] (-9223372036854775807)"}),
    ::testing::PrintToStringParamName());

// One field patched at its offset in file M, D, T or T1 (a second metadata file), the file perhaps cut, then read.
struct FieldCase { const char* name; std::uint32_t layout; std::uint16_t mapType; const char* file; std::size_t offset;
                   int width; std::uint32_t value; std::uint64_t resize; NbResult code;
                   std::uint32_t ImageParameters::*field; std::uint32_t want; const char* trace; };
void PrintTo(const FieldCase& c, std::ostream* out) { *out << c.name; }
class HeaderFields : public ::testing::TestWithParam<FieldCase> {};

TEST_P(HeaderFields, ComeFromTheirOffsetsOrAreRefused) {
    const FieldCase& c = GetParam();
    const bool second = c.file == std::string("T1");
    Image image(c.layout, c.mapType, second ? 2 : 1);
    const std::string file = image.File(c.file[0], second ? 1 : 0);
    Put(file, c.offset, c.value, c.width);
    if (c.resize != 0) fs::resize_file(file, c.resize);
    image.Read();
    ASSERT_EQ(image.code, c.code);
    EXPECT_EQ(c.field != nullptr ? image.p.*c.field : 0, c.want);
    EXPECT_NE(image.err.find(image.Expand(c.trace)), std::string::npos) << image.err;
    EXPECT_TRUE(!second || (image.m[0].Sequence == 1 && image.m[0].FileParameterA == 100 && image.m[0].FileParameterB == 200))
        << "the first metadata file is taken before the second is compared";
}

// Zero block sizes and alignments, data files without a whole block and
// metadata files that disagree are rows of the refusal table (malformed_test.cpp).
using P = ImageParameters;
INSTANTIATE_TEST_SUITE_P(Legacy, HeaderFields, ::testing::Values(
    FieldCase {"V3TableSize10", 3, 1, "M", 44, 4, 10, 0, 0, &P::MapTableEntries, 2, ""},
    FieldCase {"V4TableSize10", 4, 1, "M", 46, 4, 10, 0, 0, &P::MapTableEntries, 2, ""},
    FieldCase {"V3PlainMapIgnoresExtension", 3, 0, "M", 40, 4, 12345, 0, 0, &P::MapDataOffset, 4096, ""},
    FieldCase {"V3ExtendedMap312Passes", 3, 1, "M", 44, 4, 8, 312, 0, &P::MapTableSize, 8, ""},
    FieldCase {"V4ExtendedMap310Passes", 4, 1, "M", 46, 4, 8, 310, 0, &P::MapTableSize, 8, ""},
    FieldCase {"V4SecondParameterA", 4, 0, "T1", 20, 4, 3, 0, 13, nullptr, 0, "[0 4096 3] in file [{T1}]"}),
    ::testing::PrintToStringParamName());

TEST(Readers, DataGuidIsComparedOnlyAfterEveryMetadataFile) {
    Image image(4, 0, 2);
    Put(image.File('D'), 8, Y, 8);
    fs::remove(image.File('T', 1));
    image.Read();
    EXPECT_EQ(image.code, NB_FILE_NOT_FOUND);
}

// The layouts' length limits are the conversion table's (long texts of layouts 3 and 4).
TEST(Readers, MapTextStopsAtNul) {
    Image image(4, 1);
    Put(image.File('M'), 54, 0, 0, std::string("ab\0cd", 5));
    image.Read();
    EXPECT_TRUE(image.code == NB_OK && std::string(image.p.MapText) == "ab") << image.p.MapText;
}

}  // namespace
