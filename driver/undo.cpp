#include "driver/undo.h"

#include <cstdint>

#include "driver/backup.h"
#include "driver/recovery.h"
#include "driver/trust.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/names.h"
#include "platform/trace.h"

namespace {

constexpr char kUndo[] = "nbundo";
constexpr char kHoldNotice[] = "nbundo: A request to stop was received; the undo goes on until every file is back\n";
constexpr int kMaxMetadataFiles = 65535;

void AddProblem(NbUndoCheck* check, NbResult code, std::string line) {
    if (check->Code == NB_OK) check->Code = code;
    check->Problems.push_back(std::move(line));
}

// What a record's read gives, in words.
std::string ReadFailure(const char* recordName, NbResult code, std::uint32_t version) {
    if (code == NB_NAME_NOT_RESOLVED)
        return NbText("The undo record [%s] is not acted on: it is a symbolic link", recordName);
    if (code == NB_UNKNOWN_REVISION)
        return NbText("The undo record [%s] is in format %u, which this nbundo does not read (it reads format %u)",
                      recordName, version, NB_UNDO_VERSION);
    if (code == NB_INVALID_DATA) return NbText("The undo record [%s] is damaged", recordName);
    return NbText("The undo record [%s] cannot be read. Error %u", recordName, code);
}

// The record as read and trusted, its names the command line's: the rules
// of the journal (a regular file of this user, root or the image's owner,
// writable by nobody else, naming exactly these files; each backup a
// regular file of such an owner). False, with the reason added, otherwise.
bool ReadTrustedRecord(const std::vector<const char*>& files, NbUndoCheck* check) {
    const char* recordName = check->RecordName.c_str();
    HostFileInfo found;
    NbResult code = NbHost().Inspect(recordName, &found);
    if (code == NB_FILE_NOT_FOUND) {
        AddProblem(check, code, NbText("There is no undo record [%s]: nothing to undo (the image was not converted "
                                       "by this converter, or was undone already)", recordName));
        return false;
    }
    std::string why = NbRecordNameDistrust(recordName);
    if (!why.empty()) {
        AddProblem(check, NB_UNTRUSTED_RECORD, NbText("The undo record [%s] is not acted on: %s", recordName, why.c_str()));
        return false;
    }
    HostFileInfo info;
    std::uint32_t version = 0;
    code = NbUndoRead(recordName, &check->Record, &info, &version);
    if (code != NB_OK) {
        AddProblem(check, code == NB_NAME_NOT_RESOLVED ? NB_UNTRUSTED_RECORD : code,
                   ReadFailure(recordName, code, version));
        return false;
    }
    const std::vector<std::uint64_t> owners = NbImageOwners(files);
    std::vector<std::string*> names;
    for (NbUndoFile& f : check->Record.Files) names.push_back(&f.Original.Name);
    why = NbRecordDistrust(info, owners, names, files);
    if (why.empty()) why = NbBackupsDistrust(files, owners);
    if (!why.empty()) {
        AddProblem(check, NB_UNTRUSTED_RECORD, NbText("The undo record [%s] is not acted on: %s", recordName, why.c_str()));
        return false;
    }
    return true;
}

}  // namespace

void NbCheckUndo(const std::vector<const char*>& files, NbUndoCheck* check) {
    *check = NbUndoCheck {};
    char recordName[NB_NAME_SIZE];
    NbResult code = NbUndoName(files[0], recordName, sizeof recordName);
    if (code != NB_OK) {
        AddProblem(check, code, NbText("Could not create a correct name from [%s.undo]. Error %u", files[0], code));
        return;
    }
    check->RecordName = recordName;
    if (!ReadTrustedRecord(files, check)) return;
    // Every file and every backup is judged, so that each mismatch is named.
    for (const NbUndoFile& f : check->Record.Files) {
        const char* name = f.Original.Name.c_str();
        code = NbJournalCheckBackup(f.Original);
        if (code == NB_FILE_NOT_FOUND)
            AddProblem(check, NB_INVALID_DATA, NbText("The backup [%s.backup] is missing", name));
        else if (code == NB_INVALID_DATA)
            AddProblem(check, code, NbText("The backup [%s.backup] is not the one the undo record names", name));
        else if (code != NB_OK)
            AddProblem(check, code, NbText("The backup [%s.backup] cannot be read. Error %u", name, code));
        std::uint64_t length = 0;
        std::uint32_t crc = 0;
        code = NbFingerprint(name, f.Fingerprinted, &length, &crc);
        if (code == NB_FILE_NOT_FOUND)
            AddProblem(check, NB_INVALID_DATA, NbText("[%s] is missing", name));
        else if (code != NB_OK)
            AddProblem(check, code, NbText("[%s] cannot be read. Error %u", name, code));
        else if (length != f.ConvertedLength)
            AddProblem(check, NB_INVALID_DATA,
                       NbText("[%s] is %llu bytes long, not the %llu the conversion left: it changed since", name,
                              static_cast<unsigned long long>(length),
                              static_cast<unsigned long long>(f.ConvertedLength)));
        else if (crc != f.FingerprintCrc)
            AddProblem(check, NB_INVALID_DATA,
                       NbText("[%s] is not as the conversion left it: it changed since (used in layout 6?)", name));
    }
}

namespace {

// The owner, group and mode each file had before the conversion, where they
// differ now; the first failure's code, each failure said.
[[nodiscard]] NbResult PutOwnershipBack(const NbUndoRecord& record) {
    NbResult first = NB_OK;
    for (const NbUndoFile& f : record.Files) {
        const char* name = f.Original.Name.c_str();
        NbFileObject* object = nullptr;
        HostFileInfo now;
        NbResult code = NbFileObjectCreate(&object, name, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
        if (code == NB_OK) code = NbHost().InspectHandle(object->Handle, &now);
        if (code == NB_OK && (now.Owner != f.Owner || now.Group != f.Group || now.Mode != f.Mode))
            code = NbHost().SetOwnership(object->Handle, f.Owner, f.Group, f.Mode);
        if (object != nullptr) (void)NbFileObjectDestroy(object);
        if (code == NB_OK) continue;
        NbPrint("%s: [%s] holds its legacy bytes again, but could not be given its owner %I64u, group %I64u and mode "
                "%s back. Error %u\n", kUndo, name, f.Owner, f.Group, NbText("%04o", f.Mode).c_str(), code);
        if (first == NB_OK) first = code;
    }
    return first;
}

// After every file is back: the record of a conversion no longer there goes
// (its owners put back first, for a run that stopped before it did), unless
// the run removed it already (recordName null); then every backup renamed
// back over its file is made again from the file, so that each file keeps a
// backup of its legacy head.
[[nodiscard]] NbResult FinishUndo(const std::vector<const char*>& files, const char* recordName) {
    NbResult result = NB_OK;
    HostFileInfo found;
    if (recordName != nullptr && NbHost().Inspect(recordName, &found) != NB_FILE_NOT_FOUND) {
        NbUndoCheck check;
        check.RecordName = recordName;
        if (ReadTrustedRecord(files, &check)) {
            result = PutOwnershipBack(check.Record);
            const NbResult code = NbJournalRemove(recordName);
            if (code != NB_OK) {
                NbPrint("%s: The undo record [%s] could not be removed. Error %u. The image is in its legacy layout; "
                        "remove the record\n", kUndo, recordName, code);
                if (result == NB_OK) result = code;
            }
        } else {
            for (const std::string& line : check.Problems) NbPrint("%s: %s; it is left as it is\n", kUndo, line.c_str());
        }
    }
    for (const char* name : files) {
        char backupName[NB_NAME_SIZE];
        if (NbBackupName(name, backupName, sizeof backupName) != NB_OK) continue;
        // One that may be there (a look that failed) is made again as well:
        // the file is the legacy one, whose head is all a backup holds.
        if (NbHost().Inspect(backupName, &found) == NB_OK) continue;
        const NbResult code = NbConvertCreateBackupFile(name, NB_BACKUP_LENGTH);
        if (code == NB_OK) continue;
        NbPrint("%s: The backup [%s] could not be made again. Error %u. The image is in its legacy layout\n", kUndo,
                backupName, code);
        if (result == NB_OK) result = code;
    }
    return result;
}

[[nodiscard]] NbResult Undo(const std::vector<const char*>& files, const char* journalName, bool dryRun) {
    char recordName[NB_NAME_SIZE];
    NbResult code = NbUndoName(files[0], recordName, sizeof recordName);
    if (code != NB_OK) {
        NbPrint("%s: Could not create a correct name from [%s.undo]. Error %u\n", kUndo, files[0], code);
        return code;
    }
    // A run that did not finish (an undo, or a conversion) is finished first:
    // its journal puts every file back as it was before the conversion. A
    // look that fails tells nothing, and nothing is done on it.
    HostFileInfo found;
    code = NbHost().Inspect(journalName, &found);
    if (code != NB_OK && code != NB_FILE_NOT_FOUND) {
        NbPrint("%s: Whether the journal [%s] of a run that did not finish is there cannot be told. Error %u. Nothing "
                "was changed\n", kUndo, journalName, code);
        return code;
    }
    if (code == NB_OK) {
        if (dryRun) {
            NbPrint("%s: A run that did not finish left the journal [%s]: without --dry-run, nbundo restores every "
                    "file from its backup as the journal says, which gives back the legacy image\n", kUndo, journalName);
            return NB_OK;
        }
        const NbHoldTerminationRequests hold(kHoldNotice);
        static const NbRecoveryWords kRecovery {
            kUndo, "A conversion or an undo",
            "A run that did not finish was found; every file was restored from its backup", true};
        bool restored = false;
        code = NbRecoverUnfinishedRun(kRecovery, journalName, files, &restored);
        if (code != NB_OK) return code;  // the recovery said why
        if (!restored) {
            // Gone between two looks, which no run holding the lock does.
            NbPrint("%s: The journal [%s] went while it was looked at. Nothing was changed\n", kUndo, journalName);
            return NB_FILE_NOT_FOUND;
        }
        code = FinishUndo(files, recordName);
        if (code == NB_OK) NbPrint("%s: The image is in its legacy layout again; its backups are kept\n", kUndo);
        return code;
    }

    NbUndoCheck check;
    NbCheckUndo(files, &check);
    if (check.Code != NB_OK) {
        for (const std::string& line : check.Problems) NbPrint("%s: %s\n", kUndo, line.c_str());
        NbPrint("%s: The image cannot be undone. Nothing was changed\n", kUndo);
        return check.Code;
    }
    if (dryRun) {
        for (const NbUndoFile& f : check.Record.Files)
            NbPrint("%s: [%s] would be put back from [%s.backup]%s: %I64u bytes, owner %I64u, group %I64u, mode %s\n",
                    kUndo, f.Original.Name.c_str(), f.Original.Name.c_str(),
                    f.Original.BackupBecomesWhole ? " (the whole file, by rename)" : "", f.Original.Length, f.Owner,
                    f.Group, NbText("%04o", f.Mode).c_str());
        NbPrint("%s: The image can be undone: every backup and every file is as the undo record names. Nothing was "
                "changed (--dry-run)\n", kUndo);
        return NB_OK;
    }

    const NbHoldTerminationRequests hold(kHoldNotice);
    // Nothing is changed before the journal that finishes the undo is on the
    // medium: from here a crash is finished by the next nbundo (or undone
    // the same way by the converter's next run).
    NbJournal journal;
    for (const NbUndoFile& f : check.Record.Files) journal.Files.push_back(f.Original);
    code = NbJournalWrite(journalName, journal);
    if (code != NB_OK) {
        NbPrint("%s: Could not write the journal [%s]. Error %u. Nothing was changed\n", kUndo, journalName, code);
        return code;
    }
    for (const NbJournalFile& f : journal.Files) {
        code = NbJournalRestore(f, true);
        if (code == NB_OK) {
            NbPrint("%s: File [%s] put back as it was before the conversion\n", kUndo, f.Name.c_str());
            continue;
        }
        NbPrint("%s: File [%s] could not be put back. Error %u\n", kUndo, f.Name.c_str(), code);
        NbPrint("%s: The journal [%s] is kept: run the same command again to finish the undo\n", kUndo, journalName);
        return code;
    }
    // The record goes before the journal, so that no run finds the record
    // of a conversion that is no longer there without the journal that says so.
    NbResult result = PutOwnershipBack(check.Record);
    code = NbJournalRemove(recordName);
    if (code != NB_OK) {
        NbPrint("%s: The undo record [%s] could not be removed. Error %u\n", kUndo, recordName, code);
        NbPrint("%s: The journal [%s] is kept: run the same command again to finish the undo\n", kUndo, journalName);
        return code;
    }
    code = NbJournalRemove(journalName);
    if (code != NB_OK) {
        NbPrint("%s: The journal [%s] could not be removed. Error %u. The image is in its legacy layout; remove the "
                "journal, or the next run puts the same bytes back once more\n", kUndo, journalName, code);
        if (result == NB_OK) result = code;
    }
    code = FinishUndo(files, nullptr);
    if (result == NB_OK) result = code;
    NbPrint("%s: Undone: the image is in its legacy layout again; its backups are kept\n", kUndo);
    return result;
}

}  // namespace

int NbUndoMain(int argc, char** argv) {
    NbTraceLevel = 1;
    NbHost().KeepRunningWhenOutputCloses();
    int first = 1;
    const bool dryRun = argc > 1 && std::string(argv[1]) == "--dry-run";
    if (dryRun) ++first;
    const int bases = argc - first;
    if (bases < 3 || bases - 2 > kMaxMetadataFiles) {
        NbPrint("nbundo [--dry-run] <.nbbitmap location> <.nbdata location> <.nbmetadata location> "
                "[<.nbmetadata location>]\n");
        NbPrint("nbundo c:\\images\\img c:\\images\\img c:\\images\\img\n");
        return static_cast<int>(NbTraceExit(kUndo, __LINE__, NB_INVALID_PARAMETER));
    }
    // The converter's names: a map that is a link stands for its target.
    std::vector<std::string> names(static_cast<std::size_t>(bases));
    char name[NB_NAME_SIZE];
    for (int k = 0; k < bases; ++k) {
        const char* base = argv[first + k];
        const char* extension = k == 0 ? "nbbitmap" : k == 1 ? "nbdata" : "nbmetadata";
        const NbResult code = k == 0 ? NbMapFileName(base, name, sizeof name)
                                     : NbFormatString(name, sizeof name, "%s.%s", base, extension);
        if (code != NB_OK) {
            NbPrint("%s: Could not create a correct name from [%s.%s]. Error %u\n", kUndo, base, extension, code);
            return static_cast<int>(NbTraceExit(kUndo, __LINE__, code));
        }
        names[static_cast<std::size_t>(k)] = name;
    }
    std::vector<const char*> files;
    for (const std::string& n : names) files.push_back(n.c_str());

    NbFilePinScope pins;
    NbRunLock lock;
    for (const char* file : files) {
        const NbResult code = lock.Take(file);
        if (code == NB_FILE_INVALID) {
            NbPrint("%s: File [%s] changed while the run identified it. Error %u. Nothing was changed\n", kUndo, file,
                    code);
            return static_cast<int>(NbTraceExit(kUndo, __LINE__, code));
        }
        if (code != NB_OK) {
            NbPrint("%s: File [%s] is in use by another program. Error %u. Nothing was changed\n", kUndo, file, code);
            return static_cast<int>(NbTraceExit(kUndo, __LINE__, code));
        }
    }
    char journalName[NB_NAME_SIZE];
    NbResult code = NbJournalName(files[0], journalName, sizeof journalName);
    if (code == NB_OK) code = Undo(files, journalName, dryRun);
    else NbPrint("%s: Could not create a correct name from [%s.jnl]. Error %u\n", kUndo, files[0], code);
    return static_cast<int>(NbTraceExit(kUndo, __LINE__, code));
}
