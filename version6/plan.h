// The plan of a conversion, decided from the image description before any
// file changes: whether the map body moves, the description the rewrite then
// works from, and which bytes of each file the rewrite will write. The
// driver, the pre-change check, the journal and the fuzzer all ask here.
#pragma once
#include <cstdint>
#include <vector>

#include "legacy/image_parameters.h"
#include "platform/result.h"

// Where a type 0 map's retained pages lie in the rewritten map, and their CRC
// (the checkpoint's PageCrc): what the fingerprint of the converted map takes
// instead of reading the pages again, which, shared with the backup, are not
// in the page cache of the new map.
struct NbMapPageArea {
    std::uint64_t Offset = 0, Length = 0;
    std::uint32_t Crc = 0;
};

struct NbByteRange {
    std::uint64_t Offset;
    std::uint64_t Length;
};

enum class NbImageFile { Map, Data, Metadata };

struct NbConversionPlan {
    bool RelocateMap = false;     // layouts 2 and 3: the body moves from 32 to 4096
    ImageParameters Rewrite {};   // the description as the rewrite will find the files
    std::uint64_t MapBodyOffset = 0;  // where the map's data may begin once moved (0: not moved)
    std::uint64_t MapBodyBytes = 0;   // the map's bytes behind MapDataOffset, as the rewrite finds them
    std::uint64_t MapLength = 0;      // the map file's length as the rewrite finds it
    // The map file is renamed over its backup name, which then holds the
    // whole previous map, and a new map file is written: for a relocation,
    // and for a type 0 map, whose compacted pages are read from the backup
    // and written once each at their final place.
    bool WholeMapBackup = false;
    bool RebuildMapFromBackup = false;  // the rewrite builds the (type 0) map from the backup
    std::uint64_t RebuildShift = 0;     // how far back the backup's bytes land in the new map
};

// version is the detected layout (2, 3 or 4).
void NbPlanConversion(std::uint32_t version, const ImageParameters& read, NbConversionPlan* plan);

// The changing steps of the plan, in the order the driver reports them: the
// relocation of a layout 2 or 3 map (a type 0 map's body is not copied here,
// the rewrite builds it), then the rewrite, which for a type 0 map first
// swaps the whole map in as its backup when no relocation did.
[[nodiscard]] NbResult NbRelocateAsPlanned(const char* mapFileName, const NbConversionPlan& plan);
[[nodiscard]] NbResult NbRewriteAsPlanned(const char* dataFileName, const char* mapFileName, char** metadataFileNames,
                            std::uint32_t metadataFileCount, const NbConversionPlan& plan,
                            const MetadataFileParameters* metadataFileParameters, NbMapPageArea* pages = nullptr);

// Every byte range that the rewrite may write in one file of the image, given
// the description the rewrite works from and the file's length before it (a
// type 0 map's compaction is given as everything from MapDataOffset to the
// end of the checkpoint as it lies when no page is dropped: pages only move
// down, so the superblocks and the checkpoint lie no further back).
std::vector<NbByteRange> NbPlannedWrites(NbImageFile file, const ImageParameters& rewrite, std::uint64_t fileLength);

// The part of the planned writes that lies in [from, to): original bytes that
// a revert must put back and that no backup of that length holds.
std::vector<NbByteRange> NbRangesWithin(const std::vector<NbByteRange>& ranges, std::uint64_t from, std::uint64_t to);

// The end of the furthest of the ranges.
std::uint64_t NbFurthestWrite(const std::vector<NbByteRange>& ranges);
