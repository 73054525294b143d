// Writes legacy images (layouts 2, 3 and 4) with the converter's own record
// code: for the sample-image program, the tests and the benchmarks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum class MapContent {
    Used,    // every map page holds live entries
    Sparse,  // every DropEvery-th page (from the first) is all 0xFFFFFFFF
    Empty,   // every page is all 0xFFFFFFFF
    Random,  // each cluster of DropCluster pages dropped with probability DropPercent, seeded
};

struct ImageRecipe {
    std::uint32_t Layout = 2;  // 2, 3 or 4
    std::string MapBase;       // the converter's arguments: extensions are added
    std::string DataBase;
    std::vector<std::string> MetadataBases;

    std::uint32_t ImageSize = 40960;  // blocks: a map of 40 pages, long enough to back up
    std::uint32_t BlockSize = 512;
    std::uint64_t ImageGuid = 0;      // 0 leaves the header's identifier zero
    std::uint64_t DataGuid = 0;
    bool MapNamesDataGuid = true;      // the map header repeats DataGuid
    bool MetadataNamesDataGuid = true; // layouts 2 and 4: the metadata headers repeat it

    std::uint16_t MapType = 0;        // layouts 3 and 4
    MapContent Content = MapContent::Sparse;
    std::uint32_t DropEvery = 3;
    std::uint32_t DropPercent = 30;
    // Random maps: pages dropped or kept together, as an image's unused
    // regions leave them (1: each page alone).
    std::uint32_t DropCluster = 1;
    std::uint32_t Seed = 1;
    // Pages of a type 0 map; 0 means one per 1024 blocks of the image.
    std::uint32_t MapPages = 0;

    // Extended map (type 1): the table and where it lies.
    std::uint32_t MapDataOffset = 4096;  // layout 4 always; layout 3 type 1
    std::uint32_t MapTableSize = 4096;
    std::uint32_t MapPageSize = 65536;
    std::uint64_t MapReference = 0x0123456789ABCDEFull;
    std::string MapText = "nbmkimage sample map";
    std::uint32_t MapTrailingBytes = 131072;  // behind the table of a type 1 map
    bool UnusedMapTable = false;              // every byte of the table 0xFF

    // File sizes; 0 means ImageSize blocks of BlockSize for the data file.
    std::uint64_t DataBytes = 0;
    std::uint64_t MetadataBytes = 262144;

    std::uint32_t ImageParameterA = 2;
    std::uint32_t MetadataAlignment = 4096;
    std::uint16_t ImageParameterC = 0;
};

// Byte i of a file's body pattern for a seed: what the tests expect to find
// untouched after a conversion.
std::uint8_t PatternByte(std::uint32_t seed, std::uint64_t offset);

// The 4096-byte page i of a type 0 map as the maker writes it.
void MakeMapPage(const ImageRecipe& recipe, std::uint32_t index, std::uint8_t* page);
bool MapPageDropped(const ImageRecipe& recipe, std::uint32_t index);
std::uint32_t MapPageCount(const ImageRecipe& recipe);

// The type 1 map table: 32-bit entries, every byte of the table distinct
// from its neighbours so that a shifted copy cannot match.
std::vector<std::uint8_t> MakeMapTable(const ImageRecipe& recipe);

// Writes every file of the image; false with a message on failure.
bool WriteImage(const ImageRecipe& recipe, std::string* error);

// The full file names the converter builds from the bases.
std::string MapFileName(const ImageRecipe& recipe);
std::string DataFileName(const ImageRecipe& recipe);
std::string MetadataFileName(const ImageRecipe& recipe, std::size_t i);
