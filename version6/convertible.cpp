#include <map>
#include <utility>

#include "platform/file.h"
#include "platform/host.h"
#include "platform/trace.h"
#include "version6/records.h"
#include "version6/version6.h"

namespace {

constexpr char kName[] = "NbCheckConvertible";

// Each reason is given, so that every one of them is known, not only the first.
struct Refusals {
    bool any = false;
    void operator()(const char* why, std::uint64_t value, std::uint64_t limit) {
        NbRefuse(NB_TRACE_ERROR, kName, NB_INVALID_DATA, "%s (%I64u, limit %I64u)", why, value, limit);
        any = true;
    }
};

// What the image description alone tells.
void CheckPlacements(const NbConversionPlan& plan, Refusals& refuse) {
    const ImageParameters& p = plan.Rewrite;
    DataPlacement data {};
    if (p.BlockSize == 0 || p.DataBlocks == 0 || NbPlaceData(p.BlockSize, p.DataBlocks, &data) != NB_OK)
        refuse("Data file has no place for its superblocks", p.DataBlocks, 0xFFFFFFFFull);
    if (p.MetadataAlignment == 0) refuse("Metadata alignment is 0", 0, 0);
    if (p.MapType != 0 && p.MapType != 1) return refuse("Map type is neither 0 nor 1", p.MapType, 1);

    const std::uint64_t entries = NbMapTableEntries(p);
    const std::uint64_t checkpointSize = NbMapCheckpointSize(entries);
    if (checkpointSize > 0xFFFFF000ull) refuse("Map checkpoint too large", checkpointSize, 0xFFFFF000ull);
    if (p.MapType == 0) {
        if (p.MapDataOffset == 0 || p.MapDataOffset % NB_MAP_PAGE != 0)
            refuse("Map data offset is not a whole page behind the header", p.MapDataOffset, NB_MAP_PAGE);
        if (p.MapDataOffset > plan.MapLength)
            refuse("Map data offset lies beyond the end of the map file", p.MapDataOffset, plan.MapLength);
        // The compaction reads whole pages: a part of one at the end has no place in the table.
        if (plan.MapBodyBytes % NB_MAP_PAGE != 0)
            refuse("Map does not end on a whole page behind its data offset", plan.MapBodyBytes, NB_MAP_PAGE);
        const std::uint64_t pages = (plan.MapBodyBytes + NB_MAP_PAGE - 1) / NB_MAP_PAGE;
        if (pages > entries) refuse("Map file holds more pages than the image size allows", pages, entries);
        return;
    }
    if (p.MapPageSize == 0) refuse("Map page size is 0", 0, 0);
    // Neither the old header nor the new 838 bytes may hold the table.
    const std::uint64_t firstFree = plan.MapBodyOffset > kMapHeaderV6Size ? plan.MapBodyOffset : kMapHeaderV6Size;
    if (p.MapDataOffset < firstFree) refuse("Map table begins inside the map header", p.MapDataOffset, firstFree);
    if (NB_MAP_PAGE_TABLE_OFFSET + static_cast<std::uint64_t>(p.MapTableSize) > checkpointSize)
        refuse("Map table does not fit the checkpoint", p.MapTableSize, checkpointSize - NB_MAP_PAGE_TABLE_OFFSET);
    if (static_cast<std::uint64_t>(p.MapDataOffset) + p.MapTableSize > p.MapFileSize)
        refuse("Map table lies beyond the end of the map file", static_cast<std::uint64_t>(p.MapDataOffset) + p.MapTableSize,
               p.MapFileSize);
}

}  // namespace

NbResult NbCheckConvertible(const NbConversionPlan& plan, const char* mapFileName, const char* dataFileName,
                            char** metadataFileNames, std::uint32_t metadataFileCount) {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    Refusals refuse;
    CheckPlacements(plan, refuse);

    // Every file once, by what it is rather than by its name: a file named
    // twice would be converted twice. And each file's growth stays bounded,
    // so no header value makes the work unbounded.
    std::map<std::pair<std::uint64_t, std::uint64_t>, const char*> seen;
    for (std::uint32_t i = 0; i < 2 + metadataFileCount; ++i) {
        const char* name = i == 0 ? mapFileName : i == 1 ? dataFileName : metadataFileNames[i - 2];
        CNimbraFile file;
        NbResult code = file.Create(name, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
        std::uint64_t size = 0;
        HostFileId id {};
        if (code == NB_OK) code = file.Query(&size);
        if (code == NB_OK) code = NbHost().Identity(file.Object()->Handle, &id);
        if (code != NB_OK) NB_RETURN(kName, code);
        (void)file.Close();
        const auto [at, fresh] = seen.emplace(std::pair {id.Volume, id.Index}, name);
        if (!fresh) {
            NbRefuse(NB_TRACE_ERROR, kName, NB_INVALID_DATA, "File [%s] is the same file as [%s]", name, at->second);
            refuse.any = true;
            continue;
        }
        const NbImageFile kind = i == 0 ? NbImageFile::Map : i == 1 ? NbImageFile::Data : NbImageFile::Metadata;
        const std::uint64_t end = NbFurthestWrite(NbPlannedWrites(kind, plan.Rewrite, i == 0 ? plan.MapLength : size));
        if (end > size + NB_GROWTH_LIMIT) {
            NbRefuse(NB_TRACE_ERROR, kName, NB_INVALID_DATA, "Layout 6 form of file [%s] grows it by %I64u bytes (limit %I64u)",
                     name, end - size, NB_GROWTH_LIMIT);
            refuse.any = true;
        }
    }
    NB_RETURN(kName, refuse.any ? NB_INVALID_DATA : NB_OK);
}
