#include "driver/backup.h"

#include <algorithm>

#include "platform/buffer.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/names.h"
#include "platform/trace.h"

namespace {

constexpr std::uint32_t kChunk = 0x10000;

}  // namespace

NbResult NbConvertCreateBackupFile(const char* fileName, std::uint64_t length) {
    static const char kName[] = "NbConvertCreateBackupFile";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbConvertCreateBackupFile\n");
    // A name cut to fit could be the file's own or another image file's, and
    // the existing "backup" under it would be deleted: refuse it first.
    char backupName[NB_NAME_SIZE];
    NbResult code = NbBackupName(fileName, backupName, sizeof backupName);
    if (code != NB_OK) NB_RETURN(kName, code);

    CNimbraBuffer buffer;
    code = buffer.Allocate(kChunk, false);
    if (code != NB_OK) NB_RETURN(kName, code);
    CNimbraFile file, backup;
    code = file.Create(fileName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    if (code != NB_OK) NB_RETURN(kName, code);
    code = backup.CreateReplacing(backupName);  // an older backup is replaced
    if (code != NB_OK) NB_RETURN(kName, code);
    // A copy of private data must be no less private than the data.
    code = backup.TakeOwnershipOf(file);
    if (code != NB_OK) NB_RETURN(kName, code);
    // Three chunks through reads and writes: an in-system copy saves
    // nothing on so few bytes, and its failures would trace otherwise.
    code = NbCopyFileChunks(file, 0, backup, 0, length, buffer);
    if (code != NB_OK) NB_RETURN(kName, code);
    // The backup is the user's way back: it must be on the medium, under its
    // name, before anything writes over the file. The first flush of a new
    // file makes its name durable too.
    code = backup.Flush();
    if (code != NB_OK) NB_RETURN(kName, code);
    (void)file.Close();
    (void)backup.Close();
    (void)buffer.Free();
    NB_RETURN(kName, NB_OK);
}

namespace {

// The revert's copy: the backup over the start of the file (made again from
// a whole backup when it is missing), the saved ranges put back and the
// file's length set, all durable when it returns 0.
[[nodiscard]] NbResult CopyBack(const char* fileName, CNimbraFile& backup, std::uint64_t backupLength, std::uint64_t length,
                  const std::vector<NbSavedRange>& saved) {
    CNimbraBuffer buffer;
    NbResult code = buffer.Allocate(kChunk, false);
    if (code != NB_OK) return code;
    CNimbraFile file;
    code = file.Create(fileName, NB_OPEN_EXISTING, NB_ACCESS_READ_WRITE, NB_SHARE_READ, 0);
    // Only a backup of the whole file can stand in for a file that is gone.
    // Such a backup is the original file itself (or a copy that took its
    // owner and permissions): the file gets them from it, made again or not,
    // for it may be a new map that a run stopped before giving it them.
    if (code == NB_FILE_NOT_FOUND && backupLength == length)
        code = file.Create(fileName, NB_CREATE_NEW, NB_ACCESS_READ_WRITE, NB_SHARE_READ, 0);
    if (code == NB_OK && backupLength == length) code = file.TakeOwnershipOf(backup);
    // A whole map is worth an in-system copy; a head is copied as it was made.
    if (code == NB_OK)
        code = backupLength > NB_BACKUP_LENGTH ? NbCopyFileRange(backup, 0, file, 0, backupLength, buffer)
                                               : NbCopyFileChunks(backup, 0, file, 0, backupLength, buffer);
    for (const NbSavedRange& range : saved) {
        for (std::uint64_t done = 0; done < range.Bytes.size() && code == NB_OK;) {
            const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(range.Bytes.size() - done, kChunk));
            code = file.SeekWrite(range.Offset + done, range.Bytes.data() + done, piece);
            done += piece;
        }
    }
    // What the conversion appended goes; a device keeps its capacity.
    std::uint64_t now = 0;
    if (code == NB_OK) code = file.Query(&now);
    if (code == NB_OK && now != length) code = file.Truncate(length);
    if (code == NB_OK) code = file.Flush();  // a file made again gets its name durable here too
    return code;
}

}  // namespace

NbResult NbConvertRevertFromBackup(const char* fileName, std::uint64_t length, const std::vector<NbSavedRange>& saved,
                                   bool renameWhole) {
    static const char kName[] = "NbConvertRevertFromBackup";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    char backupName[NB_NAME_SIZE];
    NbResult code = NbBackupName(fileName, backupName, sizeof backupName);
    if (code != NB_OK) NB_RETURN(kName, code);
    // A backup as long as the file was, with no original bytes kept
    // elsewhere, is the whole file: for a map the relocation or the rebuild
    // moved the very original there. When the copy cannot be made (a full
    // disk, above all, where the copy would need the space the new map
    // holds), the backup is renamed over the file instead: that needs no
    // space, and the file is never left cut short. The copy comes first, so
    // that the backup stays wherever it can, unless the caller asks for the
    // rename; a rename asked for that does not happen falls back on the copy.
    const auto rename = [&](CNimbraFile& backup, bool* renamed) {
        (void)backup.Close();  // no file stays open under a name a rename replaces
        return NbFileRenameDurably(backupName, fileName, true, renamed);
    };
    CNimbraFile backup;
    code = backup.Create(backupName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    std::uint64_t backupLength = 0;
    if (code == NB_OK) code = backup.Query(&backupLength);
    if (code != NB_OK) NB_RETURN(kName, code);
    const bool whole = backupLength == length && saved.empty();
    bool renamed = false;
    if (renameWhole && whole) {
        code = rename(backup, &renamed);
        if (renamed) NB_RETURN(kName, code);
        NbTrace(NB_TRACE_WARNING, NbTraceContext, "*** %s rename of [%s] over [%s] failed with %u; copying it\n", kName,
                backupName, fileName, code);
        code = backup.Create(backupName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
        if (code != NB_OK) NB_RETURN(kName, code);
        code = CopyBack(fileName, backup, backupLength, length, saved);
        NB_RETURN(kName, code);
    }
    code = CopyBack(fileName, backup, backupLength, length, saved);
    if (code != NB_OK && whole) {
        NbTrace(NB_TRACE_WARNING, NbTraceContext, "*** %s copy over [%s] failed with %u; renaming [%s] over it\n",
                kName, fileName, code, backupName);
        // A rename that fails too leaves the file to the user, who learns
        // why the copy failed.
        const NbResult moved = rename(backup, &renamed);
        if (renamed) code = moved;
        NB_RETURN(kName, code);
    }
    if (code != NB_OK) NB_RETURN(kName, code);
    (void)backup.Close();
    NB_RETURN(kName, NB_OK);
}
