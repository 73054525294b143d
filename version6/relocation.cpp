#include "platform/buffer.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/progress.h"
#include "platform/trace.h"
#include "version6/records.h"
#include "version6/version6.h"

NbResult NbAdjustDataOffset(const char* mapFileName, std::uint64_t oldDataOffset, std::uint64_t newDataOffset) {
    static const char kName[] = "NbAdjustDataOffset";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbAdjustDataOffset\n");
    char backupName[512];
    // A cut name could be the map file's own or another file's: never use one.
    NbResult code = NbFormatName(backupName, sizeof backupName, "%s.backup", mapFileName);
    if (code != NB_OK) NB_RETURN(kName, code);

    code = NbFileDelete(backupName);
    if (code != NB_OK)
        NbTrace(NB_TRACE_WARNING, NbTraceContext, "*** %s NbFileDelete [%s] returned %u\n", kName, backupName, code);
    code = NbFileRename(mapFileName, backupName);
    if (code != NB_OK) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s NbFileRename [%s] [%s] returned %u\n", kName, mapFileName,
                backupName, code);
        NB_RETURN(kName, code);
    }

    CNimbraFile target, source;
    code = target.Create(mapFileName, NB_CREATE_NEW, NB_ACCESS_WRITE, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = source.Create(backupName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    std::uint64_t size = 0;
    code = source.Query(&size);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = target.Seek(newDataOffset);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = source.Seek(oldDataOffset);
    if (code != NB_OK) NB_RETURN(kName, code);
    // A file shorter than the old offset fails at its first read, as a
    // short read, like any other file cut short.
    std::uint64_t remaining = size >= oldDataOffset ? size - oldDataOffset : 1;

    CNimbraBuffer buffer;
    code = buffer.Allocate(0x10000, false);
    if (code != NB_OK) NB_RETURN(kName, code);
    NbProgressScope progress(remaining, "Moving map");  // NbCopyFileBytes advances it
    code = NbCopyFileBytes(source, target, buffer, remaining);
    if (code != NB_OK) NB_RETURN(kName, code);
    // The whole previous map now lives only under the backup name: make the
    // new file and both names durable before anyone writes over the map.
    code = target.Flush();
    if (code == NB_OK) code = NbFileSyncDirectory(mapFileName);
    if (code != NB_OK) NB_RETURN(kName, code);
    buffer.Free();
    source.Close();
    target.Close();
    NB_RETURN(kName, NB_OK);
}

void NbFollowRelocation(ImageParameters* parameters, std::uint64_t oldDataOffset, std::uint64_t newDataOffset) {
    if (parameters->MapType != 1) return;
    const std::uint64_t shift = newDataOffset - oldDataOffset;
    parameters->MapDataOffset = static_cast<std::uint32_t>(parameters->MapDataOffset + shift);
    parameters->MapFileSize += shift;
}
