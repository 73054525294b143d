#include "platform/buffer.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/names.h"
#include "platform/progress.h"
#include "platform/trace.h"
#include "version6/records.h"
#include "version6/version6.h"

namespace {

// Renames the map over its backup name, creates the new, empty map file with
// the old one's owner and permissions, and leaves both open.
[[nodiscard]] NbResult SwapInNewMap(const char* kName, const char* mapFileName, const char* backupName, CNimbraFile& target,
                      CNimbraFile& source) {
    // One step from the head backup to the whole previous map under the
    // backup name: at no moment is neither of them there.
    NbResult code = NbFileReplace(mapFileName, backupName);
    if (code != NB_OK) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s NbFileReplace [%s] [%s] returned %u\n", kName, mapFileName,
                backupName, code);
        NB_RETURN(kName, code);
    }
    code = target.Create(mapFileName, NB_CREATE_NEW, NB_ACCESS_WRITE, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = source.Create(backupName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = target.TakeOwnershipOf(source);
    if (code != NB_OK) NB_RETURN(kName, code);
    return NB_OK;
}

// The new map file and both names on the medium before anyone writes over
// the map: the new file's first flush also flushes the folder, which holds
// the old map under its backup name too.
[[nodiscard]] NbResult MakeDurable(const char* kName, CNimbraFile& target) {
    const NbResult code = target.Flush();
    if (code != NB_OK) NB_RETURN(kName, code);
    return NB_OK;
}

}  // namespace

NbResult NbAdjustDataOffset(const char* mapFileName, std::uint64_t oldDataOffset, std::uint64_t newDataOffset,
                            bool moveBody) {
    static const char kName[] = "NbAdjustDataOffset";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbAdjustDataOffset\n");
    char backupName[NB_NAME_SIZE];
    // A cut name could be the map file's own or another file's: never use one.
    NbResult code = NbBackupName(mapFileName, backupName, sizeof backupName);
    if (code != NB_OK) NB_RETURN(kName, code);
    CNimbraFile target, source;
    code = SwapInNewMap(kName, mapFileName, backupName, target, source);
    if (code != NB_OK) return code;
    if (moveBody) {
        std::uint64_t size = 0;
        code = source.Query(&size);
        if (code != NB_OK) NB_RETURN(kName, code);
        // A file shorter than the old offset fails at its first read, as a
        // short read, like any other file cut short.
        const std::uint64_t remaining = size >= oldDataOffset ? size - oldDataOffset : 1;
        CNimbraBuffer buffer;
        code = buffer.Allocate(NB_COPY_RUN, false);
        NbProgressScope progress(remaining, "Moving map");  // the copy advances it
        if (code == NB_OK) code = NbCopyFileRange(source, oldDataOffset, target, newDataOffset, remaining, buffer);
        if (code != NB_OK) NB_RETURN(kName, code);
    }
    code = MakeDurable(kName, target);
    if (code != NB_OK) return code;
    (void)source.Close();
    (void)target.Close();
    NB_RETURN(kName, NB_OK);
}

NbResult NbPrepareMapRebuild(const char* mapFileName) {
    static const char kName[] = "NbPrepareMapRebuild";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    char backupName[NB_NAME_SIZE];
    NbResult code = NbBackupName(mapFileName, backupName, sizeof backupName);
    if (code != NB_OK) NB_RETURN(kName, code);
    CNimbraFile target, source;
    code = SwapInNewMap(kName, mapFileName, backupName, target, source);
    if (code == NB_OK) code = MakeDurable(kName, target);
    if (code != NB_OK) return code;
    (void)source.Close();
    (void)target.Close();
    NB_RETURN(kName, NB_OK);
}

void NbFollowRelocation(ImageParameters* parameters, std::uint64_t oldDataOffset, std::uint64_t newDataOffset) {
    if (parameters->MapType != 1) return;
    const std::uint64_t shift = newDataOffset - oldDataOffset;
    parameters->MapDataOffset = static_cast<std::uint32_t>(parameters->MapDataOffset + shift);
    parameters->MapFileSize += shift;
}
