// The journal of a conversion: written beside the map file, durably, before
// the first change to any image file, and removed only once the conversion
// has finished or every file has been reverted. A journal found at the start
// of a run means an earlier run did not finish; it says how to put every
// file back exactly.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "driver/backup.h"
#include "platform/file.h"
#include "platform/host.h"
#include "platform/result.h"
#include "version6/plan.h"

struct NbJournalFile {
    // The image file: as the run names it when written; as read, the name
    // the journal gives, taken from the journal's own folder.
    std::string Name;
    std::uint64_t Length = 0;     // its length when the conversion began
    std::uint64_t BackupLength = 0;  // its backup's length when the journal was written
    bool BackupBecomesWhole = false; // the relocation turns the backup into the whole file
    std::uint32_t BackupCrc = 0;  // over the backup's first BackupLength bytes
    std::vector<NbSavedRange> Saved;  // original bytes no backup holds
};

// The original bytes a journal may hold: far more than any real image needs
// (a few blocks of the data file), little enough to hold in memory.
inline constexpr std::uint64_t NB_JOURNAL_MOST_SAVED = 64ull << 20;

// The format this converter writes; it reads it and format 2, the one before.
inline constexpr std::uint32_t NB_JOURNAL_VERSION = 3;

struct NbJournal {
    std::vector<NbJournalFile> Files;
};

// "<map file>.jnl" (no longer than the backup's name, so that it fits
// wherever the backup's does); 206 when it does not fit a name.
[[nodiscard]] NbResult NbJournalName(const char* mapFileName, char* out, std::uint32_t size);

// Describes a file whose backup exists, from the file open for reading and
// an entry that holds its length and the ranges to save (their sizes): its
// backup's length and checksum, and the ranges' original bytes.
[[nodiscard]] NbResult NbJournalDescribe(CNimbraFile& file, const char* fileName, bool backupBecomesWhole, NbJournalFile* entry);

// Writes the journal atomically (NbFileWriteAtomically), in format
// NB_JOURNAL_VERSION. Each file is named relative to the journal's
// folder where that can be said, so that the journal moves with the image.
[[nodiscard]] NbResult NbJournalWrite(const char* journalName, const NbJournal& journal);
// 2 when there is none; 13 when it is damaged; 1305 when it is in a format
// this converter does not read (*version tells which); 1921 when the name
// is a link, which is never followed. *file tells what was read, for the
// caller's judgement of who may have written it.
[[nodiscard]] NbResult NbJournalRead(const char* journalName, NbJournal* journal, HostFileInfo* file, std::uint32_t* version);
// Removes it and makes the removal durable.
[[nodiscard]] NbResult NbJournalRemove(const char* journalName);

// Whether the file's backup is the one the journal describes: 2 when it is
// missing, 13 when its length or checksum differ.
[[nodiscard]] NbResult NbJournalCheckBackup(const NbJournalFile& entry);
// Puts the file back exactly as the journal describes it; a backup that is
// the whole file is renamed over it at once with renameWholeBackup, else
// only when copying it fails (NbConvertRevertFromBackup).
[[nodiscard]] NbResult NbJournalRestore(const NbJournalFile& entry, bool renameWholeBackup = false);

// The undo record: what the journal knew, kept beside the map once a
// conversion has finished, so that nbundo can give the legacy image back
// exactly, and only while the image is still as the conversion left it.
struct NbUndoFile {
    NbJournalFile Original;  // how the file is put back, as its journal said
    std::uint64_t Owner = 0;  // the file's owner, group and mode before the conversion
    std::uint64_t Group = 0;
    std::uint32_t Mode = 0;
    std::uint64_t ConvertedLength = 0;  // its length as the conversion left it
    // Every byte an undo puts back or cuts, as the conversion left it: the
    // whole map; else the head backup's bytes, what the rewrite wrote, and
    // all behind the original end.
    std::vector<NbByteRange> Fingerprinted;
    std::uint32_t FingerprintCrc = 0;  // over those bytes, in order
};

struct NbUndoRecord {
    std::vector<NbUndoFile> Files;
};

inline constexpr std::uint32_t NB_UNDO_VERSION = 1;

// "<map file>.undo" (shorter than the backup's name); 206 when it does not fit.
[[nodiscard]] NbResult NbUndoName(const char* mapFileName, char* out, std::uint32_t size);
// Writes the record atomically and durably, replacing an older one; names
// are relative to its folder where that can be said, as in the journal.
[[nodiscard]] NbResult NbUndoWrite(const char* recordName, const NbUndoRecord& record);
// As NbJournalRead: 2 none, 13 damaged, 1305 another format, 1921 a link.
[[nodiscard]] NbResult NbUndoRead(const char* recordName, NbUndoRecord* record, HostFileInfo* file,
                                  std::uint32_t* version);
// The file's length, and the CRC of its bytes in the ranges, in order (a
// range is cut at the file's end). known: bytes whose CRC (from 0) is known
// already, taken as they are instead of read, where a range passes them whole.
[[nodiscard]] NbResult NbFingerprint(const char* fileName, const std::vector<NbByteRange>& ranges,
                                     std::uint64_t* length, std::uint32_t* crc, const NbMapPageArea* known = nullptr);
