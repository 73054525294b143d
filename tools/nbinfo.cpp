// nbinfo: shows every header, superblock and checkpoint of an image's files and checks them against
// the layout rules. It only reads: every file is opened as an existing file, for reading, shared for
// reading, so it can run beside anything but a conversion of the same image.
#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "legacy/legacy.h"
#include "legacy/legacy_headers.h"
#include "platform/checksum.h"
#include "platform/endian.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/trace.h"
#include "version6/records.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<const char*>;

constexpr std::uint32_t kHeadBytes = 4096;  // as much of each file as detection reads

const char kUsage[] =
    "Usage: nbinfo [--json] MAPBASE DATABASE METADATABASE [METADATABASE...]\n"
    "Shows the headers, superblocks and checkpoints of the image whose files are\n"
    "MAPBASE.nbbitmap, DATABASE.nbdata and each METADATABASE.nbmetadata, and checks\n"
    "them: one line \"FAIL ...\" per inconsistency. Nothing is written.\n"
    "  --json   print one JSON document instead of text\n"
    "  --help   print this text\n"
    "Exit status: 0 consistent, 1 inconsistent, 2 usage error or a missing or short file.\n";

__attribute__((format(printf, 1, 2))) std::string Fmt(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

// Printable ASCII stays; every other byte is escaped, so that a damaged
// signature shows which byte is wrong.
std::string Escape(const std::string& raw, bool json) {
    std::string out;
    for (const unsigned char ch : raw) {
        if (ch == '"' || ch == '\\') out += '\\';
        out += ch >= 0x20 && ch < 0x7F ? std::string(1, static_cast<char>(ch)) : Fmt(json ? "\\u%04x" : "\\x%02x", ch);
    }
    return "\"" + out + "\"";
}

// What was found, written as it is found: indented text with a line
// "FAIL ..." per finding, or one JSON document with the same keys that the
// findings and the verdict close.
class Report {
public:
    explicit Report(bool json) : json_(json) {}
    // A group: a JSON object under key (no key inside a list), a heading line in the text.
    void Open(const std::string& key, const std::string& heading) {
        if (!json_) std::printf("%s%s\n", Indent().c_str(), heading.c_str());
        Begin(key, '{');
    }
    // A JSON array of groups; nothing of its own in the text.
    void List(const std::string& key) { Begin(key, '['); }
    void Close() {
        const char bracket = closers_.back() == '{' ? '}' : ']';
        closers_.pop_back();
        if (json_) out_ += (first_ ? "" : "\n" + std::string(2 * closers_.size() + 2, ' ')) + bracket;
        first_ = false;
    }
    // An empty text leaves the field out of the text output.
    void Field(const std::string& key, const std::string& text, const std::string& json) {
        if (!json_ && !text.empty()) std::printf("%s%s: %s\n", Indent().c_str(), key.c_str(), text.c_str());
        if (json_) Next(key), out_ += json;
    }
    void Number(const std::string& key, std::uint64_t v) { Field(key, std::to_string(v), std::to_string(v)); }
    void Flag(const std::string& key, bool v) { Field(key, v ? "yes" : "no", v ? "true" : "false"); }
    void Fail(const std::string& where, const std::string& what) {
        if (!json_) std::printf("FAIL %s: %s\n", where.c_str(), what.c_str());
        findings_.push_back(where + ": " + what);
    }
    // Prints the verdict; the exit status: 0 consistent, 1 not.
    int Finish() {
        if (!json_)
            std::printf("Result: %s\n", findings_.empty() ? "consistent" : Fmt("%zu finding(s)", findings_.size()).c_str());
        else {
            List("findings");
            for (const std::string& f : findings_) Next(""), out_ += Escape(f, true);
            Close();
            Flag("ok", findings_.empty());
            std::printf("{%s\n}\n", out_.c_str());
        }
        return findings_.empty() ? 0 : 1;
    }

private:
    void Begin(const std::string& key, char kind) {
        if (json_) Next(key), out_ += kind;
        closers_ += kind;
        first_ = true;
    }
    void Next(const std::string& key) {
        out_ += (first_ ? "\n" : ",\n") + std::string(2 * closers_.size() + 2, ' ');
        if (closers_.empty() || closers_.back() == '{') out_ += Escape(key, true) + ": ";
        first_ = false;
    }
    std::string Indent() const { return std::string(2 * std::count(closers_.begin(), closers_.end(), '{'), ' '); }

    bool json_, first_ = true;
    std::string out_, closers_;  // the JSON so far; the kind of each open container
    std::vector<std::string> findings_;
};

// Shows a record's fields in the order its layout function visits them,
// under the names the code gives them. Identifiers print as signed 64-bit
// decimals, as the converter prints them (JSON strings, so that no reader
// rounds them); checksums in hexadecimal; block numbers also in bytes.
class FieldPrinter {
public:
    FieldPrinter(Report& r, const Names& names, std::uint64_t blockSize) : r_(r), names_(names), blockSize_(blockSize) {}
    void U16(std::size_t, std::uint16_t& v) { Value(v); }
    void U32(std::size_t, std::uint32_t& v) { Value(v); }
    void U64(std::size_t, std::uint64_t& v) { Value(v); }
    void Bytes(std::size_t, void* v, std::size_t n) {
        const std::string key = Next();
        std::string raw(static_cast<const char*>(v), n);
        if (key == "MapText") raw = raw.substr(0, raw.find('\0'));
        r_.Field(key, Escape(raw, false), Escape(raw, true));
    }
    bool Done() const { return next_ == names_.size(); }

private:
    std::string Next() {
        if (Done()) std::abort();  // a name list out of step with its record
        return names_[next_++];
    }
    void Value(std::uint64_t v) {
        const std::string key = Next();
        if (const bool guid = key.ends_with("Guid"); guid || key.ends_with("Crc")) {
            const std::string n = guid ? Fmt("%" PRId64, static_cast<std::int64_t>(v)) : Fmt("0x%08" PRIx64, v);
            return r_.Field(key, n, "\"" + n + "\"");
        }
        if (blockSize_ == 0 || !(key.ends_with("Block") || key.ends_with("Blocks"))) return r_.Number(key, v);
        r_.Field(key, Fmt("%" PRIu64 " blocks = %" PRIu64 " bytes", v, v * blockSize_), std::to_string(v));
        r_.Field(key + "Bytes", "", std::to_string(v * blockSize_));
    }
    Report& r_;
    const Names& names_;
    std::size_t next_ = 0;
    std::uint64_t blockSize_;
};

template <class Record>
void Fields(Report& r, Record record, const Names& names, std::uint64_t blockSize = 0) {
    FieldPrinter printer(r, names, blockSize);
    Layout(printer, record);
    if (!printer.Done()) std::abort();
}

template <class Record>
void Show(Report& r, const char* name, const Record& record, const Names& names, std::uint64_t blockSize = 0) {
    r.Open(name, name);
    Fields(r, record, names, blockSize);
    r.Close();
}

// Field names of the version 6 headers, in the order of their layout functions.
const Names kMapHeaderV6Names {"Signature", "HeaderLength", "Guid", "Version", "MapType", "ImageSize", "DataGuid",
                               "FirstSuperblockOffset", "SecondSuperblockOffset", "MapDataOffset", "MapReference",
                               "MapTableSize", "MapPageSize", "MapText"};
const Names kDataHeaderV6Names {"Signature", "HeaderLength", "Guid", "Version", "BlockSize", "FirstSuperblockBlock",
                                "SecondSuperblockBlock", "DataSequence"};
const Names kMetadataHeaderV6Names {"Signature", "HeaderLength", "Guid", "Version", "ImageParameterA",
                                    "MetadataAlignment", "ImageParameterC", "FileParameterB", "Sequence",
                                    "FirstSuperblockOffset", "SecondSuperblockOffset"};

// A kind of superblock or checkpoint: its size (a checkpoint's: of its head, 0 for all of it), the
// bytes its CRC covers and where the CRC lies, its signature, a checkpoint's HeaderValue, its fields.
struct Rule {
    const char* name;
    std::size_t size, covered, crcOffset;
    NbSignature signature;
    std::uint32_t headerValue;
    Names names;
};
const Rule kMapSuperblockRule {"MapSuperblock", NB_SUPERBLOCK_BLOCK, kMapSuperblockSize, kMapSuperblockCrcOffset,
                               kMapSuperblockSignature, 0,
                               {"Signature", "Crc", "CheckpointOffset", "CheckpointSize", "MapEndOffset"}};
const Rule kDataSuperblockRule {"DataSuperblock", kDataSuperblockSize, kDataSuperblockSize, kDataSuperblockCrcOffset,
                                kDataSuperblockSignature, 0,
                                {"Signature", "Crc", "CheckpointBlock", "CheckpointBlocks", "EndBlock"}};
const Rule kMetadataSuperblockRule {
    "MetadataSuperblock", kMetadataSuperblockSize, kMetadataSuperblockSize, kMetadataSuperblockCrcOffset,
    kMetadataSuperblockSignature, 0,
    {"Signature", "CheckpointOffset", "CheckpointSize", "SecondCheckpointOffset", "SecondCheckpointSize",
     "FileParameterA", "CheckpointEndOffset", "AlignedEndOffset", "SecondAlignedEndOffset", "Crc"}};
const Rule kMapCheckpointRule {"MapCheckpoint", kMapCheckpointHeadSize, 0, kMapCheckpointCrcOffset,
                               kMapCheckpointSignature, NB_MAP_CHECKPOINT_HEADER_VALUE,
                               {"Signature", "HeaderValue", "HeaderCrc", "TableValue", "Crc", "PageCount", "PageCrc"}};
const Rule kDataCheckpointRule {"DataCheckpoint", 0, 0, kCheckpointCrcOffset, kDataCheckpointSignature,
                                NB_DATA_CHECKPOINT_HEADER_VALUE, {"Signature", "HeaderValue", "HeaderCrc", "Crc"}};
const Rule kMetadataCheckpointRule {"MetadataCheckpoint", 0, 0, kCheckpointCrcOffset, kMetadataCheckpointSignature,
                                    NB_METADATA_CHECKPOINT_HEADER_VALUE, {"Signature", "HeaderValue", "HeaderCrc", "Crc"}};

// The converter's trace lines would only repeat what the findings tell.
NbResult Quiet(std::uint32_t, void*, const char*, ...) { return NB_OK; }

enum class Kind { Map, Data, Metadata };

// One file of the image, open for the whole run.
struct Source {
    Kind kind;
    std::string label;  // "map", "data", "metadata 1"
    std::string name;
    CNimbraFile file;
    std::uint64_t size = 0;
    Bytes head = Bytes(kHeadBytes);  // the file's first bytes, zero behind its end
    std::uint32_t layout = 0;
    std::uint64_t dataGuid = 0;  // the data file's identifier as this file names it (layout 6)
};

// Findings about one record; where names the file and the record.
struct Checker {
    Report& r;
    std::string where;

    void Fail(const std::string& what) const { r.Fail(where, what); }
    bool That(bool ok, const std::string& what) const {
        if (!ok) Fail(what);
        return ok;
    }
    void Equal(const char* field, std::uint64_t actual, std::uint64_t expected) const {
        That(actual == expected, Fmt("%s is %" PRIu64 ", the layout gives %" PRIu64, field, actual, expected));
    }
    void Chars(const char* field, const char* actual, const char* expected, std::size_t n) const {
        That(std::memcmp(actual, expected, n) == 0, Fmt("%s is not \"%.*s\"", field, static_cast<int>(n), expected));
    }
    // Recomputes the CRC of bytes[0, covered) with its field at crcOffset zero.
    bool Crc(const char* field, const Bytes& bytes, std::size_t covered, std::size_t crcOffset) const {
        Bytes copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(covered));
        PutLe32(copy.data(), crcOffset, 0);
        const std::uint32_t stored = GetLe32(bytes.data(), crcOffset);
        const std::uint32_t computed = NbCrc32(copy.data(), static_cast<std::uint32_t>(covered));
        return That(stored == computed, Fmt("%s is 0x%08x, computed 0x%08x", field, stored, computed));
    }
    // Decodes a record with the converter's layout function and checks that
    // every byte of its size that the layout leaves undefined is zero.
    template <class Record>
    Record Decode(const Bytes& bytes, std::size_t size) const {
        const Record record = DecodeRecord<Record>(bytes.data());
        Bytes again(size);
        EncodeRecord(record, again.data(), size);
        const auto diff = std::mismatch(again.begin(), again.end(), bytes.begin());
        if (diff.first != again.end())
            Fail(Fmt("byte %td is 0x%02x where the layout has zero", diff.first - again.begin(), *diff.second));
        return record;
    }
};

// count bytes at offset; false, with a finding, when they lie beyond the
// file's end or cannot be read.
bool ReadAt(const Checker& c, Source& s, std::uint64_t offset, std::uint64_t count, Bytes& out) {
    if (offset > s.size || count > s.size - offset || count > (1u << 30))
        return c.That(false, Fmt("bytes %" PRIu64 " to %" PRIu64 " lie beyond the file's end at %" PRIu64, offset,
                                 offset + count, s.size));
    out.assign(count, 0);
    const NbResult code = s.file.SeekRead(offset, out.data(), static_cast<std::uint32_t>(count), nullptr);
    return c.That(code == NB_OK, Fmt("cannot be read at %" PRIu64 ": error %u", offset, code));
}

// Both copies of a superblock, each read, shown and checked (check gets the
// copy); the second must equal the first byte for byte. follow is the copy a
// reader would take to the checkpoint: the first whose CRC holds.
template <class Superblock, class Check>
bool Superblocks(Report& r, Source& s, const Rule& rule, const std::uint64_t at[2], std::uint64_t blockSize,
                 Check check, Superblock& follow) {
    Bytes copies[2];
    bool found = false, sound = false;
    r.List(rule.name);
    for (int i = 0; i < 2; ++i) {
        const Checker k {r, Fmt("%s %s %d", s.label.c_str(), rule.name, i + 1)};
        if (!ReadAt(k, s, at[i], rule.size, copies[i])) continue;
        const auto sb = k.Decode<Superblock>(copies[i], rule.size);
        r.Open("", Fmt("%s %d", rule.name, i + 1));
        r.Number("Offset", at[i]);
        Fields(r, sb, rule.names, blockSize);
        r.Close();
        k.Chars("Signature", sb.Signature.Text, rule.signature.Text, 8);
        const bool crc = k.Crc("Crc", copies[i], rule.covered, rule.crcOffset);
        check(k, sb);
        if (!found || (!sound && crc)) follow = sb;
        found = true;
        sound = sound || crc;
    }
    r.Close();
    if (!copies[0].empty() && !copies[1].empty() && copies[0] != copies[1]) {
        const auto diff = std::mismatch(copies[0].begin(), copies[0].end(), copies[1].begin());
        r.Fail(Fmt("%s %s 2", s.label.c_str(), rule.name),
               Fmt("differs from copy 1 from byte %td on", diff.first - copies[0].begin()));
    }
    return found;
}

// A checkpoint read, its head shown and checked with both CRCs; the group
// stays open for what follows the head. false when it cannot be read.
template <class Head>
bool Checkpoint(Report& r, Source& s, const Rule& rule, std::uint64_t at, std::uint64_t size, Bytes& cp, Head& head) {
    const Checker k {r, s.label + " " + rule.name};
    if (!ReadAt(k, s, at, size, cp)) return false;
    head = k.Decode<Head>(cp, rule.size != 0 ? rule.size : cp.size());
    r.Open(rule.name, rule.name);
    r.Number("Offset", at);
    Fields(r, head, rule.names);
    k.Chars("Signature", head.Signature.Text, rule.signature.Text, 8);
    k.Equal("HeaderValue", head.HeaderValue, rule.headerValue);
    k.Crc("HeaderCrc", cp, kCheckpointHeaderCrcCovers, kCheckpointHeaderCrcOffset);
    k.Crc("Crc", cp, cp.size(), rule.crcOffset);
    return true;
}

// Field names of a legacy header: the shared opening's, then its own.
Names Legacy(std::initializer_list<const char*> own) {
    Names names {"Signature", "HeaderLength", "Guid"};
    names.insert(names.end(), own);
    return names;
}

void LegacyHeader(Report& r, const Source& s) {
    const std::uint8_t* h = s.head.data();
    const std::uint32_t layout = s.layout;
    if (s.kind == Kind::Map) {
        const bool extended = GetLe16(h, layout == 4 ? 20 : 16) == 1;
        const Names v3 = Legacy({"MapType", "Reserved", "ImageSize", "DataGuid", "MapReference", "MapDataOffset",
                                 "MapTableSize", "MapPageSize", "MapText"});
        const Names v4 = Legacy({"Version", "MapType", "ImageSize", "DataGuid", "MapDataOffset", "MapReference",
                                 "MapTableSize", "MapPageSize", "MapText"});
        if (layout == 2) Show(r, "MapHeaderV2", DecodeRecord<MapHeaderV2>(h), Legacy({"ImageSize", "Reserved", "DataGuid"}));
        if (layout == 3 && !extended) Show(r, "MapHeaderV3", DecodeRecord<MapHeaderV3>(h), Names(v3.begin(), v3.begin() + 7));
        if (layout == 3 && extended) Show(r, "MapHeaderV3Extended", DecodeRecord<MapHeaderV3Extended>(h), v3);
        if (layout == 4 && !extended) Show(r, "MapHeaderV4", DecodeRecord<MapHeaderV4>(h), Names(v4.begin(), v4.begin() + 8));
        if (layout == 4 && extended) Show(r, "MapHeaderV4Extended", DecodeRecord<MapHeaderV4Extended>(h), v4);
    } else if (s.kind == Kind::Data) {
        if (layout == 2) Show(r, "DataHeaderV2", DecodeRecord<DataHeaderV2>(h), Legacy({"BlockSize", "ImageParameterA"}));
        if (layout == 3) Show(r, "DataHeaderV3", DecodeRecord<DataHeaderV3>(h), Legacy({"BlockSize", "Reserved"}));
        if (layout == 4) Show(r, "DataHeaderV4", DecodeRecord<DataHeaderV4>(h), Legacy({"Version", "BlockSize"}));
        if (const std::uint32_t blockSize = GetLe32(h, layout == 4 ? 20 : 16)) r.Number("SizeBlocks", s.size / blockSize);
    } else {
        Names v4 = Legacy({"Version", "ImageParameterA", "MetadataAlignment", "FileParameterA", "FileParameterB",
                           "ImageParameterC"});
        if (layout == 2) Show(r, "MetadataHeaderV2", DecodeRecord<MetadataHeaderV2>(h), Legacy({"MetadataAlignment", "FileParameterA"}));
        if (layout == 4) Show(r, "MetadataHeaderV4", DecodeRecord<MetadataHeaderV4>(h), v4);
        v4.erase(v4.begin() + 3);  // layout 3 has no Version
        if (layout == 3) Show(r, "MetadataHeaderV3", DecodeRecord<MetadataHeaderV3>(h), v4);
    }
}

// A version 6 file header: shown, with its magic, length and version checked.
template <class Header>
Header Header6(Report& r, const Source& s, const char* name, std::size_t size, const NbMagic& magic, const Names& names) {
    const Checker c {r, s.label + " " + name};
    const auto h = c.Decode<Header>(s.head, size);
    std::uint64_t blockSize = 0;
    if constexpr (requires { h.BlockSize; }) blockSize = h.BlockSize;
    Show(r, name, h, names, blockSize);
    c.Chars("Signature", h.Signature.Text, magic.Text, 4);
    c.Equal("HeaderLength", h.HeaderLength, size);
    c.Equal("Version", h.Version, NB_V6_VERSION);
    return h;
}

// The page table of a compacted map: the retained pages follow one another
// from MapDataOffset in table order, the superblocks follow them, and
// PageCrc runs over them in the order of their new offsets.
void PageTable(Report& r, Source& s, const Checker& c, const MapHeaderV6& h, const MapCheckpointHead& head,
               std::vector<std::pair<std::uint32_t, std::uint32_t>> kept) {
    const Checker t {r, s.label + " MapCheckpoint PageTable"};
    t.Equal("PageCount", head.PageCount, kept.size());
    t.That(h.MapDataOffset % NB_MAP_PAGE == 0, "MapDataOffset of a compacted map is not a multiple of 4096");
    c.Equal("FirstSuperblockOffset", h.FirstSuperblockOffset,
            NbRoundUp(h.MapDataOffset + static_cast<std::uint64_t>(NB_MAP_PAGE) * kept.size(), NB_64K));
    bool inFile = true;
    for (std::size_t j = 0; j < kept.size(); ++j) {
        const auto [e, i] = kept[j];
        const std::uint64_t at = static_cast<std::uint64_t>(e) * NB_MAP_PAGE, expected = h.MapDataOffset / NB_MAP_PAGE + j;
        const std::string entry = Fmt("entry %u = %u (page at %" PRIu64 ")", i, e, at);
        if (at + NB_MAP_PAGE > s.size)
            inFile = t.That(false, entry + Fmt(" points outside the map file of %" PRIu64 " bytes", s.size));
        else if (at < std::max<std::uint64_t>(h.MapDataOffset, kMapHeaderV6Size))
            t.Fail(entry + " overlaps the header");
        else if (at + NB_MAP_PAGE > h.FirstSuperblockOffset)
            t.Fail(entry + " overlaps the superblocks or the checkpoint");
        else if (e != expected)
            t.Fail(entry + Fmt(", the compaction puts it at page %" PRIu64, expected));
    }
    if (!inFile) return;
    std::sort(kept.begin(), kept.end());
    std::uint32_t crc = 0;
    Bytes page;
    for (const auto& [e, i] : kept) {
        if (!ReadAt(t, s, static_cast<std::uint64_t>(e) * NB_MAP_PAGE, NB_MAP_PAGE, page)) return;
        crc = NbCrc32Update(page.data(), NB_MAP_PAGE, crc);
    }
    t.That(crc == head.PageCrc, Fmt("PageCrc is 0x%08x, the retained pages give 0x%08x", head.PageCrc, crc));
}

void Map6(Report& r, Source& s) {
    const Checker c {r, s.label + " MapHeaderV6"};
    const auto h = Header6<MapHeaderV6>(r, s, "MapHeaderV6", kMapHeaderV6Size, kMapMagic, kMapHeaderV6Names);
    s.dataGuid = h.DataGuid;
    c.Equal("MapType", h.MapType, 1);
    c.That(h.MapPageSize != 0, "MapPageSize is 0");
    c.That(h.FirstSuperblockOffset % NB_64K == 0, "FirstSuperblockOffset is not a multiple of 65536");
    c.Equal("SecondSuperblockOffset", h.SecondSuperblockOffset, h.FirstSuperblockOffset + NB_64K);
    c.That(h.MapDataOffset >= kMapHeaderV6Size, "MapDataOffset lies inside the header");
    const std::uint64_t entries = h.MapTableSize / 4, checkpointSize = NbMapCheckpointSize(entries);
    const std::uint64_t at[2] = {h.FirstSuperblockOffset, h.SecondSuperblockOffset};
    MapSuperblock sb {};
    const auto check = [&](const Checker& k, const MapSuperblock& b) {
        k.Equal("CheckpointOffset", b.CheckpointOffset, h.FirstSuperblockOffset + 2 * NB_64K);
        k.Equal("CheckpointSize", b.CheckpointSize, checkpointSize);
        if (h.MapPageSize != 0)
            k.Equal("MapEndOffset", b.MapEndOffset, NbRoundUp(b.CheckpointOffset + b.CheckpointSize, h.MapPageSize));
    };
    Bytes cp;
    MapCheckpointHead head {};
    const std::size_t tableEnd = kMapCheckpointHeadSize + 4 * entries;
    if (!Superblocks(r, s, kMapSuperblockRule, at, 0, check, sb) || sb.CheckpointSize < tableEnd ||
        !Checkpoint(r, s, kMapCheckpointRule, sb.CheckpointOffset, sb.CheckpointSize, cp, head))
        return;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> kept;  // page number, table index
    for (std::uint32_t i = 0; i < entries; ++i)
        if (const std::uint32_t e = GetLe32(cp.data(), kMapCheckpointHeadSize + 4 * i); e != 0xFFFFFFFFu)
            kept.emplace_back(e, i);
    // An extended map's table is copied as it stood: its entries are the
    // map's own, not page numbers of this file.
    const bool copied = head.PageCount == 0 && !kept.empty();
    r.Open("PageTable", "PageTable");
    r.Number("Entries", entries);
    r.Number("Used", kept.size());
    r.Flag("CopiedTable", copied);
    r.Close();
    r.Close();
    const Checker k {r, s.label + " MapCheckpoint"};
    k.Equal("TableValue", head.TableValue, NB_MAP_CHECKPOINT_TABLE_VALUE);
    const auto tail = std::find_if(cp.begin() + static_cast<std::ptrdiff_t>(tableEnd), cp.end(), [](auto b) { return b != 0; });
    k.That(tail == cp.end(), Fmt("byte %td behind the page table is not zero", tail - cp.begin()));
    if (!copied) return PageTable(r, s, c, h, head, kept);
    c.That(h.FirstSuperblockOffset >= static_cast<std::uint64_t>(h.MapDataOffset) + h.MapTableSize,
           "FirstSuperblockOffset lies inside the map table");
}

void Data6(Report& r, Source& s) {
    const Checker c {r, s.label + " DataHeaderV6"};
    const auto h = Header6<DataHeaderV6>(r, s, "DataHeaderV6", kDataHeaderV6Size, kDataMagic, kDataHeaderV6Names);
    const std::uint64_t b = h.BlockSize, s1 = h.FirstSuperblockBlock;
    s.dataGuid = h.Guid;
    DataPlacement p {};
    if (!c.That(b != 0 && s1 != 0 && NbPlaceDataFrom(h.BlockSize, s1, &p) == NB_OK,
                "BlockSize 0 or FirstSuperblockBlock 0 has no placement"))
        return;
    r.Number("SizeBlocks", s.size / b);
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
    Bytes cp;
    CheckpointHead head {};
    if (Superblocks(r, s, kDataSuperblockRule, at, b, check, sb) &&
        Checkpoint(r, s, kDataCheckpointRule, sb.CheckpointBlock * b, p.CheckpointSize, cp, head))
        r.Close();
}

void Metadata6(Report& r, Source& s) {
    const Checker c {r, s.label + " MetadataHeaderV6"};
    const auto h = Header6<MetadataHeaderV6>(r, s, "MetadataHeaderV6", kMetadataHeaderV6Size, kMetadataMagic,
                                             kMetadataHeaderV6Names);
    s.dataGuid = h.Guid;
    c.That(h.FirstSuperblockOffset % NB_64K == 0 && h.FirstSuperblockOffset != 0,
           "FirstSuperblockOffset is not a non-zero multiple of 65536");
    c.Equal("SecondSuperblockOffset", h.SecondSuperblockOffset, h.FirstSuperblockOffset + NB_64K);
    // The first copy's offset stands for the old file size: the rest follows.
    MetadataPlacement p {};
    if (!c.That(NbPlaceMetadata(h.FirstSuperblockOffset, h.MetadataAlignment, &p) == NB_OK,
                "MetadataAlignment 0 has no placement"))
        return;
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
    Bytes cp;
    CheckpointHead head {};
    if (Superblocks(r, s, kMetadataSuperblockRule, at, 0, check, sb) &&
        Checkpoint(r, s, kMetadataCheckpointRule, sb.CheckpointOffset, NB_METADATA_CHECKPOINT_SIZE, cp, head))
        r.Close();
}

// Every file names the one data file, and the metadata files agree on the
// image-wide values they repeat.
void CrossCheck(Report& r, const std::vector<std::unique_ptr<Source>>& files) {
    const Checker c {r, "image"};
    const MetadataHeaderV6 first = DecodeRecord<MetadataHeaderV6>(files[2]->head.data());
    for (const auto& f : files) {
        c.That(f->dataGuid == files[1]->dataGuid,
               Fmt("%s names the data Guid %" PRId64 ", the data file has %" PRId64, f->label.c_str(),
                   static_cast<std::int64_t>(f->dataGuid), static_cast<std::int64_t>(files[1]->dataGuid)));
        const auto m = DecodeRecord<MetadataHeaderV6>(f->head.data());
        c.That(f->kind != Kind::Metadata || (m.ImageParameterA == first.ImageParameterA &&
                                             m.MetadataAlignment == first.MetadataAlignment &&
                                             m.ImageParameterC == first.ImageParameterC),
               f->label + ": ImageParameterA, MetadataAlignment or ImageParameterC differ from metadata 1");
    }
}

// The header a kind of file has in a layout (the extended map header when
// the map says it has one); 16 bytes, the shared opening, for others.
std::size_t HeaderSize(Kind kind, std::uint32_t layout, const Bytes& head) {
    const bool extended = GetLe16(head.data(), layout == 4 ? 20 : 16) == 1;
    const std::size_t sizes[7][3] = {
        {}, {}, {kMapHeaderV2Size, kDataHeaderV2Size, kMetadataHeaderV2Size},
        {extended ? kMapHeaderV3ExtendedSize : kMapHeaderV3Size, kDataHeaderV3Size, kMetadataHeaderV3Size},
        {extended ? kMapHeaderV4ExtendedSize : kMapHeaderV4Size, kDataHeaderV4Size, kMetadataHeaderV4Size},
        {}, {kMapHeaderV6Size, kDataHeaderV6Size, kMetadataHeaderV6Size}};
    return layout < 7 && sizes[layout][0] != 0 ? sizes[layout][static_cast<int>(kind)] : 16;
}

// The converter's detection decides when the files share a layout. A file
// whose own header says layout 6 is taken at its word; when detection finds
// no common layout (a conversion that stopped between files leaves some in
// layout 6), each other file is judged by its version field, else by the
// legacy layout the header lengths point to.
void AssignLayouts(std::vector<std::unique_ptr<Source>>& files) {
    std::uint32_t detected = 0;
    const NbResult code =
        NbConvertGetVersion(files[1]->name.c_str(), files[0]->name.c_str(), files[2]->name.c_str(), detected);
    const bool three = GetLe32(files[2]->head.data(), 4) == NB_V3_METADATA_HEADER_LENGTH ||
                       GetLe32(files[0]->head.data(), 4) == NB_V3_MAP_EXTENDED_HEADER_LENGTH;
    for (auto& f : files) {
        const std::uint32_t version = GetLe32(f->head.data(), 16);
        const bool own6 = version == NB_V6_VERSION && GetLe32(f->head.data(), 4) == HeaderSize(f->kind, 6, f->head);
        f->layout = own6 ? 6 : code == NB_OK && detected != 0 ? detected : version == 4 ? 4 : three ? 3 : 2;
    }
}

// Opens a file and reads its head; exit status 2 with a message when the
// file cannot be had or is too short to hold any header.
int OpenSource(Source& s, const std::string& base, const char* extension) {
    char name[512];
    if (NbFormatName(name, sizeof name, "%s%s", base.c_str(), extension) != NB_OK)
        return std::fprintf(stderr, "nbinfo: the name %s%s is longer than 511 characters\n", base.c_str(), extension), 2;
    s.name = name;
    NbResult code = s.file.Create(name, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0);
    if (code == NB_OK) code = s.file.Query(&s.size);
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(s.size, kHeadBytes));
    if (code == NB_OK && n != 0) code = s.file.SeekRead(0, s.head.data(), n, nullptr);
    const char* reason = code == NB_FILE_NOT_FOUND      ? " (no such file)"
                         : code == NB_SHARING_VIOLATION ? " (a program that writes it has it open)" : "";
    if (code != NB_OK) std::fprintf(stderr, "nbinfo: cannot read %s: error %u%s\n", name, code, reason);
    else if (s.size < 16) std::fprintf(stderr, "nbinfo: %s is %" PRIu64 " bytes, too short for any header\n", name, s.size);
    return code != NB_OK || s.size < 16 ? 2 : 0;
}

int Run(int argc, char** argv) {
    NbTrace = Quiet;
    bool json = false;
    std::vector<std::string> bases;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help") return std::fputs(kUsage, stdout), 0;
        if (a == "--json") json = true;
        else if (a.size() > 1 && a[0] == '-') return std::fprintf(stderr, "nbinfo: unknown option %s\n%s", a.c_str(), kUsage), 2;
        else bases.push_back(a);
    }
    if (bases.size() < 3 || bases.size() > 2 + 65535)
        return std::fprintf(stderr, "nbinfo: give a map base, a data base and 1 to 65535 metadata bases\n%s", kUsage), 2;

    std::vector<std::unique_ptr<Source>> files;
    for (std::size_t i = 0; i < bases.size(); ++i) {
        auto s = std::make_unique<Source>();
        s->kind = i == 0 ? Kind::Map : i == 1 ? Kind::Data : Kind::Metadata;
        s->label = i == 0 ? "map" : i == 1 ? "data" : Fmt("metadata %zu", i - 1);
        if (const int status = OpenSource(*s, bases[i], i == 0 ? ".nbbitmap" : i == 1 ? ".nbdata" : ".nbmetadata"))
            return status;
        files.push_back(std::move(s));
    }
    AssignLayouts(files);
    for (const auto& f : files) {
        if (const std::size_t need = HeaderSize(f->kind, f->layout, f->head); f->size < need)
            return std::fprintf(stderr, "nbinfo: %s is %" PRIu64 " bytes, shorter than its layout %u header of %zu bytes\n",
                                f->name.c_str(), f->size, f->layout, need), 2;
    }

    Report r(json);
    const std::uint32_t layout = files[0]->layout;
    const bool same = std::all_of(files.begin(), files.end(), [&](const auto& f) { return f->layout == layout; });
    r.Number("Layout", same ? layout : 0);
    std::string each;
    for (const auto& f : files) each += Fmt("%s%s %u", each.empty() ? "" : ", ", f->label.c_str(), f->layout);
    if (!same) r.Fail("image", "the files carry different layouts: " + each);
    for (std::size_t i = 0; i < files.size(); ++i) {
        Source& f = *files[i];
        if (i == 2) r.List("metadata");
        r.Open(i == 0 ? "map" : i == 1 ? "data" : "", i == 0 ? "Map file" : i == 1 ? "Data file" : "Metadata file " + std::to_string(i - 1));
        r.Field("File", Escape(f.name, false), Escape(f.name, true));
        r.Number("Layout", f.layout);
        r.Number("Size", f.size);
        if (f.layout == 6)
            (f.kind == Kind::Map ? Map6 : f.kind == Kind::Data ? Data6 : Metadata6)(r, f);
        else if (f.layout >= 2 && f.layout <= 4)
            LegacyHeader(r, f);
        else {
            Show(r, "LegacyHeaderPrefix", DecodeRecord<LegacyHeaderPrefix>(f.head.data()), {"Signature", "HeaderLength", "Guid"});
            r.Fail(f.label, Fmt("layout %u is none of 2, 3, 4 and 6", f.layout));
        }
        r.Close();
    }
    r.Close();  // the list of metadata files
    if (same && layout == 6) CrossCheck(r, files);
    return r.Finish();
}

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv); }
