#include "driver/driver.h"

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "driver/backup.h"
#include "driver/journal.h"
#include "legacy/legacy.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/trace.h"
#include "version6/plan.h"
#include "version6/verify.h"
#include "version6/version6.h"

namespace {

constexpr char kMain[] = "main";
constexpr std::uint32_t kNameSize = 512;
constexpr int kMaxMetadataFiles = 65535;  // the count is 16 bits

// The metadata file names: an array of pointers, each to a buffer of its own,
// null until it exists. Freed, buffers first, when the run ends.
class MetadataNames {
public:
    explicit MetadataNames(std::uint16_t count) : count_(count), names_(new (std::nothrow) char*[count]()) {}
    ~MetadataNames() {
        if (!names_) return;
        for (std::uint16_t i = 0; i < count_; ++i) delete[] names_[i];
    }
    MetadataNames(const MetadataNames&) = delete;
    MetadataNames& operator=(const MetadataNames&) = delete;

    bool Exists() const { return names_ != nullptr; }
    bool AllocateName(std::uint16_t i) { return (names_[i] = new (std::nothrow) char[kNameSize]) != nullptr; }
    char** Array() const { return names_.get(); }
    char* operator[](std::uint16_t i) const { return names_[i]; }

private:
    std::uint16_t count_;
    std::unique_ptr<char*[]> names_;
};

// One exclusive lock on every image file for the whole run, so that a second
// converter (or a disk-image tool that locks) stops before it reads, creates
// or deletes anything. A file that cannot be opened is left to the steps that
// report it; a file named twice is locked once.
class RunLock {
public:
    NbResult Take(const char* name) {
        // A name of a file already held (given twice, or a link to it) is
        // not locked again: the second handle's lock would meet our own.
        {
            CNimbraFile probe;
            HostFileId id;
            if (probe.Create(name, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ_WRITE, 0) != NB_OK) return NB_OK;
            if (probe.Identity(&id) == NB_OK) {
                for (const HostFileId& held : ids_)
                    if (held == id) return NB_OK;
                ids_.push_back(id);
            }
        }
        CNimbraFile& file = files_.emplace_back();
        const NbResult code = file.CreateLocked(name);
        if (code == NB_SHARING_VIOLATION) {
            files_.pop_back();
            return code;
        }
        // Whatever else keeps the lock from being taken (a file that vanished,
        // a file system without such locks) is left to the steps that follow.
        if (code != NB_OK) files_.pop_back();
        return NB_OK;
    }

private:
    std::vector<HostFileId> ids_;
    std::deque<CNimbraFile> files_;  // never moved: each keeps its file open in place
};

NbResult Silent(std::uint32_t, void*, const char*, ...) { return NB_OK; }

// Whether the image is in layout 6 already, asked before any backup is made
// so that such a run changes nothing at all. Quiet: a failure here is
// reported by the steps that follow, in their own words.
bool AlreadyVersion6(const char* mapName, const char* dataName, const char* metadataName) {
    const NbTraceRoutine saved = NbTrace;
    NbTrace = Silent;
    std::uint32_t version = 0;
    const NbResult code = NbConvertGetVersion(dataName, mapName, metadataName, version);
    NbTrace = saved;
    return code == NB_OK && version >= 6;
}

void PrintBackupFailure(const char* fileName, NbResult code) {
    NbPrint("%s: Could not create backup file [%s.backup]. Error %u\nCheck if it already exists\n", kMain, fileName,
            code);
}

void PrintReadFailure(std::uint32_t version, NbResult code) {
    if (version == 4)
        NbPrint("%s: Error while converting. Error %d\n", kMain, code);
    else
        NbPrint("%s: Error while parsing headers. Error %u. No changes to the image were made\n", kMain, code);
}

// How to put a file back by hand, for when the converter cannot.
void PrintManualRestore(const NbJournal& journal) {
    NbPrint("%s: To restore the image by hand, for every file: copy its backup over the start of the file, then cut "
            "the file to its length:\n", kMain);
    for (const NbJournalFile& f : journal.Files) {
        NbPrint("%s:   dd if=\"%s.backup\" of=\"%s\" conv=notrunc && truncate -s %I64u \"%s\"\n", kMain, f.Name.c_str(),
                f.Name.c_str(), f.Length, f.Name.c_str());
        for (const NbSavedRange& r : f.Saved)
            NbPrint("%s:   and put back the %u original bytes at offset %I64u that the journal holds\n", kMain,
                    static_cast<unsigned>(r.Bytes.size()), r.Offset);
    }
}

// Reverts one file from its backup as the journal describes it, and says so.
bool RevertAndReport(const NbJournalFile& entry) {
    const NbResult code = NbJournalRestore(entry);
    if (code == NB_OK)
        NbPrint("%s: File [%s] reverted successfully\n", kMain, entry.Name.c_str());
    else
        NbPrint("%s: File [%s] revertion failed. Error %u. Consider reverting it manually\n", kMain, entry.Name.c_str(),
                code);
    return code == NB_OK;
}

// After the reverts: the journal goes once every file is back, and stays for
// the next run otherwise.
void FinishReverts(bool allReverted, const char* journalName) {
    if (allReverted) {
        if (NbJournalRemove(journalName) != NB_OK)
            NbPrint("%s: Every file was reverted, but the journal [%s] could not be removed; the next run restores "
                    "the image from the backups again\n", kMain, journalName);
        return;
    }
    NbPrint("%s: The journal [%s] is kept: run the same command again to restore the image from the backups\n", kMain,
            journalName);
}

// An earlier run that did not finish left its journal: put every file back
// from its backup before anything else. Returns 0 when there was nothing to
// do or all is restored; otherwise the code to exit with.
NbResult RecoverUnfinishedRun(const char* journalName, RunLock& lock) {
    NbJournal journal;
    NbResult code = NbJournalRead(journalName, &journal);
    if (code == NB_FILE_NOT_FOUND) return NB_OK;
    if (code != NB_OK) {
        NbPrint("%s: The journal [%s] of a conversion that did not finish cannot be read. Error %u. Nothing was "
                "changed\n", kMain, journalName, code);
        NbPrint("%s: Restore the image from its backups by hand (see the manual page), then remove the journal\n", kMain);
        return code;
    }
    for (const NbJournalFile& f : journal.Files) {
        code = lock.Take(f.Name.c_str());
        if (code != NB_OK) {
            NbPrint("%s: File [%s] is in use by another program. Error %u\n", kMain, f.Name.c_str(), code);
            return code;
        }
    }
    // Every backup is checked before the first file is touched.
    for (const NbJournalFile& f : journal.Files) {
        code = NbJournalCheckBackup(f);
        if (code != NB_OK) {
            NbPrint("%s: A conversion did not finish, and the backup of [%s] is %s. Error %u. Nothing was changed\n",
                    kMain, f.Name.c_str(), code == NB_FILE_NOT_FOUND ? "missing" : "not the one its journal names", code);
            PrintManualRestore(journal);
            return code;
        }
    }
    for (const NbJournalFile& f : journal.Files) {
        code = NbJournalRestore(f);
        if (code != NB_OK) {
            NbPrint("%s: A conversion did not finish, and [%s] could not be restored from its backup. Error %u\n", kMain,
                    f.Name.c_str(), code);
            PrintManualRestore(journal);
            return code;
        }
    }
    code = NbJournalRemove(journalName);
    if (code != NB_OK) {
        NbPrint("%s: The image was restored, but the journal [%s] could not be removed. Error %u\n", kMain, journalName,
                code);
        return code;
    }
    NbPrint("%s: A conversion that did not finish was found; every file was restored from its backup\n", kMain);
    return NB_OK;
}

// The journal of this run: every file, its backup and the original bytes the
// rewrite will overwrite that no backup holds.
NbResult DescribeImage(const char* mapName, const char* dataName, const MetadataNames& metadataNames,
                       std::uint16_t count, const NbConversionPlan& plan, NbJournal* journal) {
    std::uint64_t saved = 0;
    const auto describe = [&](const char* name, NbImageFile kind, bool becomesWhole, std::uint64_t backupLength) {
        NbJournalFile entry;
        std::uint64_t length = 0;
        CNimbraFile file;
        NbResult code = file.Create(name, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
        if (code == NB_OK) code = file.Query(&length);
        if (code != NB_OK) return code;
        file.Close();
        // A whole backup holds every original byte; otherwise the planned
        // writes between the head and the file's end are saved.
        if (!becomesWhole)
            for (const NbByteRange& r : NbRangesWithin(NbPlannedWrites(kind, plan.Rewrite, length), backupLength, length)) {
                // Refused before it is held: a header whose block size puts
                // whole blocks of original bytes under the rewrite.
                if (r.Length > NB_JOURNAL_MOST_SAVED - saved) return NB_NOT_ENOUGH_MEMORY;
                saved += r.Length;
                entry.Saved.push_back({r.Offset, std::vector<std::uint8_t>(r.Length)});
            }
        code = NbJournalDescribe(name, becomesWhole, &entry);
        if (code == NB_OK) journal->Files.push_back(std::move(entry));
        return code;
    };
    NbResult code = describe(mapName, NbImageFile::Map, plan.WholeMapBackup, NB_BACKUP_LENGTH);
    if (code == NB_OK) code = describe(dataName, NbImageFile::Data, false, NB_BACKUP_LENGTH);
    for (std::uint16_t i = 0; code == NB_OK && i < count; ++i)
        code = describe(metadataNames[i], NbImageFile::Metadata, false, NB_BACKUP_LENGTH);
    return code;
}

// The reading and changing stages, once every file is named and backed up.
void Convert(const char* mapName, const char* dataName, const MetadataNames& metadataNames, std::uint16_t count,
             MetadataFileParameters* records, const char* journalName) {
    std::uint32_t version = 0;
    NbResult code = NbConvertGetVersion(dataName, mapName, metadataNames[0], version);
    if (code != NB_OK || version == 0) {
        NbPrint("%s: Could not get correct version. Error %u\n", kMain, code);
        return;
    }
    NbPrint("%s: Version of image headers is %d\n", kMain, version);
    if (version >= 6) {
        NbPrint("No conversion is needed\n");
        return;
    }
    NbPrint("%s: Starting conversion.\n", kMain);
    NbPrint("%s: Parsing image headers\n", kMain);

    ImageParameters parameters;
    switch (version) {
    case 2:
        // The layout has one metadata file; records the reader did not fill
        // must never reach the rewrite.
        code = count == 1 ? NbConvertFromV2(dataName, mapName, metadataNames[0], &parameters, records)
                          : NB_INVALID_PARAMETER;
        break;
    case 3: code = NbConvertFromV3(dataName, mapName, metadataNames.Array(), count, &parameters, records); break;
    case 4: code = NbConvertFromV4(dataName, mapName, metadataNames.Array(), count, &parameters, records); break;
    default: NbPrint("%s: That version is unsupported\n", kMain); return;
    }
    NbConversionPlan plan;
    if (code == NB_OK) {
        // Refuse, while nothing is changed yet, an image the rewrite could
        // not place, judged as the rewrite will find the map.
        NbPlanConversion(version, parameters, &plan);
        code = NbCheckConvertible(plan, mapName, dataName, metadataNames.Array(), count);
    }
    if (code != NB_OK) {
        PrintReadFailure(version, code);
        return;
    }

    // Nothing is changed before the journal that undoes it is on the medium.
    NbJournal journal;
    code = DescribeImage(mapName, dataName, metadataNames, count, plan, &journal);
    if (code == NB_OK) code = NbJournalWrite(journalName, journal);
    if (code != NB_OK) {
        NbPrint("%s: Could not write the journal [%s]. Error %u. No changes to the image were made\n", kMain,
                journalName, code);
        return;
    }

    code = NbRelocateAsPlanned(mapName, plan);
    if (code != NB_OK) {
        NbPrint("%s: Error while converting map file %s. Error %d\n", kMain, mapName, code);
        FinishReverts(RevertAndReport(journal.Files[0]), journalName);
        return;
    }
    NbPrint("%s: Image size %d blocks, block size %d\n", kMain, plan.Rewrite.ImageSize, plan.Rewrite.BlockSize);
    NbPrint("%s: Replacing headers with new...\n", kMain);
    code = NbRewriteAsPlanned(dataName, mapName, metadataNames.Array(), count, plan, records);
    // A result that does not verify is a failed rewrite like any other.
    if (code == NB_OK) code = NbVerifyConversion(dataName, mapName, metadataNames.Array(), count);
    if (code == NB_OK) {
        // Converted: the journal's work is done. Should it stay, the next run
        // restores the legacy image and converts it again.
        NbJournalRemove(journalName);
        NbPrint("%s: Finished successfully!\n", kMain);
        return;
    }
    NbPrint("%s: Failed. Error %u. Now reverting to backup\n", kMain, code);
    bool allReverted = true;
    for (const NbJournalFile& entry : journal.Files) allReverted = RevertAndReport(entry) && allReverted;
    FinishReverts(allReverted, journalName);
}

}  // namespace

int NbConvertMain(int argc, char** argv) {
    NbTraceLevel = 1;
    if (argc < 4 || argc - 3 > kMaxMetadataFiles) {
        NbPrint("NimbraConvert.exe <.nbbitmap location> <.nbdata location> <.nbmetadata location> [<.nbmetadata location>]\n");
        NbPrint("NimbraConvert.exe c:\\images\\img c:\\images\\img c:\\images\\img\n");
        NbPrint("NimbraConvert.exe c:\\images\\img c:\\images\\img c:\\images\\img d:\\images\\img\n");
        NbPrint("--- %s %u #1\n", kMain, NB_INVALID_PARAMETER);
        return static_cast<int>(NB_INVALID_PARAMETER);
    }

    char mapName[kNameSize];
    char dataName[kNameSize];
    NbResult code = NbFormatString(mapName, kNameSize, "%s.nbbitmap", argv[1]);
    if (code != NB_OK) {
        NbPrint("%s: Could not create a correct name from [%s.nbbitmap]. Error %u\n", kMain, argv[1], code);
        return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
    }
    // A map file that is a symbolic link stays one: the file it names is
    // converted, and its backups and journal lie beside that file.
    char resolved[kNameSize];
    if (NbFileResolveLink(mapName, resolved, kNameSize) == NB_OK) std::memcpy(mapName, resolved, kNameSize);
    code = NbFormatString(dataName, kNameSize, "%s.nbdata", argv[2]);
    if (code != NB_OK) {
        NbPrint("%s: Could not create a correct name from [%s.nbdata]. Error %u\n", kMain, argv[2], code);
        return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
    }
    const auto count = static_cast<std::uint16_t>(argc - 3);
    std::unique_ptr<MetadataFileParameters[]> records(new (std::nothrow) MetadataFileParameters[count]);
    MetadataNames names(count);
    if (!records || !names.Exists()) {
        NbPrint("%s: Could not allocate memory for %u metadata files\n", kMain, static_cast<unsigned>(count));
        return 0;
    }
    for (std::uint16_t i = 0; i < count; ++i) {
        const char* base = argv[3 + i];
        if (!names.AllocateName(i)) {
            NbPrint("%s: Could not allocate memory for [%s.nbmetadata]\n", kMain, base);
            return 0;
        }
        code = NbFormatString(names[i], kNameSize, "%s.nbmetadata", base);
        if (code != NB_OK) {
            NbPrint("%s: Could not create a correct name from %s. Error %u\n", kMain, names[i], code);
            return 0;
        }
    }

    // Held to the end of the run, taken before anything is read or changed.
    RunLock lock;
    const char* lockOrder[2] = {mapName, dataName};
    for (std::uint32_t i = 0; i < 2u + count; ++i) {
        const char* name = i < 2 ? lockOrder[i] : names[static_cast<std::uint16_t>(i - 2)];
        code = lock.Take(name);
        if (code != NB_OK) {
            NbPrint("%s: File [%s] is in use by another program. Error %u\n", kMain, name, code);
            return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
        }
    }
    char journalName[kNameSize];
    code = NbJournalName(mapName, journalName, kNameSize);
    if (code != NB_OK) {
        NbPrint("%s: Could not create a correct name from [%s.jnl]. Error %u\n", kMain, mapName, code);
        return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
    }
    code = RecoverUnfinishedRun(journalName, lock);
    if (code != NB_OK) return static_cast<int>(NbTraceExit(kMain, __LINE__, code));

    // An image in layout 6 keeps everything, its backups included: they may
    // be the only copy of the legacy image.
    if (AlreadyVersion6(mapName, dataName, names[0])) {
        Convert(mapName, dataName, names, count, records.get(), journalName);
        return 0;
    }

    code = NbConvertCreateBackupFile(mapName, NB_BACKUP_LENGTH);
    if (code != NB_OK) {
        PrintBackupFailure(mapName, code);
        return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
    }
    code = NbConvertCreateBackupFile(dataName, NB_BACKUP_LENGTH);
    if (code != NB_OK) {
        PrintBackupFailure(dataName, code);
        return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
    }
    for (std::uint16_t i = 0; i < count; ++i) {
        code = NbConvertCreateBackupFile(names[i], NB_BACKUP_LENGTH);
        if (code != NB_OK) {
            PrintBackupFailure(names[i], code);
            return 0;
        }
    }
    Convert(mapName, dataName, names, count, records.get(), journalName);
    return 0;
}
