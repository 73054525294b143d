// The conversion table: legacy images of layouts 2, 3 and 4 a user could
// meet, each written by the image maker, converted by the real program and
// compared byte for byte with what version 6 says it must hold, wherever the
// folder it lies in is mounted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tools/image_maker.h"

inline constexpr std::size_t kHeadBackup = 135168;

struct ConversionRow {
    const char* Name;
    std::uint32_t Layout;
    std::uint16_t MapType = 0;
    MapContent Content = MapContent::Sparse;
    std::uint32_t DropEvery = 3;
    std::uint32_t ImageSize = 33000;  // not a multiple of 1024 blocks
    std::uint32_t BlockSize = 512;
    std::uint64_t DataBytes = 300000;
    std::size_t Metadata = 1;
    bool OwnFolders = false;  // each metadata file under a base path in a folder of its own
    bool Guids = false;       // the old headers carry identifiers
    std::uint32_t MapDataOffset = 4096;
    std::uint32_t MapTableSize = 4096;
    std::uint32_t MapPageSize = 65536;
    std::uint64_t MetadataBytes = 262144;
    std::uint32_t MetadataAlignment = 4096;
    std::size_t TextLength = 0;  // 0: the maker's short text
    std::uint32_t MapPages = 0;  // 0: as many as the image size asks for
    bool UnusedTable = false;
};
void PrintTo(const ConversionRow& row, std::ostream* out);

// The row's image in dir, its files not yet written.
ImageRecipe MakeRecipe(const ConversionRow& row, const TempDir& dir);
// What the converter says as it converts the image.
std::vector<std::string> ConvertedLines(std::uint32_t version, const ImageRecipe& recipe);
// Every row of the table.
std::vector<ConversionRow> ConversionRows();

// Writes the image, converts it and checks every byte; nbinfo must read both
// forms and write neither, and a second run must change nothing.
void ExpectEveryVersion6RecordAndAnIdleSecondRun(const ImageRecipe& recipe, const TempDir& dir);
