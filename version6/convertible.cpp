#include "platform/trace.h"
#include "version6/records.h"
#include "version6/version6.h"

NbResult NbCheckConvertible(const ImageParameters& p, std::uint64_t mapBodyBytes, std::uint64_t mapBodyOffset) {
    static const char kName[] = "NbCheckConvertible";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    const auto refuse = [](const char* why, std::uint64_t value, std::uint64_t limit) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u %s (%I64u, limit %I64u)\n", kName, NB_INVALID_DATA, why, value,
                limit);
        return NB_INVALID_DATA;
    };

    DataPlacement data {};
    if (p.BlockSize == 0 || p.DataBlocks == 0 || NbPlaceData(p.BlockSize, p.DataBlocks, &data) != NB_OK)
        NB_RETURN(kName, refuse("Data file has no place for its superblocks", p.DataBlocks, 0xFFFFFFFFull));
    if (p.MetadataAlignment == 0) NB_RETURN(kName, refuse("Metadata alignment is 0", 0, 0));

    const std::uint64_t entries = NbMapTableEntries(p);
    const std::uint64_t checkpointSize = NbMapCheckpointSize(entries);
    if (checkpointSize > 0xFFFFF000ull) NB_RETURN(kName, refuse("Map checkpoint too large", checkpointSize, 0xFFFFF000ull));

    if (p.MapType == 0) {
        if (p.MapDataOffset == 0 || p.MapDataOffset % NB_MAP_PAGE != 0)
            NB_RETURN(kName, refuse("Map data offset is not a whole page behind the header", p.MapDataOffset, NB_MAP_PAGE));
        const std::uint64_t pages = (mapBodyBytes + NB_MAP_PAGE - 1) / NB_MAP_PAGE;
        if (pages > entries) NB_RETURN(kName, refuse("Map file holds more pages than the image size allows", pages, entries));
    } else if (p.MapType == 1) {
        if (p.MapPageSize == 0) NB_RETURN(kName, refuse("Map page size is 0", 0, 0));
        if (p.MapDataOffset < mapBodyOffset)
            NB_RETURN(kName, refuse("Map table begins inside the map header", p.MapDataOffset, mapBodyOffset));
        if (NB_MAP_PAGE_TABLE_OFFSET + static_cast<std::uint64_t>(p.MapTableSize) > checkpointSize)
            NB_RETURN(kName, refuse("Map table does not fit the checkpoint", p.MapTableSize, checkpointSize - NB_MAP_PAGE_TABLE_OFFSET));
        if (static_cast<std::uint64_t>(p.MapDataOffset) + p.MapTableSize > p.MapFileSize)
            NB_RETURN(kName, refuse("Map table lies beyond the end of the map file",
                                    static_cast<std::uint64_t>(p.MapDataOffset) + p.MapTableSize, p.MapFileSize));
    }
    NB_RETURN(kName, NB_OK);
}
