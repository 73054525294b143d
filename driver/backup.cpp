#include "driver/backup.h"

#include <algorithm>

#include "platform/buffer.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/trace.h"

namespace {

constexpr std::uint32_t kChunk = 0x10000;

}  // namespace

NbResult NbConvertCreateBackupFile(const char* fileName, std::uint64_t length) {
    static const char kName[] = "NbConvertCreateBackupFile";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbConvertCreateBackupFile\n");
    // A name cut to fit could be the file's own or another image file's, and
    // the existing "backup" under it would be deleted: refuse it first.
    char backupName[512];
    NbResult code = NbFormatName(backupName, sizeof backupName, "%s.backup", fileName);
    if (code != NB_OK) NB_RETURN(kName, code);

    CNimbraBuffer buffer;
    code = buffer.Allocate(kChunk, false);
    if (code != NB_OK) NB_RETURN(kName, code);
    CNimbraFile file, backup;
    code = file.Create(fileName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = backup.Create(backupName, NB_CREATE_NEW, NB_ACCESS_WRITE, NB_SHARE_READ, 0);
    if (code == NB_FILE_EXISTS) {
        NbFileDelete(backupName);
        code = backup.Create(backupName, NB_CREATE_NEW, NB_ACCESS_WRITE, NB_SHARE_READ, 0);
    }
    if (code != NB_OK) NB_RETURN(kName, code);
    // A copy of private data must be no less private than the data.
    code = backup.TakeOwnershipOf(file);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = NbCopyFileRange(file, 0, backup, 0, length, buffer);
    if (code != NB_OK) NB_RETURN(kName, code);
    // The backup is the user's way back: it must be on the medium, under its
    // name, before anything writes over the file.
    code = backup.Flush();
    if (code != NB_OK) NB_RETURN(kName, code);
    code = NbFileSyncDirectory(backupName);
    if (code != NB_OK) NB_RETURN(kName, code);
    file.Close();
    backup.Close();
    buffer.Free();
    NB_RETURN(kName, NB_OK);
}

NbResult NbConvertRevertFromBackup(const char* fileName, std::uint64_t length, const std::vector<NbSavedRange>& saved) {
    static const char kName[] = "NbConvertRevertFromBackup";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    char backupName[512];
    NbResult code = NbFormatName(backupName, sizeof backupName, "%s.backup", fileName);
    if (code != NB_OK) NB_RETURN(kName, code);
    CNimbraBuffer buffer;
    code = buffer.Allocate(kChunk, false);
    if (code != NB_OK) NB_RETURN(kName, code);
    CNimbraFile backup, file;
    code = backup.Create(backupName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    std::uint64_t backupLength = 0;
    code = backup.Query(&backupLength);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = file.Create(fileName, NB_OPEN_EXISTING, NB_ACCESS_READ_WRITE, NB_SHARE_READ, 0);
    // Only a backup of the whole file can stand in for a file that is gone;
    // the new file gets the backup's owner and permissions.
    bool created = false;
    if (code == NB_FILE_NOT_FOUND && backupLength == length) {
        code = file.Create(fileName, NB_CREATE_NEW, NB_ACCESS_READ_WRITE, NB_SHARE_READ, 0);
        created = code == NB_OK;
        if (created) code = file.TakeOwnershipOf(backup);
    }
    if (code == NB_OK) code = NbCopyFileRange(backup, 0, file, 0, backupLength, buffer);
    if (code != NB_OK) NB_RETURN(kName, code);
    backup.Close();
    buffer.Free();
    for (const NbSavedRange& range : saved) {
        for (std::uint64_t done = 0; done < range.Bytes.size() && code == NB_OK;) {
            const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(range.Bytes.size() - done, kChunk));
            code = file.SeekWrite(range.Offset + done, range.Bytes.data() + done, piece);
            done += piece;
        }
        if (code != NB_OK) NB_RETURN(kName, code);
    }
    // What the conversion appended goes; a device keeps its capacity.
    std::uint64_t now = 0;
    code = file.Query(&now);
    if (code == NB_OK && now != length) code = file.Truncate(length);
    if (code == NB_OK) code = file.Flush();
    if (code == NB_OK && created) code = NbFileSyncDirectory(fileName);
    if (code != NB_OK) NB_RETURN(kName, code);
    file.Close();
    NB_RETURN(kName, NB_OK);
}
