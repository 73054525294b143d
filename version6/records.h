// The version 6 layout: every header, superblock and checkpoint, one layout
// function per record with its fields at their byte offsets, and the
// placement arithmetic that decides where each record goes.
#pragma once
#include <cstddef>
#include <cstdint>

#include "legacy/image_parameters.h"
#include "platform/record_io.h"
#include "platform/result.h"

inline constexpr std::uint32_t NB_V6_VERSION = 6;
inline constexpr std::uint64_t NB_64K = 65536;
inline constexpr std::uint64_t NB_1M = 1048576;
inline constexpr std::uint32_t NB_MAP_PAGE = 4096;             // 1024 map entries
inline constexpr std::uint32_t NB_MAP_ENTRIES_PER_PAGE = 1024;
inline constexpr std::uint32_t NB_MAP_PAGE_TABLE_OFFSET = 1076; // in the map checkpoint
inline constexpr std::uint32_t NB_SUPERBLOCK_BLOCK = 4096;      // a map superblock's block
inline constexpr std::uint32_t NB_METADATA_CHECKPOINT_SIZE = 4096;

inline constexpr std::size_t kMapHeaderV6Size = 838;
inline constexpr std::size_t kMapSuperblockSize = 40;
inline constexpr std::size_t kMapCheckpointHeadSize = NB_MAP_PAGE_TABLE_OFFSET;
inline constexpr std::size_t kDataHeaderV6Size = 36;
inline constexpr std::size_t kDataSuperblockSize = 32;
inline constexpr std::size_t kDataCheckpointHeadSize = 40;
inline constexpr std::size_t kMetadataHeaderV6Size = 54;
inline constexpr std::size_t kMetadataSuperblockSize = 92;
inline constexpr std::size_t kMetadataCheckpointHeadSize = 40;

// A 4-byte magic as its characters stand in the file.
struct NbMagic {
    char Text[4];
};
inline constexpr NbMagic kMapMagic {{'N', 'b', 'M', '*'}};
inline constexpr NbMagic kDataMagic {{'N', 'b', 'D', '*'}};
inline constexpr NbMagic kMetadataMagic {{'N', 'b', 'B', 'P'}};

// 8-byte signatures, written as they stand (the map superblock's has seven
// characters and a zero byte).
struct NbSignature {
    char Text[8];
};
inline constexpr NbSignature kMapSuperblockSignature {{'D', 'D', 'M', 'a', 'p', 'S', 'B', '\0'}};
inline constexpr NbSignature kMapCheckpointSignature {{'D', 'D', 'S', 'M', 'a', 'p', 'C', 'P'}};
inline constexpr NbSignature kDataSuperblockSignature {{'D', 'D', 'D', 'a', 't', 'a', 'S', 'B'}};
inline constexpr NbSignature kDataCheckpointSignature {{'D', 'D', 'D', 'a', 't', 'a', 'C', 'P'}};
inline constexpr NbSignature kMetadataSuperblockSignature {{'D', 'D', 'M', 'e', 't', 'a', 'S', 'B'}};
inline constexpr NbSignature kMetadataCheckpointSignature {{'D', 'D', 'M', 'e', 't', 'a', 'C', 'P'}};

inline constexpr std::uint32_t NB_MAP_CHECKPOINT_HEADER_VALUE = 16;
inline constexpr std::uint32_t NB_MAP_CHECKPOINT_TABLE_VALUE = 1;
inline constexpr std::uint32_t NB_DATA_CHECKPOINT_HEADER_VALUE = 53;
inline constexpr std::uint32_t NB_METADATA_CHECKPOINT_HEADER_VALUE = 4096;

struct MapHeaderV6 {
    NbMagic Signature;
    std::uint32_t HeaderLength;
    std::uint64_t Guid;
    std::uint32_t Version;
    std::uint16_t MapType;
    std::uint32_t ImageSize;
    std::uint64_t DataGuid;
    std::uint64_t FirstSuperblockOffset;
    std::uint64_t SecondSuperblockOffset;
    std::uint32_t MapDataOffset;
    std::uint64_t MapReference;
    std::uint32_t MapTableSize;
    std::uint32_t MapPageSize;
    char MapText[256];  // no terminator of its own when the text fills it
};

struct MapSuperblock {
    NbSignature Signature;
    std::uint32_t Crc;  // over bytes 0 to 39
    std::uint64_t CheckpointOffset;
    std::uint32_t CheckpointSize;
    std::uint64_t MapEndOffset;
};

// The fixed head of the map checkpoint; the page table follows at 1076.
struct MapCheckpointHead {
    NbSignature Signature;
    std::uint32_t HeaderValue;
    std::uint32_t HeaderCrc;  // over bytes 0 to 15
    std::uint32_t TableValue;
    std::uint32_t Crc;        // over the whole checkpoint
    std::uint32_t PageCount;
    std::uint32_t PageCrc;
};

struct DataHeaderV6 {
    NbMagic Signature;
    std::uint32_t HeaderLength;
    std::uint64_t Guid;
    std::uint32_t Version;
    std::uint32_t BlockSize;
    std::uint32_t FirstSuperblockBlock;
    std::uint32_t SecondSuperblockBlock;
    std::uint32_t DataSequence;
};

struct DataSuperblock {
    NbSignature Signature;
    std::uint32_t Crc;  // over bytes 0 to 31
    std::uint32_t CheckpointBlock;
    std::uint32_t CheckpointBlocks;
    std::uint32_t EndBlock;
};

// The head of a data or metadata checkpoint; the rest of it is zero.
struct CheckpointHead {
    NbSignature Signature;
    std::uint32_t HeaderValue;
    std::uint32_t HeaderCrc;  // over bytes 0 to 15
    std::uint32_t Crc;        // over the whole checkpoint
};

struct MetadataHeaderV6 {
    NbMagic Signature;
    std::uint32_t HeaderLength;
    std::uint64_t Guid;
    std::uint32_t Version;
    std::uint32_t ImageParameterA;
    std::uint32_t MetadataAlignment;
    std::uint16_t ImageParameterC;
    std::uint32_t FileParameterB;
    std::uint32_t Sequence;
    std::uint64_t FirstSuperblockOffset;
    std::uint64_t SecondSuperblockOffset;
};

struct MetadataSuperblock {
    NbSignature Signature;
    std::uint64_t CheckpointOffset;
    std::uint32_t CheckpointSize;
    std::uint64_t SecondCheckpointOffset;
    std::uint32_t SecondCheckpointSize;
    std::uint32_t FileParameterA;
    std::uint64_t CheckpointEndOffset;
    std::uint64_t AlignedEndOffset;
    std::uint64_t SecondAlignedEndOffset;
    std::uint32_t Crc;  // over bytes 0 to 91, the last field
};

template <class IO>
void Layout(IO& io, MapHeaderV6& h) {
    io.Bytes(0, h.Signature.Text, 4);
    io.U32(4, h.HeaderLength);
    io.U64(8, h.Guid);
    io.U32(16, h.Version);
    io.U16(20, h.MapType);
    io.U32(22, h.ImageSize);
    io.U64(26, h.DataGuid);
    io.U64(34, h.FirstSuperblockOffset);
    io.U64(42, h.SecondSuperblockOffset);
    io.U32(50, h.MapDataOffset);
    // 54 to 565: zero
    io.U64(566, h.MapReference);
    io.U32(574, h.MapTableSize);
    io.U32(578, h.MapPageSize);
    io.Bytes(582, h.MapText, 256);
}

template <class IO>
void Layout(IO& io, MapSuperblock& h) {
    io.Bytes(0, h.Signature.Text, 8);
    // 8 to 15: zero
    io.U32(16, h.Crc);
    io.U64(20, h.CheckpointOffset);
    io.U32(28, h.CheckpointSize);
    io.U64(32, h.MapEndOffset);
}

template <class IO>
void Layout(IO& io, MapCheckpointHead& h) {
    io.Bytes(0, h.Signature.Text, 8);
    io.U32(8, h.HeaderValue);
    io.U32(12, h.HeaderCrc);
    // 16 to 35: zero
    io.U32(36, h.TableValue);
    io.U32(40, h.Crc);
    io.U32(44, h.PageCount);
    io.U32(48, h.PageCrc);
    // 52 to 1075: zero; the page table from 1076
}

template <class IO>
void Layout(IO& io, DataHeaderV6& h) {
    io.Bytes(0, h.Signature.Text, 4);
    io.U32(4, h.HeaderLength);
    io.U64(8, h.Guid);
    io.U32(16, h.Version);
    io.U32(20, h.BlockSize);
    io.U32(24, h.FirstSuperblockBlock);
    io.U32(28, h.SecondSuperblockBlock);
    io.U32(32, h.DataSequence);
}

template <class IO>
void Layout(IO& io, DataSuperblock& h) {
    io.Bytes(0, h.Signature.Text, 8);
    // 8 to 15: zero
    io.U32(16, h.Crc);
    io.U32(20, h.CheckpointBlock);
    io.U32(24, h.CheckpointBlocks);
    io.U32(28, h.EndBlock);
}

template <class IO>
void Layout(IO& io, CheckpointHead& h) {
    io.Bytes(0, h.Signature.Text, 8);
    io.U32(8, h.HeaderValue);
    io.U32(12, h.HeaderCrc);
    // 16 to 35: zero
    io.U32(36, h.Crc);
}

template <class IO>
void Layout(IO& io, MetadataHeaderV6& h) {
    io.Bytes(0, h.Signature.Text, 4);
    io.U32(4, h.HeaderLength);
    io.U64(8, h.Guid);
    io.U32(16, h.Version);
    io.U32(20, h.ImageParameterA);
    io.U32(24, h.MetadataAlignment);
    io.U16(28, h.ImageParameterC);
    io.U32(30, h.FileParameterB);
    io.U32(34, h.Sequence);
    io.U64(38, h.FirstSuperblockOffset);
    io.U64(46, h.SecondSuperblockOffset);
}

template <class IO>
void Layout(IO& io, MetadataSuperblock& h) {
    io.Bytes(0, h.Signature.Text, 8);
    // 8 to 23: zero
    io.U64(24, h.CheckpointOffset);
    io.U32(32, h.CheckpointSize);
    io.U64(36, h.SecondCheckpointOffset);
    io.U32(44, h.SecondCheckpointSize);
    io.U32(48, h.FileParameterA);
    // 52 to 63: zero
    io.U64(64, h.CheckpointEndOffset);
    io.U64(72, h.AlignedEndOffset);
    io.U64(80, h.SecondAlignedEndOffset);
    io.U32(88, h.Crc);
}

// Where the checksums lie in each record.
inline constexpr std::size_t kMapSuperblockCrcOffset = 16;
inline constexpr std::size_t kDataSuperblockCrcOffset = 16;
inline constexpr std::size_t kMetadataSuperblockCrcOffset = 88;
inline constexpr std::size_t kCheckpointHeaderCrcOffset = 12;
inline constexpr std::size_t kCheckpointHeaderCrcCovers = 16;
inline constexpr std::size_t kMapCheckpointCrcOffset = 40;
inline constexpr std::size_t kCheckpointCrcOffset = 36;  // data and metadata checkpoints

// Stores the CRC of bytes[0, covered) at crcOffset (the field is zero while
// it is computed).
void NbSealCrc(std::uint8_t* bytes, std::size_t covered, std::size_t crcOffset);
// A checkpoint's two checksums: the header's first, then the whole record's,
// which covers the header checksum.
void NbSealCheckpoint(std::uint8_t* bytes, std::size_t size, std::size_t crcOffset);

// x rounded up to a multiple of m (m > 0).
constexpr std::uint64_t NbRoundUp(std::uint64_t x, std::uint64_t m) { return x % m == 0 ? x : x + m - x % m; }

// The map checkpoint's page table entries and size.
std::uint32_t NbMapTableEntries(const ImageParameters& parameters);
// (1076 + 4 N) rounded up to 4096; larger than 32 bits means no placement.
std::uint64_t NbMapCheckpointSize(std::uint64_t entries);

struct DataPlacement {
    std::uint32_t FirstSuperblockBlock;   // S1
    std::uint32_t SecondSuperblockBlock;  // S2
    std::uint32_t CheckpointBlock;        // K
    std::uint32_t CheckpointSize;         // P, bytes
    std::uint32_t CheckpointBlocks;       // P / B
    std::uint32_t EndBlock;               // E
};
// 87 for a zero block size or block numbers that do not fit 32 bits.
[[nodiscard]] NbResult NbPlaceData(std::uint32_t blockSize, std::uint32_t dataBlocks, DataPlacement* placement);
// The same placement from the first superblock block S1 on: what follows
// from S1 alone, for checking a version 6 data file whose old size is gone.
[[nodiscard]] NbResult NbPlaceDataFrom(std::uint32_t blockSize, std::uint64_t firstSuperblockBlock, DataPlacement* placement);

struct MapPlacement {
    std::uint64_t FirstSuperblockOffset;   // S: the first 64 KiB boundary at or behind the map's body
    std::uint64_t SecondSuperblockOffset;  // S + 64 KiB
    std::uint64_t CheckpointOffset;        // S + 128 KiB
    std::uint64_t CheckpointSize;
    std::uint64_t MapEndOffset;            // behind the checkpoint, on a whole map page
};
// The map's records behind its body: bodyEnd is, for a plain map, the offset
// behind its last retained page, for an extended map the map file's size.
// 87 for a zero page size.
[[nodiscard]] NbResult NbPlaceMap(std::uint64_t bodyEnd, std::uint64_t checkpointSize, std::uint32_t mapPageSize,
                    MapPlacement* placement);

struct MetadataPlacement {
    std::uint64_t FirstSuperblockOffset;   // M1
    std::uint64_t SecondSuperblockOffset;  // M2
    std::uint64_t CheckpointOffset;        // Q
    std::uint64_t CheckpointEnd;
    std::uint64_t AlignedEnd;
};
// 87 for a zero alignment.
[[nodiscard]] NbResult NbPlaceMetadata(std::uint64_t fileSize, std::uint32_t alignment, MetadataPlacement* placement);

// Build the records the rewrite writes, from the image description.
MapHeaderV6 NbMakeMapHeader(const ImageParameters& parameters, std::uint64_t firstSuperblock);
MapSuperblock NbMakeMapSuperblock(std::uint64_t checkpointOffset, std::uint32_t checkpointSize,
                                  std::uint64_t mapEndOffset);
DataHeaderV6 NbMakeDataHeader(const ImageParameters& parameters, const DataPlacement& placement);
DataSuperblock NbMakeDataSuperblock(const DataPlacement& placement);
MetadataHeaderV6 NbMakeMetadataHeader(const ImageParameters& parameters, const MetadataFileParameters& file,
                                      const MetadataPlacement& placement);
MetadataSuperblock NbMakeMetadataSuperblock(const MetadataFileParameters& file, const MetadataPlacement& placement);
