#include "driver/journal.h"

#include <algorithm>
#include <cstring>

#include "platform/buffer.h"
#include "platform/checksum.h"
#include "platform/endian.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/names.h"
#include "platform/trace.h"

namespace {

// The journal's format, all numbers little-endian, in this order:
//
//   magic        8 bytes   "NbJourna"
//   version      u32       NB_JOURNAL_VERSION
//   files        u32       how many files follow, the map first
//   per file:
//     relative   u8        1: the name is relative to the journal's folder
//     name       u32 + n   its length, then its bytes (no terminating zero)
//     length     u64       the file's length when the conversion began
//     backup     u64       the backup's length when the journal was written
//     whole      u8        1: the relocation turns the backup into the whole file
//     backup CRC u32       over the backup's first "backup" bytes
//     ranges     u32       how many saved ranges follow
//     per range: offset u64, count u64, then count original bytes
//   CRC          u32       CRC-32 of every byte before it
//
// Format 2, the previous one, is the same without the version field, under
// the magic "NbJourn2": it is still read, so that a journal an older
// converter left is restored by this one.
constexpr char kMagic[8] = {'N', 'b', 'J', 'o', 'u', 'r', 'n', 'a'};
constexpr char kMagic2[8] = {'N', 'b', 'J', 'o', 'u', 'r', 'n', '2'};
// Far above any journal a real image needs (a few saved blocks); a longer
// file is no journal of ours.
constexpr std::uint64_t kMostBytes = 256ull << 20;
constexpr std::uint32_t kChunk = 0x10000;

class Writer {
public:
    void U8(std::uint8_t v) { bytes_.push_back(v); }
    void U32(std::uint32_t v) { Grow(4); PutLe32(bytes_.data(), bytes_.size() - 4, v); }
    void U64(std::uint64_t v) { Grow(8); PutLe64(bytes_.data(), bytes_.size() - 8, v); }
    void Raw(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
    }
    std::vector<std::uint8_t>& Bytes() { return bytes_; }

private:
    void Grow(std::size_t n) { bytes_.resize(bytes_.size() + n); }
    std::vector<std::uint8_t> bytes_;
};

class Reader {
public:
    Reader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    bool U8(std::uint8_t* v) { return Take(1) && (*v = p_[at_ - 1], true); }
    bool U32(std::uint32_t* v) { return Take(4) && (*v = GetLe32(p_, at_ - 4), true); }
    bool U64(std::uint64_t* v) { return Take(8) && (*v = GetLe64(p_, at_ - 8), true); }
    bool Raw(void* out, std::size_t n) { return Take(n) && (std::memcpy(out, p_ + at_ - n, n), true); }
    bool AtEnd() const { return at_ == n_; }

private:
    bool Take(std::size_t n) {
        if (n > n_ - at_) return false;
        at_ += n;
        return true;
    }
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t at_ = 0;
};

// The CRC of an open file's first length bytes (13 when it is shorter;
// *fileLength tells its length).
[[nodiscard]] NbResult CrcOfHead(CNimbraFile& file, std::uint64_t length, std::uint32_t* crc, std::uint64_t* fileLength) {
    NbResult code = file.Query(fileLength);
    if (code != NB_OK) return code;
    if (*fileLength < length) return NB_INVALID_DATA;
    CNimbraBuffer buffer;
    code = buffer.Allocate(kChunk, false);
    if (code != NB_OK) return code;
    std::uint32_t value = 0xFFFFFFFF;
    for (std::uint64_t at = 0; at < length;) {
        const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(length - at, kChunk));
        code = file.SeekRead(at, buffer.Data, piece, nullptr);
        if (code != NB_OK) return code;
        value = NbCrc32Update(buffer.Data, piece, value);
        at += piece;
    }
    *crc = value;
    return NB_OK;
}

[[nodiscard]] NbResult CrcOfHead(const char* name, std::uint64_t length, std::uint32_t* crc, std::uint64_t* fileLength) {
    CNimbraFile file;
    const NbResult code = file.Create(name, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    return code == NB_OK ? CrcOfHead(file, length, crc, fileLength) : code;
}

// One file's entry, as the journal and the undo record both hold it.
void PutFile(Writer& w, const std::string& folder, const NbJournalFile& f) {
    // Relative where it can be said; else as the run names it, and then
    // taken as it stands when read back.
    const std::string relative = NbRelativeName(folder, f.Name);
    const std::string& name = relative.empty() ? f.Name : relative;
    w.U8(relative.empty() ? 0 : 1);
    w.U32(static_cast<std::uint32_t>(name.size()));
    w.Raw(name.data(), name.size());
    w.U64(f.Length);
    w.U64(f.BackupLength);
    w.U8(f.BackupBecomesWhole ? 1 : 0);
    w.U32(f.BackupCrc);
    w.U32(static_cast<std::uint32_t>(f.Saved.size()));
    for (const NbSavedRange& r : f.Saved) {
        w.U64(r.Offset);
        w.U64(r.Bytes.size());
        w.Raw(r.Bytes.data(), r.Bytes.size());
    }
}

bool GetFile(Reader& r, const std::string& folder, std::uint64_t length, NbJournalFile* f) {
    std::uint32_t nameLength = 0, ranges = 0;
    std::uint8_t whole = 0, relative = 0;
    bool ok = r.U8(&relative) && relative <= 1 && r.U32(&nameLength) && nameLength < 512;
    if (ok) {
        f->Name.resize(nameLength);
        ok = r.Raw(f->Name.data(), nameLength) && r.U64(&f->Length) && r.U64(&f->BackupLength) && r.U8(&whole) &&
             r.U32(&f->BackupCrc) && r.U32(&ranges);
        if (relative) f->Name = NbJoinName(folder, f->Name);
    }
    f->BackupBecomesWhole = whole != 0;
    for (std::uint32_t k = 0; ok && k < ranges; ++k) {
        NbSavedRange range;
        std::uint64_t n = 0;
        ok = r.U64(&range.Offset) && r.U64(&n) && n <= length;
        if (ok) {
            range.Bytes.resize(n);
            ok = r.Raw(range.Bytes.data(), n);
        }
        f->Saved.push_back(std::move(range));
    }
    return ok;
}

// The bytes of a record file the run finds on disk, never through a link
// (whoever may write the folder could point one anywhere): 2 when there is
// none, without a trace line; 13 when no record of ours can be that long or
// short. *info tells what the very file read is, for the caller's judgement
// of who may have written it.
[[nodiscard]] NbResult ReadRecordFile(const char* kName, const char* fileName, std::vector<std::uint8_t>* bytes,
                                      HostFileInfo* info) {
    *info = HostFileInfo {};
    NbFileObject* probe = nullptr;
    NbResult code =
        NbFileObjectCreate(&probe, fileName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, NB_FLAG_NO_FOLLOW);
    if (code == NB_FILE_NOT_FOUND) return code;
    if (code == NB_OK) (void)NbFileObjectDestroy(probe);
    CNimbraFile file;
    code = file.Create(fileName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, NB_FLAG_NO_FOLLOW);
    std::uint64_t length = 0;
    if (code == NB_OK) code = NbHost().InspectHandle(file.Object()->Handle, info);
    if (code == NB_OK) code = file.Query(&length);
    if (code != NB_OK) NB_RETURN(kName, code);
    if (length < sizeof kMagic + 8 || length > kMostBytes) NB_RETURN(kName, NB_INVALID_DATA);  // magic, a count, a CRC
    bytes->resize(length);
    for (std::uint64_t done = 0; done < length;) {
        const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(length - done, kChunk));
        code = file.Read(bytes->data() + done, piece);
        if (code != NB_OK) NB_RETURN(kName, code);
        done += piece;
    }
    return NB_OK;
}

// The bytes with their CRC appended, as every record is written.
[[nodiscard]] NbResult WriteRecordFile(const char* kName, const char* fileName, Writer& w, bool replace) {
    std::vector<std::uint8_t>& bytes = w.Bytes();
    if (bytes.size() + 4 > kMostBytes) NB_RETURN(kName, NB_NOT_ENOUGH_MEMORY);
    w.U32(NbCrc32(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    NB_RETURN(kName, NbFileWriteAtomically(fileName, bytes.data(), bytes.size(), replace));
}

bool CrcHolds(const std::vector<std::uint8_t>& bytes) {
    const std::size_t body = bytes.size() - 4;
    return NbCrc32(bytes.data(), static_cast<std::uint32_t>(body)) == GetLe32(bytes.data(), body);
}

}  // namespace

NbResult NbJournalName(const char* mapFileName, char* out, std::uint32_t size) {
    return NbFormatName(out, size, "%s.jnl", mapFileName);
}

NbResult NbJournalDescribe(CNimbraFile& file, const char* fileName, bool backupBecomesWhole, NbJournalFile* entry) {
    static const char kName[] = "NbJournalDescribe";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    entry->Name = fileName;
    entry->BackupBecomesWhole = backupBecomesWhole;
    char backupName[NB_NAME_SIZE];
    NbResult code = NbBackupName(fileName, backupName, sizeof backupName);
    if (code != NB_OK) NB_RETURN(kName, code);
    {
        // The backup's whole length is what its checksum covers.
        CNimbraFile backup;
        code = backup.Create(backupName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
        if (code == NB_OK) code = backup.Query(&entry->BackupLength);
        std::uint64_t seen = 0;
        if (code == NB_OK) code = CrcOfHead(backup, entry->BackupLength, &entry->BackupCrc, &seen);
        if (code != NB_OK) NB_RETURN(kName, code);
    }
    // Read the saved ranges' bytes now, while they are still the original ones.
    for (NbSavedRange& range : entry->Saved) {
        for (std::uint64_t done = 0; done < range.Bytes.size();) {
            const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(range.Bytes.size() - done, kChunk));
            code = file.SeekRead(range.Offset + done, range.Bytes.data() + done, piece, nullptr);
            if (code != NB_OK) NB_RETURN(kName, code);
            done += piece;
        }
    }
    NB_RETURN(kName, NB_OK);
}

NbResult NbJournalWrite(const char* journalName, const NbJournal& journal) {
    static const char kName[] = "NbJournalWrite";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    Writer w;
    w.Raw(kMagic, sizeof kMagic);
    w.U32(NB_JOURNAL_VERSION);
    w.U32(static_cast<std::uint32_t>(journal.Files.size()));
    const std::string folder = NbFolderOf(journalName);
    for (const NbJournalFile& f : journal.Files) PutFile(w, folder, f);
    return WriteRecordFile(kName, journalName, w, false);
}

NbResult NbJournalRead(const char* journalName, NbJournal* journal, HostFileInfo* info, std::uint32_t* version) {
    static const char kName[] = "NbJournalRead";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    journal->Files.clear();
    *version = 0;
    // The usual case, no journal, is no failure: asked without a trace line.
    std::vector<std::uint8_t> bytes;
    NbResult code = ReadRecordFile(kName, journalName, &bytes, info);
    if (code != NB_OK) return code;
    const std::uint64_t length = bytes.size();
    const std::size_t body = bytes.size() - 4;
    // A format of its own is judged by its version before anything else,
    // for another converter's journal may keep its checksum elsewhere.
    const bool current = std::memcmp(bytes.data(), kMagic, sizeof kMagic) == 0;
    std::size_t start = sizeof kMagic;
    if (current) {
        *version = GetLe32(bytes.data(), start);
        start += 4;
        if (*version != NB_JOURNAL_VERSION) {
            NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Journal [%s] is in format %u\n", kName,
                    NB_UNKNOWN_REVISION, journalName, *version);
            NB_RETURN(kName, NB_UNKNOWN_REVISION);
        }
    } else {
        *version = 2;
    }
    if ((!current && std::memcmp(bytes.data(), kMagic2, sizeof kMagic2) != 0) ||
        !CrcHolds(bytes)) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Journal [%s] is damaged\n", kName, NB_INVALID_DATA, journalName);
        NB_RETURN(kName, NB_INVALID_DATA);
    }
    Reader r(bytes.data() + start, body - start);
    const std::string folder = NbFolderOf(journalName);
    std::uint32_t count = 0;
    bool ok = r.U32(&count);
    for (std::uint32_t i = 0; ok && i < count; ++i) {
        NbJournalFile f;
        ok = GetFile(r, folder, length, &f);
        journal->Files.push_back(std::move(f));
    }
    if (!ok || !r.AtEnd()) NB_RETURN(kName, NB_INVALID_DATA);
    NB_RETURN(kName, NB_OK);
}

NbResult NbJournalRemove(const char* journalName) {
    static const char kName[] = "NbJournalRemove";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    NbResult code = NbFileDelete(journalName);
    if (code == NB_OK) code = NbFileSyncDirectory(journalName);
    NB_RETURN(kName, code);
}

namespace {

// A whole backup that a revert renamed back over its file (a full disk) is
// gone, and the file is the original again: its length and its head are the
// ones the journal recorded. Quiet: asked only when the backup is missing.
bool RenamedBack(const NbJournalFile& entry, const char* backupName) {
    HostFileInfo info;
    if (!entry.BackupBecomesWhole || !entry.Saved.empty() || NbHost().Inspect(backupName, &info) != NB_FILE_NOT_FOUND)
        return false;
    const NbQuietTrace quiet;
    std::uint32_t crc = 0;
    std::uint64_t length = 0;
    const NbResult code = CrcOfHead(entry.Name.c_str(), entry.BackupLength, &crc, &length);
    return code == NB_OK && crc == entry.BackupCrc && length == entry.Length;
}

}  // namespace

NbResult NbJournalCheckBackup(const NbJournalFile& entry) {
    static const char kName[] = "NbJournalCheckBackup";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    char backupName[NB_NAME_SIZE];
    NbResult code = NbBackupName(entry.Name.c_str(), backupName, sizeof backupName);
    if (code != NB_OK) NB_RETURN(kName, code);
    if (RenamedBack(entry, backupName)) NB_RETURN(kName, NB_OK);
    std::uint32_t crc = 0;
    std::uint64_t length = 0;
    code = CrcOfHead(backupName, entry.BackupLength, &crc, &length);
    if (code == NB_OK && (crc != entry.BackupCrc ||
                          (length != entry.BackupLength && !(entry.BackupBecomesWhole && length == entry.Length)))) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Backup [%s] of %I64u bytes is not the one the journal names\n",
                kName, NB_INVALID_DATA, backupName, length);
        code = NB_INVALID_DATA;
    }
    NB_RETURN(kName, code);
}

NbResult NbJournalRestore(const NbJournalFile& entry, bool renameWholeBackup) {
    static const char kName[] = "NbJournalRestore";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    char backupName[NB_NAME_SIZE];
    NbResult code = NbBackupName(entry.Name.c_str(), backupName, sizeof backupName);
    if (code == NB_OK && RenamedBack(entry, backupName)) NB_RETURN(kName, NB_OK);  // nothing left to put back
    if (code == NB_OK) code = NbJournalCheckBackup(entry);
    if (code == NB_OK) code = NbConvertRevertFromBackup(entry.Name.c_str(), entry.Length, entry.Saved, renameWholeBackup);
    NB_RETURN(kName, code);
}

NbResult NbUndoName(const char* mapFileName, char* out, std::uint32_t size) {
    return NbFormatName(out, size, "%s.undo", mapFileName);
}

// The undo record's format, all numbers little-endian, in this order:
//
//   magic        8 bytes   "NbUndoRc"
//   version      u32       NB_UNDO_VERSION
//   files        u32       how many files follow, the map first
//   per file:
//     the file's journal entry, as the journal holds it (above)
//     owner u64, group u64, mode u32   the file's before the conversion
//     converted    u64       its length as the conversion left it
//     ranges       u32       how many fingerprinted ranges follow: offset u64, length u64
//     fingerprint  u32       CRC-32 over the bytes of those ranges, in order
//   CRC          u32       CRC-32 of every byte before it
namespace {
constexpr char kUndoMagic[8] = {'N', 'b', 'U', 'n', 'd', 'o', 'R', 'c'};
}  // namespace

NbResult NbUndoWrite(const char* recordName, const NbUndoRecord& record) {
    static const char kName[] = "NbUndoWrite";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    Writer w;
    w.Raw(kUndoMagic, sizeof kUndoMagic);
    w.U32(NB_UNDO_VERSION);
    w.U32(static_cast<std::uint32_t>(record.Files.size()));
    const std::string folder = NbFolderOf(recordName);
    for (const NbUndoFile& f : record.Files) {
        PutFile(w, folder, f.Original);
        w.U64(f.Owner);
        w.U64(f.Group);
        w.U32(f.Mode);
        w.U64(f.ConvertedLength);
        w.U32(static_cast<std::uint32_t>(f.Fingerprinted.size()));
        for (const NbByteRange& r : f.Fingerprinted) {
            w.U64(r.Offset);
            w.U64(r.Length);
        }
        w.U32(f.FingerprintCrc);
    }
    // An older record (of an earlier conversion of this image) is replaced.
    return WriteRecordFile(kName, recordName, w, true);
}

NbResult NbUndoRead(const char* recordName, NbUndoRecord* record, HostFileInfo* info, std::uint32_t* version) {
    static const char kName[] = "NbUndoRead";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    record->Files.clear();
    *version = 0;
    std::vector<std::uint8_t> bytes;
    NbResult code = ReadRecordFile(kName, recordName, &bytes, info);
    if (code != NB_OK) return code;
    if (std::memcmp(bytes.data(), kUndoMagic, sizeof kUndoMagic) != 0 || !CrcHolds(bytes)) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Undo record [%s] is damaged\n", kName, NB_INVALID_DATA,
                recordName);
        NB_RETURN(kName, NB_INVALID_DATA);
    }
    *version = GetLe32(bytes.data(), sizeof kUndoMagic);
    if (*version != NB_UNDO_VERSION) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Undo record [%s] is in format %u\n", kName,
                NB_UNKNOWN_REVISION, recordName, *version);
        NB_RETURN(kName, NB_UNKNOWN_REVISION);
    }
    const std::size_t start = sizeof kUndoMagic + 4;
    Reader r(bytes.data() + start, bytes.size() - 4 - start);
    const std::string folder = NbFolderOf(recordName);
    std::uint32_t count = 0;
    bool ok = r.U32(&count);
    for (std::uint32_t i = 0; ok && i < count; ++i) {
        NbUndoFile f;
        std::uint32_t ranges = 0;
        ok = GetFile(r, folder, bytes.size(), &f.Original) && r.U64(&f.Owner) && r.U64(&f.Group) && r.U32(&f.Mode) &&
             r.U64(&f.ConvertedLength) && r.U32(&ranges) && ranges <= bytes.size() / 16;
        for (std::uint32_t k = 0; ok && k < ranges; ++k) {
            NbByteRange range {};
            ok = r.U64(&range.Offset) && r.U64(&range.Length);
            f.Fingerprinted.push_back(range);
        }
        ok = ok && r.U32(&f.FingerprintCrc);
        record->Files.push_back(std::move(f));
    }
    if (!ok || !r.AtEnd()) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u Undo record [%s] is damaged\n", kName, NB_INVALID_DATA,
                recordName);
        NB_RETURN(kName, NB_INVALID_DATA);
    }
    NB_RETURN(kName, NB_OK);
}

NbResult NbFingerprint(const char* fileName, const std::vector<NbByteRange>& ranges, std::uint64_t* length,
                       std::uint32_t* crc, const NbMapPageArea* known) {
    static const char kName[] = "NbFingerprint";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    CNimbraFile file;
    NbResult code = file.Create(fileName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    if (code == NB_OK) code = file.Query(length);
    CNimbraBuffer buffer;
    // The whole converted map passes through here: pieces as large as the
    // map work's own, for fewer calls.
    constexpr std::uint32_t kPiece = 0x80000;
    if (code == NB_OK) code = buffer.Allocate(kPiece, false);
    std::uint32_t value = 0xFFFFFFFF;
    for (const NbByteRange& r : ranges) {
        // What lies beyond the file's end is no byte of it: the length,
        // fingerprinted beside, tells a file that was cut.
        const std::uint64_t end = std::min(*length, r.Length > UINT64_MAX - r.Offset ? UINT64_MAX : r.Offset + r.Length);
        for (std::uint64_t at = r.Offset; code == NB_OK && at < end;) {
            if (known != nullptr && known->Length > 0 && at == known->Offset && end - at >= known->Length) {
                value = NbCrc32Shift(value, known->Length) ^ known->Crc;
                at += known->Length;
                continue;
            }
            std::uint64_t left = end - at;
            if (known != nullptr && known->Offset > at) left = std::min(left, known->Offset - at);
            const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kPiece));
            code = file.SeekRead(at, buffer.Data, piece, nullptr);
            if (code == NB_OK) value = NbCrc32Update(buffer.Data, piece, value);
            at += piece;
        }
        if (code != NB_OK) break;
    }
    *crc = value;
    NB_RETURN(kName, code);
}
