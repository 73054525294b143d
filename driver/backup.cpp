#include "driver/backup.h"

#include "platform/buffer.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/progress.h"
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
    code = file.Seek(0);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = backup.Seek(0);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = NbCopyFileBytes(file, backup, buffer, length);
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

NbResult NbConvertExtendBackupFile(const char* fileName, std::uint64_t length) {
    static const char kName[] = "NbConvertExtendBackupFile";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbConvertExtendBackupFile\n");
    char backupName[512];
    NbResult code = NbFormatName(backupName, sizeof backupName, "%s.backup", fileName);
    if (code != NB_OK) NB_RETURN(kName, code);

    CNimbraBuffer buffer;
    code = buffer.Allocate(kChunk, false);
    if (code != NB_OK) NB_RETURN(kName, code);
    CNimbraFile file, backup;
    code = file.Create(fileName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = backup.Create(backupName, NB_OPEN_EXISTING, NB_ACCESS_WRITE, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    std::uint64_t have = 0;
    code = backup.Query(&have);
    if (code != NB_OK) NB_RETURN(kName, code);
    if (have < length) {
        code = file.Seek(have);
        if (code != NB_OK) NB_RETURN(kName, code);
        code = backup.Seek(have);
        if (code != NB_OK) NB_RETURN(kName, code);
        NbProgressScope progress(length - have, "Backing up map");
        code = NbCopyFileBytes(file, backup, buffer, length - have);
        if (code != NB_OK) NB_RETURN(kName, code);
        code = backup.Flush();
        if (code != NB_OK) NB_RETURN(kName, code);
    }
    file.Close();
    backup.Close();
    buffer.Free();
    NB_RETURN(kName, NB_OK);
}

NbResult NbConvertRevertFromBackup(const char* fileName) {
    static const char kName[] = "NbConvertRevertFromBackup";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbConvertRevertFromBackup\n");
    char backupName[512];
    NbResult code = NbFormatName(backupName, sizeof backupName, "%s.backup", fileName);
    if (code != NB_OK) NB_RETURN(kName, code);

    CNimbraBuffer buffer;
    code = buffer.Allocate(kChunk, false);
    if (code != NB_OK) NB_RETURN(kName, code);
    CNimbraFile backup, file;
    code = backup.Create(backupName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    std::uint64_t length = 0;
    code = backup.Query(&length);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = file.Create(fileName, NB_OPEN_EXISTING, NB_ACCESS_WRITE, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = file.Seek(0);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = backup.Seek(0);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = NbCopyFileBytes(backup, file, buffer, length);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = file.Flush();
    if (code != NB_OK) NB_RETURN(kName, code);
    backup.Close();
    file.Close();
    buffer.Free();
    NB_RETURN(kName, NB_OK);
}
