#include "version6/records.h"

#include <cstring>

#include "platform/checksum.h"
#include "platform/endian.h"

void NbSealCrc(std::uint8_t* bytes, std::size_t covered, std::size_t crcOffset) {
    PutLe32(bytes, crcOffset, 0);
    PutLe32(bytes, crcOffset, NbCrc32(bytes, static_cast<std::uint32_t>(covered)));
}

void NbSealCheckpoint(std::uint8_t* bytes, std::size_t size, std::size_t crcOffset) {
    NbSealCrc(bytes, kCheckpointHeaderCrcCovers, kCheckpointHeaderCrcOffset);
    NbSealCrc(bytes, size, crcOffset);
}

std::uint32_t NbMapTableEntries(const ImageParameters& parameters) {
    if (parameters.MapType == 1) return parameters.MapTableEntries;
    return parameters.ImageSize / NB_MAP_ENTRIES_PER_PAGE + (parameters.ImageSize % NB_MAP_ENTRIES_PER_PAGE != 0);
}

std::uint64_t NbMapCheckpointSize(std::uint64_t entries) {
    return NbRoundUp(NB_MAP_PAGE_TABLE_OFFSET + 4 * entries, 4096);
}

NbResult NbPlaceData(std::uint32_t blockSize, std::uint32_t dataBlocks, DataPlacement* placement) {
    if (blockSize == 0) return NB_INVALID_PARAMETER;
    const std::uint64_t b = blockSize;
    const std::uint64_t r = NbRoundUp(static_cast<std::uint64_t>(dataBlocks) * b, NB_64K);
    return NbPlaceDataFrom(blockSize, r / b + (r % b != 0), placement);
}

NbResult NbPlaceDataFrom(std::uint32_t blockSize, std::uint64_t s1, DataPlacement* placement) {
    if (blockSize == 0) return NB_INVALID_PARAMETER;
    const std::uint64_t b = blockSize;
    const std::uint64_t s2 = ((s1 + 1) * b + NB_64K - 1) / b;
    const std::uint64_t k = ((s2 + 1) * b + NB_64K - 1) / b;
    const std::uint64_t x = (k + 1) * b;
    const std::uint64_t e = x % 4096 == 0 ? k + 1 : NbRoundUp(x, 4096) / b;
    if (e > 0xFFFFFFFFull || k > 0xFFFFFFFFull) return NB_INVALID_PARAMETER;
    placement->FirstSuperblockBlock = static_cast<std::uint32_t>(s1);
    placement->SecondSuperblockBlock = static_cast<std::uint32_t>(s2);
    placement->CheckpointBlock = static_cast<std::uint32_t>(k);
    placement->CheckpointSize = blockSize > 4096 ? blockSize : 4096;
    placement->CheckpointBlocks = placement->CheckpointSize / blockSize;
    placement->EndBlock = static_cast<std::uint32_t>(e);
    return NB_OK;
}

NbResult NbPlaceMap(std::uint64_t bodyEnd, std::uint64_t checkpointSize, std::uint32_t mapPageSize,
                    MapPlacement* placement) {
    if (mapPageSize == 0) return NB_INVALID_PARAMETER;
    placement->FirstSuperblockOffset = NbRoundUp(bodyEnd, NB_64K);
    placement->SecondSuperblockOffset = placement->FirstSuperblockOffset + NB_64K;
    placement->CheckpointOffset = placement->FirstSuperblockOffset + 2 * NB_64K;
    placement->CheckpointSize = checkpointSize;
    placement->MapEndOffset = NbRoundUp(placement->CheckpointOffset + checkpointSize, mapPageSize);
    return NB_OK;
}

NbResult NbPlaceMetadata(std::uint64_t fileSize, std::uint32_t alignment, MetadataPlacement* placement) {
    if (alignment == 0) return NB_INVALID_PARAMETER;
    placement->FirstSuperblockOffset = NbRoundUp(fileSize, NB_64K);
    placement->SecondSuperblockOffset = placement->FirstSuperblockOffset + NB_64K;
    placement->CheckpointOffset = NbRoundUp(placement->FirstSuperblockOffset + 2 * NB_64K, alignment);
    placement->CheckpointEnd = placement->CheckpointOffset + NB_METADATA_CHECKPOINT_SIZE;
    placement->AlignedEnd = NbRoundUp(placement->CheckpointEnd, NB_1M);
    return NB_OK;
}

MapHeaderV6 NbMakeMapHeader(const ImageParameters& parameters, std::uint64_t firstSuperblock) {
    MapHeaderV6 h {};
    h.Signature = kMapMagic;
    h.HeaderLength = kMapHeaderV6Size;
    h.Guid = parameters.ImageGuid;
    h.Version = NB_V6_VERSION;
    h.MapType = 1;  // whatever the map's type before
    h.ImageSize = parameters.ImageSize;
    h.DataGuid = parameters.DataGuid;
    h.FirstSuperblockOffset = firstSuperblock;
    h.SecondSuperblockOffset = firstSuperblock + NB_64K;
    h.MapDataOffset = parameters.MapDataOffset;
    h.MapReference = parameters.MapReference;
    if (parameters.MapType == 0) {
        h.MapTableSize = 4 * NbMapTableEntries(parameters);
        h.MapPageSize = NB_MAP_PAGE;
    } else {
        h.MapTableSize = parameters.MapTableSize;
        h.MapPageSize = parameters.MapPageSize;
    }
    std::memcpy(h.MapText, parameters.MapText, sizeof h.MapText);
    return h;
}

MapSuperblock NbMakeMapSuperblock(std::uint64_t checkpointOffset, std::uint32_t checkpointSize,
                                  std::uint64_t mapEndOffset) {
    MapSuperblock h {};
    h.Signature = kMapSuperblockSignature;
    h.CheckpointOffset = checkpointOffset;
    h.CheckpointSize = checkpointSize;
    h.MapEndOffset = mapEndOffset;
    return h;
}

DataHeaderV6 NbMakeDataHeader(const ImageParameters& parameters, const DataPlacement& placement) {
    DataHeaderV6 h {};
    h.Signature = kDataMagic;
    h.HeaderLength = kDataHeaderV6Size;
    h.Guid = parameters.DataGuid;
    h.Version = NB_V6_VERSION;
    h.BlockSize = parameters.BlockSize;
    h.FirstSuperblockBlock = placement.FirstSuperblockBlock;
    h.SecondSuperblockBlock = placement.SecondSuperblockBlock;
    h.DataSequence = parameters.DataSequence;
    return h;
}

DataSuperblock NbMakeDataSuperblock(const DataPlacement& placement) {
    DataSuperblock h {};
    h.Signature = kDataSuperblockSignature;
    h.CheckpointBlock = placement.CheckpointBlock;
    h.CheckpointBlocks = placement.CheckpointBlocks;
    h.EndBlock = placement.EndBlock;
    return h;
}

MetadataHeaderV6 NbMakeMetadataHeader(const ImageParameters& parameters, const MetadataFileParameters& file,
                                      const MetadataPlacement& placement) {
    MetadataHeaderV6 h {};
    h.Signature = kMetadataMagic;
    h.HeaderLength = kMetadataHeaderV6Size;
    h.Guid = parameters.DataGuid;
    h.Version = NB_V6_VERSION;
    h.ImageParameterA = parameters.ImageParameterA;
    h.MetadataAlignment = parameters.MetadataAlignment;
    h.ImageParameterC = parameters.ImageParameterC;
    h.FileParameterB = file.FileParameterB;
    h.Sequence = file.Sequence;
    h.FirstSuperblockOffset = placement.FirstSuperblockOffset;
    h.SecondSuperblockOffset = placement.SecondSuperblockOffset;
    return h;
}

MetadataSuperblock NbMakeMetadataSuperblock(const MetadataFileParameters& file, const MetadataPlacement& placement) {
    MetadataSuperblock h {};
    h.Signature = kMetadataSuperblockSignature;
    h.CheckpointOffset = placement.CheckpointOffset;
    h.CheckpointSize = NB_METADATA_CHECKPOINT_SIZE;
    h.SecondCheckpointOffset = placement.CheckpointOffset;
    h.SecondCheckpointSize = NB_METADATA_CHECKPOINT_SIZE;
    h.FileParameterA = file.FileParameterA;
    h.CheckpointEndOffset = placement.CheckpointEnd;
    h.AlignedEndOffset = placement.AlignedEnd;
    h.SecondAlignedEndOffset = placement.AlignedEnd;
    return h;
}
