#include "driver/driver.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "driver/backup.h"
#include "driver/journal.h"
#include "driver/recovery.h"
#include "driver/trust.h"
#include "legacy/legacy.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/names.h"
#include "platform/trace.h"
#include "version6/plan.h"
#include "version6/reading.h"
#include "version6/verify.h"
#include "version6/version6.h"

namespace {

constexpr char kMain[] = "main";
constexpr std::uint32_t kNameSize = NB_NAME_SIZE;
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

// The image's files in the run's order: the map, the data file, then every
// metadata file.
struct ImageNames {
    std::vector<const char*> Files;
    std::vector<NbLegacyFile> Kinds;
};

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

// Whether every byte of the backup is the file's byte at the same offset, so
// that replacing it loses nothing. 0 and *same when it is; the code of a
// failed open or read otherwise. Quiet: the caller reports.
[[nodiscard]] NbResult BackupIsPrefixOf(const char* name, const char* backupName, bool* same) {
    *same = false;
    NbFileObject *file = nullptr, *backup = nullptr;
    NbResult code = NbFileObjectCreate(&file, name, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    if (code == NB_OK)
        code = NbFileObjectCreate(&backup, backupName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, NB_FLAG_NO_FOLLOW);
    std::uint64_t fileLength = 0, backupLength = 0;
    if (code == NB_OK) code = NbFileObjectQuery(file, &fileLength);
    if (code == NB_OK) code = NbFileObjectQuery(backup, &backupLength);
    if (code == NB_OK && backupLength <= fileLength) {
        constexpr std::uint32_t kPiece = 0x10000;
        std::vector<std::uint8_t> a(kPiece), b(kPiece);
        bool equal = true;
        for (std::uint64_t at = 0; code == NB_OK && equal && at < backupLength; at += kPiece) {
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kPiece, backupLength - at));
            code = NbFileObjectReadAt(file, at, a.data(), n, nullptr);
            if (code == NB_OK) code = NbFileObjectReadAt(backup, at, b.data(), n, nullptr);
            equal = code == NB_OK && std::memcmp(a.data(), b.data(), n) == 0;
        }
        *same = code == NB_OK && equal;
    }
    if (backup != nullptr) (void)NbFileObjectDestroy(backup);
    if (file != nullptr) (void)NbFileObjectDestroy(file);
    return code;
}

// A backup found beside a file may be the only copy of the legacy file (a
// mistyped rerun after a success, a rerun after a crash whose journal was
// removed): it is replaced only when it is provably redundant, its file
// still holding a legacy header and every byte the backup holds, and every
// other named file existing. Asked before any change.
[[nodiscard]] NbResult CheckBackupsMayBeReplaced(const ImageNames& image) {
    Host& host = NbHost();
    for (std::size_t i = 0; i < image.Files.size(); ++i) {
        const char* name = image.Files[i];
        // A name that does not fit is refused by the backup step, and what
        // is not a file (a folder under the name) is the backup's to report.
        char backupName[NB_NAME_SIZE];
        HostFileInfo info;
        if (NbBackupName(name, backupName, sizeof backupName) != NB_OK) continue;
        const NbResult found = host.Inspect(backupName, &info);
        if (found == NB_FILE_NOT_FOUND || (found == NB_OK && !info.Regular && !info.Link)) continue;
        bool legacy = false;
        const NbResult code = NbFileHoldsLegacyHeader(name, image.Kinds[i], &legacy);
        std::string why;
        if (code == NB_FILE_NOT_FOUND) why = NbText("[%s] is missing", name);
        else if (code != NB_OK) why = NbText("[%s] cannot be read (error %u)", name, code);
        else if (!legacy) why = NbText("[%s] holds no legacy header (converted, or partly converted)", name);
        bool same = false;
        if (why.empty() && BackupIsPrefixOf(name, backupName, &same) == NB_OK && !same)
            why = NbText("[%s] no longer holds every byte the backup holds", name);
        else if (why.empty() && !same)
            why = NbText("the backup cannot be compared with [%s]", name);
        for (std::size_t j = 0; why.empty() && j < image.Files.size(); ++j)
            if (j != i && host.Inspect(image.Files[j], &info) == NB_FILE_NOT_FOUND)
                why = NbText("[%s] is missing", image.Files[j]);
        if (why.empty()) continue;
        NbPrint("%s: The backup [%s] is kept, as it may be the only copy of the legacy file: %s. No changes to the "
                "image were made\n", kMain, backupName, why.c_str());
        NbPrint("%s: Check the names on the command line. To convert anyway, move the backup out of the way first; "
                "to get the legacy file back, see the manual page\n", kMain);
        return NB_ALREADY_EXISTS;
    }
    return NB_OK;
}

// Every file the run will change must be writable, found out while nothing
// is changed yet. A file that is missing is left to its backup's step.
[[nodiscard]] NbResult CheckWritable(const ImageNames& image) {
    for (const char* name : image.Files) {
        // What cannot even be read (missing, a folder) is the backup's to report.
        NbFileObject* object = nullptr;
        if (NbFileObjectCreate(&object, name, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0) != NB_OK) continue;
        (void)NbFileObjectDestroy(object);
        object = nullptr;
        const NbResult code = NbFileObjectCreate(&object, name, NB_OPEN_EXISTING, NB_ACCESS_READ_WRITE, NB_SHARE_READ, 0);
        if (code == NB_OK) (void)NbFileObjectDestroy(object);
        if (code == NB_OK) continue;
        NbPrint("%s: File [%s] cannot be written. Error %u. No changes to the image were made\n", kMain, name, code);
        return code;
    }
    return NB_OK;
}

// The journal of this run: every file, its backup and the original bytes the
// rewrite will overwrite that no backup holds; and, for the undo record, each
// file's owner, group and mode before anything changed.
[[nodiscard]] NbResult DescribeImage(const NbImageNames& image, const NbConversionPlan& plan, NbJournal* journal,
                                     std::vector<HostFileInfo>* before) {
    std::uint64_t saved = 0;
    const auto describe = [&](const char* name, NbImageFile kind, bool becomesWhole, std::uint64_t backupLength) {
        NbJournalFile entry;
        CNimbraFile file;
        HostFileInfo info;
        NbResult code = file.Create(name, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
        if (code == NB_OK) code = NbHost().InspectHandle(file.Object()->Handle, &info);
        if (code == NB_OK) code = file.Query(&entry.Length);
        if (code != NB_OK) return code;
        const std::uint64_t length = entry.Length;
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
        code = NbJournalDescribe(file, name, becomesWhole, &entry);
        if (code == NB_OK) journal->Files.push_back(std::move(entry));
        if (code == NB_OK) before->push_back(info);
        return code;
    };
    NbResult code = describe(image.Map, NbImageFile::Map, plan.WholeMapBackup, NB_BACKUP_LENGTH);
    if (code == NB_OK) code = describe(image.Data, NbImageFile::Data, false, NB_BACKUP_LENGTH);
    for (std::uint16_t i = 0; code == NB_OK && i < image.MetadataCount; ++i)
        code = describe(image.Metadata[i], NbImageFile::Metadata, false, NB_BACKUP_LENGTH);
    return code;
}

// The undo record of a finished conversion: the journal's entries, each
// file's owner, group and mode before the conversion, and the fingerprint of
// every byte an undo would put back or cut, taken from the files as they now
// are: the whole map; of the other files, the head the backup holds, the
// ranges the rewrite wrote, and all behind the original end. A change the
// image went through since, anywhere an undo would write, stops the undo.
[[nodiscard]] NbResult KeepUndoRecord(const NbConversionPlan& plan, const NbJournal& journal,
                                      const std::vector<HostFileInfo>& before, const char* recordName,
                                      const NbMapPageArea& pages) {
    NbUndoRecord record;
    for (std::size_t k = 0; k < journal.Files.size(); ++k) {
        const NbJournalFile& entry = journal.Files[k];
        NbUndoFile f;
        f.Original = entry;
        f.Owner = before[k].Owner;
        f.Group = before[k].Group;
        f.Mode = before[k].Mode;
        const NbImageFile kind = k == 0 ? NbImageFile::Map : k == 1 ? NbImageFile::Data : NbImageFile::Metadata;
        std::vector<NbByteRange> ranges {{0, UINT64_MAX}};
        if (kind != NbImageFile::Map) {
            ranges = NbPlannedWrites(kind, plan.Rewrite, entry.Length);
            ranges.push_back({0, entry.BackupLength});
            ranges.push_back({entry.Length, UINT64_MAX - entry.Length});
        }
        f.Fingerprinted = NbRangesWithin(ranges, 0, UINT64_MAX);
        // The map's retained pages by the CRC the rewrite summed as it read them.
        const NbResult code = NbFingerprint(entry.Name.c_str(), f.Fingerprinted, &f.ConvertedLength, &f.FingerprintCrc,
                                            kind == NbImageFile::Map ? &pages : nullptr);
        if (code != NB_OK) return code;
        // Said as the file's own ranges: none reaches behind its end.
        f.Fingerprinted = NbRangesWithin(f.Fingerprinted, 0, f.ConvertedLength);
        record.Files.push_back(std::move(f));
    }
    return NbUndoWrite(recordName, record);
}


// The reading and changing stages, once every file is named and backed up.
// The layout was detected before the backups; its trace lines come here,
// where the run reports it.
void Convert(const NbImageNames& image, NbImageReading& reading, NbTraceRecorder& detection,
             const char* journalName) {
    detection.Replay();
    if (reading.Code != NB_OK || reading.Version == 0) {
        NbPrint("%s: Could not get correct version. Error %u\n", kMain, reading.Code);
        return;
    }
    const std::uint32_t version = reading.Version;
    NbPrint("%s: Version of image headers is %d\n", kMain, version);
    if (version >= 6) {
        NbPrint("No conversion is needed\n");
        return;
    }
    NbPrint("%s: Starting conversion.\n", kMain);
    NbPrint("%s: Parsing image headers\n", kMain);
    NbResult code = NbReadDetectedImage(image, &reading);
    if (reading.Stopped == NbReadingStop::Layout) {
        NbPrint("%s: That version is unsupported\n", kMain);
        return;
    }
    if (code != NB_OK) {
        PrintReadFailure(version, code);
        return;
    }
    const NbConversionPlan& plan = reading.Plan;
    const char* mapName = image.Map;

    // From the journal on, a request to stop waits for the run to finish or
    // to revert: a half-changed image is what it must never leave.
    const NbHoldTerminationRequests hold("main: A request to stop was received; the conversion goes on until it has "
                                         "finished or every file is reverted\n");
    // Nothing is changed before the journal that undoes it is on the medium.
    NbJournal journal;
    std::vector<HostFileInfo> before;
    code = DescribeImage(image, plan, &journal, &before);
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
    NbMapPageArea pages;
    code = NbRewriteAsPlanned(image.Data, mapName, image.Metadata, image.MetadataCount, plan, reading.Records.get(), &pages);
    // A result that does not verify is a failed rewrite like any other.
    if (code == NB_OK) code = NbVerifyConversion(image.Data, mapName, image.Metadata, image.MetadataCount);
    // The undo record is part of a finished conversion: one that cannot be
    // kept fails the run like a failed rewrite, so that every conversion
    // that finishes can be undone. Kept before the journal goes: a crash in
    // between leaves the journal, which the next run acts on as after any
    // other crash.
    if (code == NB_OK) {
        char recordName[kNameSize];
        HostFileInfo found;
        code = NbUndoName(mapName, recordName, kNameSize);
        const bool existed = code == NB_OK && NbHost().Inspect(recordName, &found) != NB_FILE_NOT_FOUND;
        if (code == NB_OK) code = KeepUndoRecord(plan, journal, before, recordName, pages);
        if (code != NB_OK) {
            NbPrint("%s: The undo record [%s.undo] could not be written. Error %u\n", kMain, mapName, code);
            // One that reached its name before its folder failed to flush
            // is not left beside the legacy image.
            if (!existed && NbHost().Inspect(recordName, &found) == NB_OK) (void)NbJournalRemove(recordName);
        }
    }
    if (code == NB_OK) {
        // Converted: the journal's work is done. Should it stay, the next run
        // restores the legacy image and converts it again; the user is told.
        code = NbJournalRemove(journalName);
        if (code != NB_OK)
            NbPrint("%s: The journal [%s] could not be removed. Error %u. The image is converted; remove the journal, "
                    "or the next run restores the legacy image from the backups and converts it again\n", kMain,
                    journalName, code);
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
    NbHost().KeepRunningWhenOutputCloses();
    if (argc < 4 || argc - 3 > kMaxMetadataFiles) {
        NbPrint("NimbraConvert.exe <.nbbitmap location> <.nbdata location> <.nbmetadata location> [<.nbmetadata location>]\n");
        NbPrint("NimbraConvert.exe c:\\images\\img c:\\images\\img c:\\images\\img\n");
        NbPrint("NimbraConvert.exe c:\\images\\img c:\\images\\img c:\\images\\img d:\\images\\img\n");
        NbPrint("--- %s %u #1\n", kMain, NB_INVALID_PARAMETER);
        return static_cast<int>(NB_INVALID_PARAMETER);
    }

    char mapName[kNameSize];
    char dataName[kNameSize];
    // A map file that is a symbolic link stays one: the file it names is
    // converted, and its backups and journal lie beside that file.
    NbResult code = NbMapFileName(argv[1], mapName, kNameSize);
    if (code != NB_OK) {
        NbPrint("%s: Could not create a correct name from [%s.nbbitmap]. Error %u\n", kMain, argv[1], code);
        return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
    }
    code = NbFormatString(dataName, kNameSize, "%s.nbdata", argv[2]);
    if (code != NB_OK) {
        NbPrint("%s: Could not create a correct name from [%s.nbdata]. Error %u\n", kMain, argv[2], code);
        return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
    }
    const auto count = static_cast<std::uint16_t>(argc - 3);
    NbImageReading reading;
    MetadataNames names(count);
    if (!reading.Reserve(count) || !names.Exists()) {
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

    // Pinned and held to the end of the run, taken before anything is read or changed.
    NbFilePinScope pins;
    ImageNames image;
    image.Files = {mapName, dataName};
    image.Kinds = {NbLegacyFile::Map, NbLegacyFile::Data};
    for (std::uint16_t i = 0; i < count; ++i) {
        image.Files.push_back(names[i]);
        image.Kinds.push_back(NbLegacyFile::Metadata);
    }
    NbRunLock lock;
    for (const char* name : image.Files) {
        code = lock.Take(name);
        if (code == NB_FILE_INVALID) {
            NbPrint("%s: File [%s] changed while the run identified it. Error %u. No changes to the image were made\n",
                    kMain, name, code);
            return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
        }
        if (code != NB_OK) {
            NbPrint("%s: File [%s] is in use by another program. Error %u\n", kMain, name, code);
            return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
        }
    }
    char journalName[kNameSize];
    code = NbJournalName(mapName, journalName, kNameSize);
    if (code != NB_OK) {
        // The backup's name is the longer one: the map's backup step fails
        // on its name before it opens anything, and reports it as always.
        char backupName[kNameSize];
        if (NbBackupName(mapName, backupName, sizeof backupName) != NB_OK)
            code = NbConvertCreateBackupFile(mapName, NB_BACKUP_LENGTH);
        PrintBackupFailure(mapName, code);
        return static_cast<int>(NbTraceExit(kMain, __LINE__, code));
    }
    static const NbRecoveryWords kRecovery {
        kMain, "A conversion", "A conversion that did not finish was found; every file was restored from its backup", false};
    code = NbRecoverUnfinishedRun(kRecovery, journalName, image.Files);
    if (code != NB_OK) return static_cast<int>(NbTraceExit(kMain, __LINE__, code));

    // The layout is detected once, before any backup: an image in layout 6
    // keeps everything, its backups included (they may be the only copy of
    // the legacy image). A failure is reported after the backups, in the
    // words of the step that meets it.
    const NbImageNames imageNames {mapName, dataName, names.Array(), count};
    NbTraceRecorder detection;
    (void)NbDetectImage(imageNames, &reading);  // the outcome stays in the reading, reported below
    detection.Stop();
    if (reading.Code == NB_OK && reading.Version >= 6) {
        Convert(imageNames, reading, detection, journalName);
        return 0;
    }

    code = CheckBackupsMayBeReplaced(image);
    if (code == NB_OK) code = CheckWritable(image);
    if (code != NB_OK) return static_cast<int>(NbTraceExit(kMain, __LINE__, code));

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
    Convert(imageNames, reading, detection, journalName);
    return 0;
}
