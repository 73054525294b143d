#include "version6/plan.h"

#include <algorithm>

#include "platform/format.h"
#include "platform/names.h"
#include "version6/records.h"
#include "version6/version6.h"

void NbPlanConversion(std::uint32_t version, const ImageParameters& read, NbConversionPlan* plan) {
    *plan = NbConversionPlan {};
    plan->Rewrite = read;
    plan->RelocateMap = version == 2 || version == 3;
    plan->RebuildMapFromBackup = read.MapType == 0;
    if (plan->RelocateMap) {
        NbFollowRelocation(&plan->Rewrite, NB_LEGACY_MAP_DATA_OFFSET, NB_V6_MAP_DATA_OFFSET);
        plan->MapBodyOffset = NB_V6_MAP_DATA_OFFSET;
        plan->MapBodyBytes = read.MapFileSize > NB_LEGACY_MAP_DATA_OFFSET ? read.MapFileSize - NB_LEGACY_MAP_DATA_OFFSET : 0;
        plan->RebuildShift = NB_V6_MAP_DATA_OFFSET - NB_LEGACY_MAP_DATA_OFFSET;
        plan->MapLength = NB_V6_MAP_DATA_OFFSET + plan->MapBodyBytes;
    } else {
        plan->MapBodyBytes = read.MapFileSize > read.MapDataOffset ? read.MapFileSize - read.MapDataOffset : 0;
        plan->MapLength = read.MapFileSize;
    }
    // What else the rewrite writes in a map lies in its head, behind its end
    // (which the revert cuts off), or is saved in the journal.
    plan->WholeMapBackup = plan->RelocateMap || plan->RebuildMapFromBackup;
}

NbResult NbRelocateAsPlanned(const char* mapFileName, const NbConversionPlan& plan) {
    if (!plan.RelocateMap) return NB_OK;
    return NbAdjustDataOffset(mapFileName, NB_LEGACY_MAP_DATA_OFFSET, NB_V6_MAP_DATA_OFFSET, !plan.RebuildMapFromBackup);
}

NbResult NbRewriteAsPlanned(const char* dataFileName, const char* mapFileName, char** metadataFileNames,
                            std::uint32_t metadataFileCount, const NbConversionPlan& plan,
                            const MetadataFileParameters* metadataFileParameters, NbMapPageArea* pages) {
    if (!plan.RebuildMapFromBackup)
        return NbConvertToV6(dataFileName, mapFileName, metadataFileNames, metadataFileCount, &plan.Rewrite,
                             metadataFileParameters, nullptr, pages);
    char backupName[NB_NAME_SIZE];
    NbResult code = NbBackupName(mapFileName, backupName, sizeof backupName);
    if (code == NB_OK && !plan.RelocateMap) code = NbPrepareMapRebuild(mapFileName);
    if (code != NB_OK) return code;
    const NbMapSource source {backupName, plan.RelocateMap ? NB_LEGACY_MAP_DATA_OFFSET : 0, plan.RebuildShift};
    return NbConvertToV6(dataFileName, mapFileName, metadataFileNames, metadataFileCount, &plan.Rewrite,
                         metadataFileParameters, &source, pages);
}

std::vector<NbByteRange> NbPlannedWrites(NbImageFile file, const ImageParameters& p, std::uint64_t fileLength) {
    std::vector<NbByteRange> ranges;
    switch (file) {
    case NbImageFile::Map: {
        ranges.push_back({0, kMapHeaderV6Size});
        const std::uint64_t checkpoint = NbMapCheckpointSize(NbMapTableEntries(p));
        MapPlacement m {};
        if (p.MapType == 0) {
            // Pages move down and the superblocks follow the last one kept:
            // anything from the data offset to the checkpoint's furthest
            // end, which lies furthest when every page is kept.
            const std::uint64_t body = fileLength > p.MapDataOffset ? fileLength - p.MapDataOffset : 0;
            if (NbPlaceMap(p.MapDataOffset + NbRoundUp(body, NB_MAP_PAGE), checkpoint, NB_MAP_PAGE, &m) == NB_OK)
                ranges.push_back({p.MapDataOffset, m.CheckpointOffset + m.CheckpointSize - p.MapDataOffset});
        } else if (NbPlaceMap(p.MapFileSize, checkpoint, p.MapPageSize, &m) == NB_OK) {
            ranges.push_back({m.FirstSuperblockOffset, NB_SUPERBLOCK_BLOCK});
            ranges.push_back({m.SecondSuperblockOffset, NB_SUPERBLOCK_BLOCK});
            ranges.push_back({m.CheckpointOffset, m.CheckpointSize});
        }
        break;
    }
    case NbImageFile::Data: {
        ranges.push_back({0, kDataHeaderV6Size});
        DataPlacement d {};
        if (NbPlaceData(p.BlockSize, p.DataBlocks, &d) != NB_OK) break;
        const std::uint64_t b = p.BlockSize;
        ranges.push_back({d.FirstSuperblockBlock * b, kDataSuperblockSize});
        ranges.push_back({d.SecondSuperblockBlock * b, kDataSuperblockSize});
        ranges.push_back({d.CheckpointBlock * b, d.CheckpointSize});
        break;
    }
    case NbImageFile::Metadata: {
        ranges.push_back({0, kMetadataHeaderV6Size});
        MetadataPlacement m {};
        if (NbPlaceMetadata(fileLength, p.MetadataAlignment, &m) != NB_OK) break;
        ranges.push_back({m.FirstSuperblockOffset, kMetadataSuperblockSize});
        ranges.push_back({m.SecondSuperblockOffset, kMetadataSuperblockSize});
        ranges.push_back({m.CheckpointOffset, NB_METADATA_CHECKPOINT_SIZE});
        break;
    }
    }
    return ranges;
}

std::vector<NbByteRange> NbRangesWithin(const std::vector<NbByteRange>& ranges, std::uint64_t from, std::uint64_t to) {
    std::vector<NbByteRange> out;
    for (const NbByteRange& r : ranges) {
        const std::uint64_t end = r.Length > UINT64_MAX - r.Offset ? UINT64_MAX : r.Offset + r.Length;
        const std::uint64_t begin = std::max(r.Offset, from);
        const std::uint64_t stop = std::min(end, to);
        if (begin < stop) out.push_back({begin, stop - begin});
    }
    std::sort(out.begin(), out.end(), [](const NbByteRange& a, const NbByteRange& b) { return a.Offset < b.Offset; });
    // Overlapping ranges (two records in one partial block) are kept once.
    std::vector<NbByteRange> merged;
    for (const NbByteRange& r : out) {
        if (!merged.empty() && r.Offset <= merged.back().Offset + merged.back().Length) {
            const std::uint64_t end = std::max(merged.back().Offset + merged.back().Length, r.Offset + r.Length);
            merged.back().Length = end - merged.back().Offset;
        } else {
            merged.push_back(r);
        }
    }
    return merged;
}

std::uint64_t NbFurthestWrite(const std::vector<NbByteRange>& ranges) {
    std::uint64_t end = 0;
    for (const NbByteRange& r : ranges) end = std::max(end, r.Offset + r.Length);
    return end;
}
