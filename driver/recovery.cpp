#include "driver/recovery.h"

#include "driver/trust.h"
#include "platform/format.h"
#include "platform/trace.h"

NbHoldTerminationRequests::NbHoldTerminationRequests(const char* notice) {
    NbHost().HoldTerminationRequests(notice);
}

NbHoldTerminationRequests::~NbHoldTerminationRequests() { NbHost().ReleaseTerminationRequests(); }

NbResult NbRefuseRecord(const char* program, const char* kind, const char* recordName, const std::string& why) {
    NbPrint("%s: The %s [%s] is not acted on: %s. Nothing was changed; if it is not this image's %s, remove it and run "
            "again, else restore the image by hand (see the manual page)\n", program, kind, recordName, why.c_str(), kind);
    return NB_UNTRUSTED_RECORD;
}

void NbPrintManualRestore(const char* program, const std::vector<const NbJournalFile*>& files) {
    NbPrint("%s: To restore the image by hand, for every file: copy its backup over the start of the file, then cut "
            "the file to its length:\n", program);
    for (const NbJournalFile* f : files) {
        NbPrint("%s:   dd if=\"%s.backup\" of=\"%s\" conv=notrunc && truncate -s %I64u \"%s\"\n", program, f->Name.c_str(),
                f->Name.c_str(), f->Length, f->Name.c_str());
        for (const NbSavedRange& r : f->Saved)
            NbPrint("%s:   and put back the %u original bytes at offset %I64u that the journal holds\n", program,
                    static_cast<unsigned>(r.Bytes.size()), r.Offset);
    }
}

namespace {

void PrintManualRestore(const char* program, const NbJournal& journal) {
    std::vector<const NbJournalFile*> files;
    for (const NbJournalFile& f : journal.Files) files.push_back(&f);
    NbPrintManualRestore(program, files);
}

}  // namespace

NbResult NbRecoverUnfinishedRun(const NbRecoveryWords& words, const char* journalName,
                                const std::vector<const char*>& files, bool* restored) {
    const char* program = words.Program;
    bool ignored = false;
    if (restored == nullptr) restored = &ignored;
    *restored = false;
    const auto refuse = [&](const std::string& why) { return NbRefuseRecord(program, "journal", journalName, why); };
    HostFileInfo found;
    NbResult code = NbHost().Inspect(journalName, &found);
    if (code == NB_FILE_NOT_FOUND) return NB_OK;
    std::string why = NbRecordNameDistrust(journalName);
    if (!why.empty()) return refuse(why);
    NbJournal journal;
    HostFileInfo info;
    std::uint32_t format = 0;
    code = NbJournalRead(journalName, &journal, &info, &format);
    if (code == NB_FILE_NOT_FOUND) return NB_OK;
    if (code == NB_NAME_NOT_RESOLVED) return refuse("it is a symbolic link");
    if (code == NB_UNKNOWN_REVISION) {
        NbPrint("%s: The journal [%s] is in format %u, which this converter does not read (it reads formats 2 and %u). "
                "Nothing was changed; run the converter that wrote it, or restore the image by hand (see the manual "
                "page)\n", program, journalName, format, NB_JOURNAL_VERSION);
        return code;
    }
    if (code != NB_OK) {
        NbPrint("%s: The journal [%s] of a conversion that did not finish cannot be read. Error %u. Nothing was "
                "changed\n", program, journalName, code);
        NbPrint("%s: Restore the image from its backups by hand (see the manual page), then remove the journal\n",
                program);
        return code;
    }
    const std::vector<std::uint64_t> owners = NbImageOwners(files);
    std::vector<std::string*> names;
    for (NbJournalFile& f : journal.Files) names.push_back(&f.Name);
    why = NbRecordDistrust(info, owners, names, files);
    if (why.empty()) why = NbBackupsDistrust(files, owners);
    if (!why.empty()) return refuse(why);
    // Every backup is checked before the first file is touched.
    for (const NbJournalFile& f : journal.Files) {
        code = NbJournalCheckBackup(f);
        if (code != NB_OK) {
            NbPrint("%s: %s did not finish, and the backup of [%s] is %s. Error %u. Nothing was changed\n", program,
                    words.Unfinished, f.Name.c_str(),
                    code == NB_FILE_NOT_FOUND ? "missing" : "not the one its journal names", code);
            PrintManualRestore(program, journal);
            return code;
        }
    }
    for (const NbJournalFile& f : journal.Files) {
        code = NbJournalRestore(f, words.RenameWholeBackups);
        if (code != NB_OK) {
            NbPrint("%s: %s did not finish, and [%s] could not be restored from its backup. Error %u\n", program,
                    words.Unfinished, f.Name.c_str(), code);
            PrintManualRestore(program, journal);
            return code;
        }
    }
    code = NbJournalRemove(journalName);
    if (code != NB_OK) {
        NbPrint("%s: The image was restored, but the journal [%s] could not be removed. Error %u\n", program,
                journalName, code);
        return code;
    }
    *restored = true;
    NbPrint("%s: %s\n", program, words.Done);
    return NB_OK;
}
