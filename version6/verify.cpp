#include "version6/verify.h"
#include "version6/version6.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/format.h"
#include "platform/buffer.h"
#include "platform/checksum.h"
#include "platform/endian.h"
#include "platform/file.h"
#include "platform/trace.h"

namespace {

constexpr std::uint32_t kHeadBytes = 4096;     // as much of each file as detection reads
// Large records are read in pieces of this, the size of the rewrite's own
// runs, so that checking a result takes no more memory than writing it.
constexpr std::uint32_t kPiece = NB_COPY_RUN;
constexpr std::uint64_t kEntryFindings = 16;   // wrong page table entries named one by one

// One file, open for the checks.
struct Source {
    CNimbraFile file;
    std::uint64_t size = 0;
    std::uint8_t head[kHeadBytes] = {};  // the file's first bytes, zero behind its end
    NbVerifyDepth depth = NbVerifyDepth::Records;
    NbResult error = NB_OK;  // the first host failure
};

// Findings about one record.
struct Checker {
    std::vector<NbFinding>* out;
    std::string file, record;

    Checker In(const std::string& name) const { return {out, file, name}; }
    void Fail(const std::string& why) const { out->push_back({file, record, why}); }
    bool That(bool ok, const std::string& why) const {
        if (!ok) Fail(why);
        return ok;
    }
    void Equal(const char* field, std::uint64_t actual, std::uint64_t expected) const {
        That(actual == expected, NbText("%s is %" PRIu64 ", the layout gives %" PRIu64, field, actual, expected));
    }
    void Chars(const char* field, const char* actual, const char* expected, std::size_t n) const {
        That(std::memcmp(actual, expected, n) == 0, NbText("%s is not \"%.*s\"", field, static_cast<int>(n), expected));
    }
    bool Crc(const char* field, std::uint32_t stored, std::uint32_t computed) const {
        return That(stored == computed, NbText("%s is 0x%08x, computed 0x%08x", field, stored, computed));
    }
};

// The CRC of bytes[0, covered) with its own field at crcOffset taken as zero.
std::uint32_t CrcWithoutField(const std::uint8_t* bytes, std::size_t covered, std::size_t crcOffset) {
    std::uint8_t field[4] = {};
    std::uint32_t crc = NbCrc32(bytes, static_cast<std::uint32_t>(crcOffset));
    crc = NbCrc32Update(field, 4, crc);
    return NbCrc32Update(bytes + crcOffset + 4, static_cast<std::uint32_t>(covered - crcOffset - 4), crc);
}

// Decodes a record with the converter's layout function and checks that
// every byte of its size that the layout leaves undefined is zero.
template <class Record>
Record Decode(const Checker& c, const std::uint8_t* bytes, std::size_t size) {
    const Record record = DecodeRecord<Record>(bytes);
    std::vector<std::uint8_t> again(size);
    EncodeRecord(record, again.data(), size);
    const auto diff = std::mismatch(again.begin(), again.end(), bytes);
    if (diff.first != again.end())
        c.Fail(NbText("byte %td is 0x%02x where the layout has zero", diff.first - again.begin(), *diff.second));
    return record;
}

// Whether count bytes at offset can be read at all; a finding when not.
bool Available(const Checker& c, const Source& s, std::uint64_t offset, std::uint64_t count) {
    if (count > NB_VERIFY_READ_LIMIT)
        return c.That(false, NbText("bytes %" PRIu64 " to %" PRIu64 " are not read: a record of more than %" PRIu64
                                 " bytes is declined",
                                 offset, offset + count, NB_VERIFY_READ_LIMIT));
    if (offset > s.size || count > s.size - offset)
        return c.That(false, NbText("bytes %" PRIu64 " to %" PRIu64 " lie beyond the file's end at %" PRIu64, offset,
                                 offset + count, s.size));
    return true;
}

bool HostFailed(const Checker& c, Source& s, std::uint64_t offset, NbResult code) {
    if (s.error == NB_OK) s.error = code;
    return c.That(false, NbText("cannot be read at %" PRIu64 ": error %u", offset, code));
}

bool ReadSmall(const Checker& c, Source& s, std::uint64_t offset, std::uint32_t count, std::uint8_t* out) {
    if (!Available(c, s, offset, count)) return false;
    const NbResult code = s.file.SeekRead(offset, out, count, nullptr);
    return code == NB_OK || HostFailed(c, s, offset, code);
}

// Reads size bytes at offset in pieces through one bounded buffer, handing
// each piece to take(place in the record, bytes, count).
template <class Take>
bool Stream(const Checker& c, Source& s, std::uint64_t offset, std::uint64_t size, Take take) {
    if (!Available(c, s, offset, size)) return false;
    if (size == 0) return true;
    CNimbraBuffer piece;
    NbResult code = piece.Allocate(static_cast<std::uint32_t>(std::min<std::uint64_t>(size, kPiece)), false);
    if (code != NB_OK) return HostFailed(c, s, offset, code);
    for (std::uint64_t at = 0; at < size; at += kPiece) {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(size - at, kPiece));
        code = s.file.SeekRead(offset + at, piece.Data, n, nullptr);
        if (code != NB_OK) return HostFailed(c, s, offset + at, code);
        take(at, piece.Data, n);
    }
    return true;
}

// A version 6 file header: its magic, length and version.
template <class Header>
Header Header6(const Checker& c, const Source& s, std::size_t size, const NbMagic& magic) {
    const auto h = Decode<Header>(c, s.head, size);
    c.Chars("Signature", h.Signature.Text, magic.Text, 4);
    c.Equal("HeaderLength", h.HeaderLength, size);
    c.Equal("Version", h.Version, NB_V6_VERSION);
    return h;
}

// What sets one kind of superblock apart.
struct SuperblockRule {
    const char* name;
    std::uint32_t size, covered, crcOffset;
    NbSignature signature;
};

// Both copies of a superblock, each read and checked (check gets the copy);
// the second must equal the first byte for byte. follow is the copy a reader
// would take to the checkpoint: the first whose CRC holds.
template <class Superblock, class Check>
bool Superblocks(const Checker& file, Source& s, const SuperblockRule& rule, const std::uint64_t at[2],
                 NbRecordAt<Superblock> copies[2], Check check, Superblock& follow) {
    std::uint8_t bytes[2][NB_SUPERBLOCK_BLOCK];
    bool found = false, sound = false;
    for (int i = 0; i < 2; ++i) {
        const Checker k = file.In(NbText("%s %d", rule.name, i + 1));
        if (!ReadSmall(k, s, at[i], rule.size, bytes[i])) continue;
        const auto sb = Decode<Superblock>(k, bytes[i], rule.size);
        copies[i] = {true, at[i], sb};
        k.Chars("Signature", sb.Signature.Text, rule.signature.Text, 8);
        const bool crc = k.Crc("Crc", sb.Crc, CrcWithoutField(bytes[i], rule.covered, rule.crcOffset));
        check(k, sb);
        if (!found || (!sound && crc)) follow = sb;
        found = true;
        sound = sound || crc;
    }
    if (copies[0].Read && copies[1].Read && std::memcmp(bytes[0], bytes[1], rule.size) != 0) {
        const auto diff = std::mismatch(bytes[0], bytes[0] + rule.size, bytes[1]);
        file.In(NbText("%s 2", rule.name)).Fail(NbText("differs from copy 1 from byte %td on", diff.first - bytes[0]));
    }
    return found;
}

// A data or metadata checkpoint: its head, both CRCs, zeros behind the head.
bool SmallCheckpoint(const Checker& file, Source& s, const char* name, const NbSignature& signature,
                     std::uint32_t headerValue, std::uint64_t at, std::uint64_t size, NbRecordAt<CheckpointHead>* view) {
    const Checker k = file.In(name);
    CheckpointHead head {};
    std::uint32_t crc = 0;
    std::uint64_t nonZero = UINT64_MAX;
    std::uint8_t nonZeroValue = 0;
    const bool read = Stream(k, s, at, size, [&](std::uint64_t from, const std::uint8_t* bytes, std::uint32_t n) {
        std::uint32_t skip = 0;
        if (from == 0) {
            head = Decode<CheckpointHead>(k, bytes, kDataCheckpointHeadSize);
            k.Chars("Signature", head.Signature.Text, signature.Text, 8);
            k.Equal("HeaderValue", head.HeaderValue, headerValue);
            k.Crc("HeaderCrc", head.HeaderCrc, CrcWithoutField(bytes, kCheckpointHeaderCrcCovers, kCheckpointHeaderCrcOffset));
            crc = CrcWithoutField(bytes, kDataCheckpointHeadSize, kCheckpointCrcOffset);
            skip = kDataCheckpointHeadSize;
        }
        crc = NbCrc32Update(bytes + skip, n - skip, crc);
        const std::uint8_t* end = bytes + n;
        const std::uint8_t* p = std::find_if(bytes + skip, end, [](std::uint8_t b) { return b != 0; });
        if (p != end && nonZero == UINT64_MAX) nonZero = from + static_cast<std::uint64_t>(p - bytes), nonZeroValue = *p;
    });
    if (!read) return false;
    *view = {true, at, head};
    k.That(nonZero == UINT64_MAX, NbText("byte %" PRIu64 " is 0x%02x where the layout has zero", nonZero, nonZeroValue));
    k.Crc("Crc", head.Crc, crc);
    return true;
}

const SuperblockRule kMapSuperblockRule {"MapSuperblock", NB_SUPERBLOCK_BLOCK, kMapSuperblockSize,
                                         kMapSuperblockCrcOffset, kMapSuperblockSignature};
const SuperblockRule kDataSuperblockRule {"DataSuperblock", kDataSuperblockSize, kDataSuperblockSize,
                                          kDataSuperblockCrcOffset, kDataSuperblockSignature};
const SuperblockRule kMetadataSuperblockRule {"MetadataSuperblock", kMetadataSuperblockSize, kMetadataSuperblockSize,
                                              kMetadataSuperblockCrcOffset, kMetadataSuperblockSignature};

// The page table of a compacted map, entry by entry in table order: the
// retained pages follow one another from MapDataOffset and end before the
// superblocks.
struct CompactedTable {
    const Checker& t;
    const MapHeaderV6& h;
    std::uint64_t fileSize;
    std::uint64_t wrong = 0;
    void Entry(std::uint32_t index, std::uint32_t e, std::uint64_t j) {
        const std::uint64_t at = static_cast<std::uint64_t>(e) * NB_MAP_PAGE;
        const std::uint64_t expected = h.MapDataOffset / NB_MAP_PAGE + j;
        std::string why;
        if (at + NB_MAP_PAGE > fileSize) why = NbText(" points outside the map file of %" PRIu64 " bytes", fileSize);
        else if (at < std::max<std::uint64_t>(h.MapDataOffset, kMapHeaderV6Size)) why = " overlaps the header";
        else if (at + NB_MAP_PAGE > h.FirstSuperblockOffset) why = " overlaps the superblocks or the checkpoint";
        else if (e != expected) why = NbText(", the compaction puts it at page %" PRIu64, expected);
        if (why.empty()) return;
        if (++wrong <= kEntryFindings) t.Fail(NbText("entry %u = %u (page at %" PRIu64 ")", index, e, at) + why);
    }
};

void Map6(const Checker& file, Source& s, NbV6FileView* v) {
    const Checker c = file.In("MapHeaderV6");
    const auto h = Header6<MapHeaderV6>(c, s, kMapHeaderV6Size, kMapMagic);
    v->Map = h;
    c.Equal("MapType", h.MapType, 1);
    c.That(h.MapPageSize != 0, "MapPageSize is 0");
    c.That(h.FirstSuperblockOffset % NB_64K == 0, "FirstSuperblockOffset is not a multiple of 65536");
    c.Equal("SecondSuperblockOffset", h.SecondSuperblockOffset, h.FirstSuperblockOffset + NB_64K);
    c.That(h.MapDataOffset >= kMapHeaderV6Size, "MapDataOffset lies inside the header");
    const std::uint64_t entries = h.MapTableSize / 4, checkpointSize = NbMapCheckpointSize(entries);
    const std::uint64_t tableEnd = kMapCheckpointHeadSize + static_cast<std::uint64_t>(h.MapTableSize);
    const std::uint64_t at[2] = {h.FirstSuperblockOffset, h.SecondSuperblockOffset};
    // Where the rewrite places a map's records behind a body that ends at
    // bodyEnd, with this header's page size.
    const auto placed = [&](std::uint64_t bodyEnd, std::uint32_t pageSize) {
        MapPlacement m {};
        // A page size of 0 (a finding of its own) leaves every place at 0.
        (void)NbPlaceMap(bodyEnd, checkpointSize, pageSize, &m);
        return m;
    };
    MapSuperblock sb {};
    const auto check = [&](const Checker& k, const MapSuperblock& b) {
        const MapPlacement m = placed(h.FirstSuperblockOffset, h.MapPageSize);
        k.Equal("CheckpointOffset", b.CheckpointOffset, m.CheckpointOffset);
        k.Equal("CheckpointSize", b.CheckpointSize, checkpointSize);
        if (h.MapPageSize != 0) k.Equal("MapEndOffset", b.MapEndOffset, m.MapEndOffset);
    };
    v->SuperblocksPlaced = true;
    if (!Superblocks(file, s, kMapSuperblockRule, at, v->MapSuperblocks, check, sb)) return;
    if (!c.That(tableEnd <= checkpointSize, NbText("MapTableSize %u does not fit the checkpoint", h.MapTableSize)) ||
        sb.CheckpointSize < tableEnd)
        return;

    // A compacted plain map counts its retained pages; an extended map's
    // table is copied as it stood and counts none. A table without a used
    // entry is taken as compacted only when everything else says so too.
    const Checker k = file.In("MapCheckpoint");
    const Checker t = file.In("MapCheckpoint PageTable");
    MapCheckpointHead head {};
    std::uint32_t crc = 0, tableCrc = 0xFFFFFFFFu;
    std::uint64_t used = 0, nonZero = UINT64_MAX;
    bool compacted = false;
    CompactedTable table {t, h, s.size};
    const bool read = Stream(k, s, sb.CheckpointOffset, sb.CheckpointSize, [&](std::uint64_t from, const std::uint8_t* bytes, std::uint32_t n) {
        std::uint32_t skip = 0;
        if (from == 0) {
            head = Decode<MapCheckpointHead>(k, bytes, kMapCheckpointHeadSize);
            k.Chars("Signature", head.Signature.Text, kMapCheckpointSignature.Text, 8);
            k.Equal("HeaderValue", head.HeaderValue, NB_MAP_CHECKPOINT_HEADER_VALUE);
            k.Crc("HeaderCrc", head.HeaderCrc, CrcWithoutField(bytes, kCheckpointHeaderCrcCovers, kCheckpointHeaderCrcOffset));
            crc = CrcWithoutField(bytes, kMapCheckpointHeadSize, kMapCheckpointCrcOffset);
            compacted = head.PageCount != 0;
            skip = kMapCheckpointHeadSize;
        }
        crc = NbCrc32Update(bytes + skip, n - skip, crc);
        // Table entries up to tableEnd (a length that is no multiple of 4
        // ends in a part of an entry), zeros behind it.
        const std::uint64_t inTable = tableEnd > from ? std::min<std::uint64_t>(tableEnd - from, n) : 0;
        if (inTable > skip) tableCrc = NbCrc32Update(bytes + skip, static_cast<std::uint32_t>(inTable - skip), tableCrc);
        for (std::uint64_t i = skip; i + 4 <= inTable; i += 4) {
            const std::uint32_t e = GetLe32(bytes, i);
            if (e == 0xFFFFFFFFu) continue;
            if (compacted) table.Entry(static_cast<std::uint32_t>((from + i - kMapCheckpointHeadSize) / 4), e, used);
            ++used;
        }
        const std::uint8_t* p = std::find_if(bytes + std::max<std::uint64_t>(inTable, skip), bytes + n,
                                             [](std::uint8_t b) { return b != 0; });
        if (p != bytes + n && nonZero == UINT64_MAX) nonZero = from + static_cast<std::uint64_t>(p - bytes);
    });
    if (!read) return;
    const std::uint64_t plainEntries = (static_cast<std::uint64_t>(h.ImageSize) + NB_MAP_ENTRIES_PER_PAGE - 1) / NB_MAP_ENTRIES_PER_PAGE;
    if (head.PageCount == 0 && used == 0)
        compacted = h.FirstSuperblockOffset == placed(h.MapDataOffset, NB_MAP_PAGE).FirstSuperblockOffset &&
                    h.MapTableSize == 4 * plainEntries &&
                    h.MapPageSize == NB_MAP_PAGE && h.MapDataOffset % NB_MAP_PAGE == 0;
    v->MapCheckpoint = {true, sb.CheckpointOffset, head};
    v->TableEntries = entries;
    v->TableUsed = used;
    v->CopiedTable = !compacted;
    k.Equal("TableValue", head.TableValue, NB_MAP_CHECKPOINT_TABLE_VALUE);
    k.That(nonZero == UINT64_MAX, NbText("byte %" PRIu64 " behind the page table is not zero", nonZero));
    k.Crc("Crc", head.Crc, crc);

    if (compacted) {
        if (table.wrong > kEntryFindings) t.Fail(NbText("and %" PRIu64 " more entries", table.wrong - kEntryFindings));
        t.Equal("PageCount", head.PageCount, used);
        t.That(h.MapDataOffset % NB_MAP_PAGE == 0, "MapDataOffset of a compacted map is not a multiple of 4096");
        c.Equal("FirstSuperblockOffset", h.FirstSuperblockOffset,
                placed(h.MapDataOffset + NB_MAP_PAGE * used, NB_MAP_PAGE).FirstSuperblockOffset);
        c.Equal("MapTableSize", h.MapTableSize, 4 * plainEntries);
        c.Equal("MapPageSize", h.MapPageSize, NB_MAP_PAGE);
        if (s.depth != NbVerifyDepth::Pages || table.wrong != 0) return;
        // The retained pages, in the order of their offsets, are the ones
        // the table names: one sequential read.
        std::uint32_t pageCrc = 0;
        if (Stream(t, s, h.MapDataOffset, NB_MAP_PAGE * used,
                   [&](std::uint64_t, const std::uint8_t* bytes, std::uint32_t n) { pageCrc = NbCrc32Update(bytes, n, pageCrc); }))
            t.That(pageCrc == head.PageCrc, NbText("PageCrc is 0x%08x, the retained pages give 0x%08x", head.PageCrc, pageCrc));
        return;
    }
    k.Equal("PageCount", head.PageCount, 0);
    k.Equal("PageCrc", head.PageCrc, 0);
    c.That(h.FirstSuperblockOffset >= static_cast<std::uint64_t>(h.MapDataOffset) + h.MapTableSize,
           "FirstSuperblockOffset lies inside the map table");
    // The table was copied from where the header says the map's table lies.
    std::uint32_t mapCrc = 0xFFFFFFFFu;
    if (Stream(t, s, h.MapDataOffset, h.MapTableSize,
               [&](std::uint64_t, const std::uint8_t* bytes, std::uint32_t n) { mapCrc = NbCrc32Update(bytes, n, mapCrc); }))
        t.That(mapCrc == tableCrc, NbText("differs from the map's table at MapDataOffset %u", h.MapDataOffset));
}

void Data6(const Checker& file, Source& s, NbV6FileView* v) {
    const Checker c = file.In("DataHeaderV6");
    const auto h = Header6<DataHeaderV6>(c, s, kDataHeaderV6Size, kDataMagic);
    v->Data = h;
    const std::uint64_t b = h.BlockSize, s1 = h.FirstSuperblockBlock;
    DataPlacement p {};
    if (!c.That(b != 0 && s1 != 0 && NbPlaceDataFrom(h.BlockSize, s1, &p) == NB_OK,
                "BlockSize 0 or FirstSuperblockBlock 0 has no placement"))
        return;
    v->SuperblocksPlaced = true;
    // The first copy lies in the first block that begins at or behind a
    // multiple of 64 KiB: one such multiple lies within the block before it.
    c.That(NbRoundUp((s1 - 1) * b + 1, NB_64K) <= s1 * b,
           "FirstSuperblockBlock is not the first block at or behind a multiple of 65536 bytes");
    c.Equal("SecondSuperblockBlock", h.SecondSuperblockBlock, p.SecondSuperblockBlock);
    const std::uint64_t at[2] = {s1 * b, h.SecondSuperblockBlock * b};
    DataSuperblock sb {};
    const auto check = [&](const Checker& k, const DataSuperblock& d) {
        k.Equal("CheckpointBlock", d.CheckpointBlock, p.CheckpointBlock);
        k.Equal("CheckpointBlocks", d.CheckpointBlocks, p.CheckpointBlocks);
        k.Equal("EndBlock", d.EndBlock, p.EndBlock);
    };
    if (Superblocks(file, s, kDataSuperblockRule, at, v->DataSuperblocks, check, sb))
        SmallCheckpoint(file, s, "DataCheckpoint", kDataCheckpointSignature, NB_DATA_CHECKPOINT_HEADER_VALUE,
                        sb.CheckpointBlock * b, p.CheckpointSize, &v->Checkpoint);
}

void Metadata6(const Checker& file, Source& s, NbV6FileView* v) {
    const Checker c = file.In("MetadataHeaderV6");
    const auto h = Header6<MetadataHeaderV6>(c, s, kMetadataHeaderV6Size, kMetadataMagic);
    v->Metadata = h;
    c.That(h.FirstSuperblockOffset % NB_64K == 0 && h.FirstSuperblockOffset != 0,
           "FirstSuperblockOffset is not a non-zero multiple of 65536");
    c.Equal("SecondSuperblockOffset", h.SecondSuperblockOffset, h.FirstSuperblockOffset + NB_64K);
    // The first copy's offset stands for the old file size: the rest follows.
    MetadataPlacement p {};
    if (!c.That(NbPlaceMetadata(h.FirstSuperblockOffset, h.MetadataAlignment, &p) == NB_OK,
                "MetadataAlignment 0 has no placement"))
        return;
    v->SuperblocksPlaced = true;
    const std::uint64_t at[2] = {h.FirstSuperblockOffset, h.SecondSuperblockOffset};
    MetadataSuperblock sb {};
    const auto check = [&](const Checker& k, const MetadataSuperblock& m) {
        k.Equal("CheckpointOffset", m.CheckpointOffset, p.CheckpointOffset);
        k.That(m.CheckpointOffset % h.MetadataAlignment == 0, "CheckpointOffset is not a multiple of MetadataAlignment");
        k.Equal("CheckpointSize", m.CheckpointSize, NB_METADATA_CHECKPOINT_SIZE);
        k.Equal("SecondCheckpointOffset", m.SecondCheckpointOffset, p.CheckpointOffset);
        k.Equal("SecondCheckpointSize", m.SecondCheckpointSize, NB_METADATA_CHECKPOINT_SIZE);
        k.Equal("CheckpointEndOffset", m.CheckpointEndOffset, p.CheckpointEnd);
        k.Equal("AlignedEndOffset", m.AlignedEndOffset, p.AlignedEnd);
        k.Equal("SecondAlignedEndOffset", m.SecondAlignedEndOffset, p.AlignedEnd);
    };
    if (Superblocks(file, s, kMetadataSuperblockRule, at, v->MetadataSuperblocks, check, sb))
        SmallCheckpoint(file, s, "MetadataCheckpoint", kMetadataCheckpointSignature, NB_METADATA_CHECKPOINT_HEADER_VALUE,
                        sb.CheckpointOffset, NB_METADATA_CHECKPOINT_SIZE, &v->Checkpoint);
}

std::string Label(std::size_t index) {
    return index == 0 ? "map" : index == 1 ? "data" : NbText("metadata %zu", index - 1);
}

}  // namespace

std::string NbFindingText(const NbFinding& f) {
    return f.File + (f.Record.empty() ? "" : " " + f.Record) + ": " + f.Reason;
}

NbResult NbVerifyV6File(NbImageFile kind, const std::string& label, const char* fileName, NbVerifyDepth depth,
                        NbV6FileView* view, std::vector<NbFinding>* findings) {
    *view = NbV6FileView {};
    view->Kind = kind;
    const Checker file {findings, label, ""};
    Source s;
    s.depth = depth;
    NbResult code = s.file.Create(fileName, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    if (code == NB_OK) code = s.file.Query(&s.size);
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(s.size, kHeadBytes));
    if (code == NB_OK && n != 0) code = s.file.SeekRead(0, s.head, n, nullptr);
    if (code != NB_OK) return file.Fail(NbText("cannot be read: error %u", code)), code;
    view->Size = s.size;
    const std::size_t header = kind == NbImageFile::Map    ? kMapHeaderV6Size
                               : kind == NbImageFile::Data ? kDataHeaderV6Size
                                                           : kMetadataHeaderV6Size;
    if (!file.That(s.size >= header, NbText("is %" PRIu64 " bytes, shorter than its layout 6 header of %zu bytes", s.size, header)))
        return NB_OK;
    (kind == NbImageFile::Map ? Map6 : kind == NbImageFile::Data ? Data6 : Metadata6)(file, s, view);
    return s.error;
}

void NbVerifyV6CrossCheck(const std::vector<NbV6FileView>& views, std::vector<NbFinding>* findings) {
    if (views.size() < 3) return;
    const Checker c {findings, "image", ""};
    const auto guid = [](const NbV6FileView& v) {
        return v.Kind == NbImageFile::Map ? v.Map.DataGuid : v.Kind == NbImageFile::Data ? v.Data.Guid : v.Metadata.Guid;
    };
    const MetadataHeaderV6& first = views[2].Metadata;
    for (std::size_t i = 0; i < views.size(); ++i) {
        c.That(guid(views[i]) == guid(views[1]),
               NbText("%s names the data Guid %" PRId64 ", the data file has %" PRId64, Label(i).c_str(),
                   static_cast<std::int64_t>(guid(views[i])), static_cast<std::int64_t>(guid(views[1]))));
        const MetadataHeaderV6& m = views[i].Metadata;
        c.That(views[i].Kind != NbImageFile::Metadata ||
                   (m.ImageParameterA == first.ImageParameterA && m.MetadataAlignment == first.MetadataAlignment &&
                    m.ImageParameterC == first.ImageParameterC),
               Label(i) + ": ImageParameterA, MetadataAlignment or ImageParameterC differ from metadata 1");
    }
}

NbResult NbVerifyV6Image(const char* mapFileName, const char* dataFileName, char** metadataFileNames,
                         std::uint32_t metadataFileCount, NbVerifyDepth depth, std::vector<NbFinding>* findings) {
    std::vector<NbV6FileView> views(2 + static_cast<std::size_t>(metadataFileCount));
    NbResult first = NB_OK;
    for (std::size_t i = 0; i < views.size(); ++i) {
        const NbImageFile kind = i == 0 ? NbImageFile::Map : i == 1 ? NbImageFile::Data : NbImageFile::Metadata;
        const char* name = i == 0 ? mapFileName : i == 1 ? dataFileName : metadataFileNames[i - 2];
        const NbResult code = NbVerifyV6File(kind, Label(i), name, depth, &views[i], findings);
        if (code != NB_OK && first == NB_OK) first = code;
    }
    if (first == NB_OK) NbVerifyV6CrossCheck(views, findings);
    return first;
}

NbResult NbVerifyConversion(const char* dataFileName, const char* mapFileName, char** metadataFileNames,
                            std::uint32_t metadataFileCount) {
    static const char kName[] = "NbVerifyConversion";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    std::vector<NbFinding> findings;
    const NbResult code =
        NbVerifyV6Image(mapFileName, dataFileName, metadataFileNames, metadataFileCount, NbVerifyDepth::Records, &findings);
    if (code != NB_OK) NB_RETURN(kName, code);
    if (findings.empty()) NB_RETURN(kName, NB_OK);
    NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** %s %u %s\n", kName, NB_INVALID_DATA, NbFindingText(findings[0]).c_str());
    NB_RETURN(kName, NB_INVALID_DATA);
}
