#include <cstring>

#include "platform/buffer.h"
#include "platform/checksum.h"
#include "platform/endian.h"
#include "platform/file.h"
#include "platform/progress.h"
#include "platform/trace.h"
#include "version6/records.h"
#include "version6/version6.h"

namespace {

constexpr char kName[] = "NbConvertToV6";

bool PageIsUnused(const std::uint8_t* page) {
    for (std::uint32_t i = 0; i < NB_MAP_PAGE; i += 8) {
        std::uint64_t v;
        std::memcpy(&v, page + i, sizeof v);
        if (v != ~0ull) return false;
    }
    return true;
}

void FillCheckpointHead(std::uint8_t* bytes, const NbSignature& signature, std::uint32_t headerValue) {
    CheckpointHead head {};
    head.Signature = signature;
    head.HeaderValue = headerValue;
    EncodeRecord(head, bytes, kDataCheckpointHeadSize);
}

}  // namespace

NbResult NbConvertToV6(const char* dataFileName, const char* mapFileName, char** metadataFileNames,
                       std::uint32_t metadataFileCount, const ImageParameters* parameters,
                       const MetadataFileParameters* metadataFileParameters) {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbConvertToV6\n");
    if (dataFileName == nullptr || mapFileName == nullptr || metadataFileNames == nullptr ||
        metadataFileParameters == nullptr || metadataFileCount == 0 || parameters == nullptr) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s One of the parameters is NULL [0x%p 0x%p 0x%p 0x%p %d]\n", kName,
                dataFileName, mapFileName, static_cast<void*>(metadataFileNames),
                static_cast<const void*>(metadataFileParameters), static_cast<int>(metadataFileCount));
        NB_RETURN(kName, NB_INVALID_PARAMETER);
    }
    const ImageParameters& p = *parameters;
    // No placement exists for these; refuse before anything is written.
    if (p.BlockSize == 0 || p.MetadataAlignment == 0 || (p.MapType == 1 && p.MapPageSize == 0)) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Cannot place records with block size %u, alignment %u, map page size %u\n",
                kName, NB_INVALID_PARAMETER, p.BlockSize, p.MetadataAlignment, p.MapPageSize);
        NB_RETURN(kName, NB_INVALID_PARAMETER);
    }
    DataPlacement data {};
    if (NbPlaceData(p.BlockSize, p.DataBlocks, &data) != NB_OK) NB_RETURN(kName, NB_INVALID_PARAMETER);

    CNimbraFile file;
    NbResult code = file.Create(mapFileName, NB_OPEN_EXISTING, NB_ACCESS_READ_WRITE, NB_SHARE_READ_WRITE, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    if (p.MapType != 0 && p.MapType != 1) NB_RETURN(kName, NB_INVALID_PARAMETER);

    const std::uint64_t entries = NbMapTableEntries(p);
    const std::uint64_t checkpointSize64 = NbMapCheckpointSize(entries);
    if (checkpointSize64 > 0xFFFFF000ull) NB_RETURN(kName, NB_INVALID_PARAMETER);
    const auto checkpointSize = static_cast<std::uint32_t>(checkpointSize64);
    std::uint64_t superblock = 0;  // S
    std::uint64_t mapEnd = 0;      // the superblocks' MapEndOffset
    {
        CNimbraBuffer checkpoint;
        code = checkpoint.Allocate(checkpointSize, true);
        if (code != NB_OK) NB_RETURN(kName, code);
        MapCheckpointHead head {};
        head.Signature = kMapCheckpointSignature;
        head.HeaderValue = NB_MAP_CHECKPOINT_HEADER_VALUE;
        head.TableValue = NB_MAP_CHECKPOINT_TABLE_VALUE;
        std::uint8_t* table = checkpoint.Data + NB_MAP_PAGE_TABLE_OFFSET;

        if (p.MapType == 0) {
            // Compaction: drop pages whose every entry is 0xFFFFFFFF, move the
            // rest down over the gaps, and note each page's new place.
            CNimbraBuffer page;
            code = page.Allocate(NB_MAP_PAGE, false);
            if (code != NB_OK) NB_RETURN(kName, code);
            std::uint64_t fileSize = 0;
            code = file.Query(&fileSize);
            if (code != NB_OK) NB_RETURN(kName, code);
            NbProgressScope progress(fileSize > p.MapDataOffset ? fileSize - p.MapDataOffset : 0, "Compacting map");
            std::memset(table, 0xFF, 4 * entries);
            std::uint64_t readAt = p.MapDataOffset, writeAt = p.MapDataOffset;
            for (std::uint64_t i = 0; readAt < fileSize; ++i, readAt += NB_MAP_PAGE) {
                if (i >= entries) {
                    NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Map page %I64u lies beyond the %I64u pages of the image\n",
                            kName, NB_INVALID_DATA, i, entries);
                    NB_RETURN(kName, NB_INVALID_DATA);
                }
                code = file.SeekRead(readAt, page.Data, NB_MAP_PAGE, nullptr);
                if (code != NB_OK) NB_RETURN(kName, code);
                NbProgressAdvance(NB_MAP_PAGE);
                if (PageIsUnused(page.Data)) continue;
                if (writeAt < readAt) {
                    code = file.SeekWrite(writeAt, page.Data, NB_MAP_PAGE);
                    if (code != NB_OK) NB_RETURN(kName, code);
                }
                head.PageCrc = NbCrc32Update(page.Data, NB_MAP_PAGE, head.PageCrc);
                ++head.PageCount;
                PutLe32(table, 4 * i, static_cast<std::uint32_t>(writeAt / NB_MAP_PAGE));
                writeAt += NB_MAP_PAGE;
            }
            superblock = NbRoundUp(writeAt, NB_64K);
            mapEnd = superblock + 2 * NB_64K + checkpointSize;
        } else {
            superblock = NbRoundUp(p.MapFileSize, NB_64K);
            mapEnd = NbRoundUp(superblock + 2 * NB_64K + checkpointSize, p.MapPageSize);
            if (NB_MAP_PAGE_TABLE_OFFSET + static_cast<std::uint64_t>(p.MapTableSize) > checkpointSize) {
                NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Map table of %u bytes does not fit the checkpoint\n",
                        kName, NB_INVALID_DATA, p.MapTableSize);
                NB_RETURN(kName, NB_INVALID_DATA);
            }
            code = file.SeekRead(p.MapDataOffset, table, p.MapTableSize, nullptr);
            if (code != NB_OK) NB_RETURN(kName, code);
        }
        // The head ends where the page table begins, so encoding it leaves the table be.
        EncodeRecord(head, checkpoint.Data, kMapCheckpointHeadSize);
        NbSealCheckpoint(checkpoint.Data, checkpointSize, kMapCheckpointCrcOffset);
        code = file.SeekWrite(superblock + 2 * NB_64K, checkpoint.Data, checkpointSize);
        if (code != NB_OK) NB_RETURN(kName, code);
    }

    // Held to the end: the map superblock block, then the data checkpoint.
    CNimbraBuffer block;
    code = block.Allocate(NB_SUPERBLOCK_BLOCK, true);
    if (code != NB_OK) NB_RETURN(kName, code);
    EncodeRecord(NbMakeMapSuperblock(superblock + 2 * NB_64K, checkpointSize, mapEnd), block.Data, kMapSuperblockSize);
    NbSealCrc(block.Data, kMapSuperblockSize, kMapSuperblockCrcOffset);
    code = file.SeekWrite(superblock, block.Data, NB_SUPERBLOCK_BLOCK);
    if (code == NB_OK) code = file.SeekWrite(superblock + NB_64K, block.Data, NB_SUPERBLOCK_BLOCK);
    if (code != NB_OK) NB_RETURN(kName, code);
    std::uint8_t header[kMapHeaderV6Size];
    EncodeRecord(NbMakeMapHeader(p, superblock), header, kMapHeaderV6Size);
    code = file.SeekWrite(0, header, kMapHeaderV6Size);
    if (code == NB_OK) code = file.Flush();
    if (code != NB_OK) NB_RETURN(kName, code);
    file.Close();

    code = file.Create(dataFileName, NB_OPEN_EXISTING, NB_ACCESS_READ_WRITE, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    const std::uint64_t b = p.BlockSize;
    CNimbraBuffer dataCheckpoint;
    code = dataCheckpoint.Allocate(data.CheckpointSize, true);
    if (code != NB_OK) NB_RETURN(kName, code);
    FillCheckpointHead(dataCheckpoint.Data, kDataCheckpointSignature, NB_DATA_CHECKPOINT_HEADER_VALUE);
    NbSealCheckpoint(dataCheckpoint.Data, data.CheckpointSize, kCheckpointCrcOffset);
    code = file.SeekWrite(data.CheckpointBlock * b, dataCheckpoint.Data, data.CheckpointSize);
    if (code != NB_OK) NB_RETURN(kName, code);
    std::memset(dataCheckpoint.Data, 0, data.CheckpointSize);
    EncodeRecord(NbMakeDataSuperblock(data), dataCheckpoint.Data, kDataSuperblockSize);
    NbSealCrc(dataCheckpoint.Data, kDataSuperblockSize, kDataSuperblockCrcOffset);
    code = file.SeekWrite(data.FirstSuperblockBlock * b, dataCheckpoint.Data, kDataSuperblockSize);
    if (code == NB_OK) code = file.SeekWrite(data.SecondSuperblockBlock * b, dataCheckpoint.Data, kDataSuperblockSize);
    if (code != NB_OK) NB_RETURN(kName, code);
    EncodeRecord(NbMakeDataHeader(p, data), header, kDataHeaderV6Size);
    code = file.SeekWrite(0, header, kDataHeaderV6Size);
    if (code == NB_OK) code = file.Flush();
    if (code != NB_OK) NB_RETURN(kName, code);

    for (std::uint32_t i = 0; i < metadataFileCount; ++i) {
        file.Close();
        code = file.Create(metadataFileNames[i], NB_OPEN_EXISTING, NB_ACCESS_READ_WRITE, NB_SHARE_READ, 0);
        if (code != NB_OK) NB_RETURN(kName, code);
        std::uint64_t size = 0;
        code = file.Query(&size);
        if (code != NB_OK) NB_RETURN(kName, code);
        MetadataPlacement place {};
        NbPlaceMetadata(size, p.MetadataAlignment, &place);

        CNimbraBuffer checkpoint;
        code = checkpoint.Allocate(NB_METADATA_CHECKPOINT_SIZE, true);
        if (code != NB_OK) NB_RETURN(kName, code);
        FillCheckpointHead(checkpoint.Data, kMetadataCheckpointSignature, NB_METADATA_CHECKPOINT_HEADER_VALUE);
        NbSealCheckpoint(checkpoint.Data, NB_METADATA_CHECKPOINT_SIZE, kCheckpointCrcOffset);
        code = file.SeekWrite(place.CheckpointOffset, checkpoint.Data, NB_METADATA_CHECKPOINT_SIZE);
        if (code != NB_OK) NB_RETURN(kName, code);

        std::uint8_t superblockBytes[kMetadataSuperblockSize];
        EncodeRecord(NbMakeMetadataSuperblock(metadataFileParameters[i], place), superblockBytes, kMetadataSuperblockSize);
        NbSealCrc(superblockBytes, kMetadataSuperblockSize, kMetadataSuperblockCrcOffset);
        code = file.SeekWrite(place.FirstSuperblockOffset, superblockBytes, kMetadataSuperblockSize);
        if (code == NB_OK) code = file.SeekWrite(place.SecondSuperblockOffset, superblockBytes, kMetadataSuperblockSize);
        if (code != NB_OK) NB_RETURN(kName, code);
        EncodeRecord(NbMakeMetadataHeader(p, metadataFileParameters[i], place), header, kMetadataHeaderV6Size);
        code = file.SeekWrite(0, header, kMetadataHeaderV6Size);
        if (code == NB_OK) code = file.Flush();
        if (code != NB_OK) NB_RETURN(kName, code);
        checkpoint.Free();
    }
    NbTraceExit(kName, __LINE__, NB_OK);
    file.Close();
    return NB_OK;
}
