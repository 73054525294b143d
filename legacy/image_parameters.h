// The one in-memory description of an image that travels from the legacy
// readers to the version 6 writer.
#pragma once
#include <cstdint>

struct ImageParameters {
    std::uint32_t BlockSize;          // bytes per block, from the data header
    std::uint32_t ImageSize;          // image size in blocks, from the map header
    std::uint16_t MapType;            // 0 plain map header, 1 extended
    std::uint32_t ImageParameterA;
    std::uint32_t MetadataAlignment;  // new metadata structures go to multiples of it
    std::uint16_t ImageParameterC;
    std::uint64_t ImageGuid;
    std::uint64_t DataGuid;
    std::uint32_t MapDataOffset;      // where the map's data (type 1: its table) begins
    std::uint32_t MapTableEntries;    // always MapTableSize / 4
    std::uint32_t MapTableSize;
    std::uint32_t MapPageSize;
    std::uint64_t MapReference;
    char MapText[512];
    std::uint64_t MapFileSize;
    std::uint32_t DataSequence;
    std::uint32_t DataBlocks;         // data file size in blocks
};

struct MetadataFileParameters {
    std::uint32_t Sequence;
    std::uint32_t FileParameterB;
    std::uint32_t FileParameterA;
};

inline constexpr std::uint32_t NB_DEFAULT_BLOCK_SIZE = 512;
inline constexpr std::uint32_t NB_DEFAULT_IMAGE_PARAMETER_A = 2;
inline constexpr std::uint32_t NB_DEFAULT_METADATA_ALIGNMENT = 4096;
inline constexpr std::uint32_t NB_DEFAULT_MAP_DATA_OFFSET = 4096;
inline constexpr std::uint32_t NB_DEFAULT_MAP_PAGE_SIZE = 65536;

// Every field to its default; the first count records to zero.
void NbConvertInitParameters(ImageParameters* parameters, MetadataFileParameters* metadataFileParameters,
                             std::uint32_t count);
