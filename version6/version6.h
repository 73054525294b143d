// The version 6 writer: the rewrite of every file's headers, superblocks and
// checkpoints, and the relocation of a layout 2 or 3 map file's body.
#pragma once
#include <cstdint>

#include "legacy/image_parameters.h"
#include "platform/result.h"
#include "version6/plan.h"

inline constexpr std::uint64_t NB_LEGACY_MAP_DATA_OFFSET = 32;
inline constexpr std::uint64_t NB_V6_MAP_DATA_OFFSET = 4096;
// Bulk map work moves runs of this many bytes per call: few calls per MiB,
// and one buffer of a fixed size whatever the map's length.
inline constexpr std::uint32_t NB_COPY_RUN = 0x80000;
// A share costs a call that clones extents (tens of microseconds); a group of
// retained map pages shorter than this is written for less, from the buffer
// it was read into.
inline constexpr std::uint32_t NB_SHARE_FEWEST_PAGES = 16;

// Where a type 0 map's pages come from when they are not compacted in place:
// the whole previous map, kept under the backup name, whose bytes from From
// on belong Shift bytes further back in the new, empty map file.
struct NbMapSource {
    const char* Name;
    std::uint64_t From;
    std::uint64_t Shift;
};

// Rewrites the map file, the data file and every metadata file into layout
// 6. With a source, a type 0 map is built in one pass over the source: every
// retained page written once at its final place, the bytes around them as an
// in-place compaction would leave them. Restores nothing on failure: the
// caller reverts from the backups.
[[nodiscard]] NbResult NbConvertToV6(const char* dataFileName, const char* mapFileName, char** metadataFileNames,
                       std::uint32_t metadataFileCount, const ImageParameters* parameters,
                       const MetadataFileParameters* metadataFileParameters, const NbMapSource* source = nullptr,
                       NbMapPageArea* pages = nullptr);

// Moves the map file's body from oldDataOffset to newDataOffset by renaming
// the file over its backup name and copying the body into a new file; the
// whole previous map file stays as the backup. Without moveBody the new file
// stays empty, for a rewrite that builds it from the backup in one pass.
[[nodiscard]] NbResult NbAdjustDataOffset(const char* mapFileName, std::uint64_t oldDataOffset, std::uint64_t newDataOffset,
                            bool moveBody = true);

// The same swap without a move: the map file goes over its backup name and a
// new, empty map file takes its place, durably.
[[nodiscard]] NbResult NbPrepareMapRebuild(const char* mapFileName);

// After the relocation the table of an extended map lies further back by the
// distance the body moved, and the file is longer by as much: the description
// follows the file so the rewrite finds the table where it now is.
void NbFollowRelocation(ImageParameters* parameters, std::uint64_t oldDataOffset, std::uint64_t newDataOffset);

// Whether the image has a version 6 form at all, checked on the plan before
// anything is changed: the map's type, pages and table must fit the layout,
// every placement its field, no file may be named twice (by identity, not by
// name), and no file may grow by more than NB_GROWTH_LIMIT. Opens every file
// for reading only. 13, with one trace line per reason, when there is none;
// a host failure's code when a file cannot be opened or measured.
inline constexpr std::uint64_t NB_GROWTH_LIMIT = 1ull << 30;
[[nodiscard]] NbResult NbCheckConvertible(const NbConversionPlan& plan, const char* mapFileName, const char* dataFileName,
                            char** metadataFileNames, std::uint32_t metadataFileCount);
