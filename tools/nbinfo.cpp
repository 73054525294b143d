// nbinfo: shows every header, superblock and checkpoint of an image's files and checks them against
// the layout rules. It only reads: every file is opened as an existing file, for reading, shared for
// reading, so it can run beside anything but a conversion of the same image.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "legacy/legacy_headers.h"
#include "platform/checksum.h"
#include "platform/endian.h"
#include "platform/file.h"
#include "platform/format.h"
#include "platform/names.h"
#include "platform/trace.h"
#include "driver/backup.h"
#include "driver/journal.h"
#include "driver/trust.h"
#include "driver/undo.h"
#include "platform/host.h"
#include "version6/plan.h"
#include "version6/reading.h"
#include "version6/records.h"
#include "version6/verify.h"
#include "version6/version6.h"

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
    "A legacy image is also judged as the converter would: \"FAIL convert: ...\".\n"
    "A conversion that did not finish, told by its journal beside the map file, is\n"
    "\"FAIL journal: ...\" and a line that says what to do.\n"
    "A layout 6 image is told undoable (\"Possible: yes\") when its undo record is\n"
    "trusted and every file and backup still matches it, as nbundo would judge.\n"
    "Exit status: 0 consistent, 1 inconsistent or not convertible, 2 usage error or\n"
    "a missing or short file.\n";

// Printable ASCII stays; every other byte is escaped, so that a damaged
// signature shows which byte is wrong.
std::string Escape(const std::string& raw, bool json) {
    std::string out;
    for (const unsigned char ch : raw) {
        if (ch == '"' || ch == '\\') out += '\\';
        out += ch >= 0x20 && ch < 0x7F ? std::string(1, static_cast<char>(ch)) : NbText(json ? "\\u%04x" : "\\x%02x", ch);
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
    // A line of its own in the text, a string under key in JSON: what to do, not a finding.
    void Note(const std::string& key, const std::string& text) {
        if (!json_) std::printf("%s%s\n", Indent().c_str(), text.c_str());
        if (json_) Next(key), out_ += Escape(text, true);
    }
    void Fail(const std::string& where, const std::string& what) {
        if (!json_) std::printf("FAIL %s: %s\n", where.c_str(), what.c_str());
        findings_.push_back(where + ": " + what);
    }
    // Prints the verdict; the exit status: 0 consistent, 1 not.
    int Finish() {
        if (!json_)
            std::printf("Result: %s\n", findings_.empty() ? "consistent" : NbText("%zu finding(s)", findings_.size()).c_str());
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
            const std::string n = guid ? NbText("%" PRId64, static_cast<std::int64_t>(v)) : NbText("0x%08" PRIx64, v);
            return r_.Field(key, n, "\"" + n + "\"");
        }
        if (blockSize_ == 0 || !(key.ends_with("Block") || key.ends_with("Blocks"))) return r_.Number(key, v);
        r_.Field(key, NbText("%" PRIu64 " blocks = %" PRIu64 " bytes", v, v * blockSize_), std::to_string(v));
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


// Field names of the superblocks and checkpoints, in the order of their layout functions.
const Names kMapSuperblockNames {"Signature", "Crc", "CheckpointOffset", "CheckpointSize", "MapEndOffset"};
const Names kDataSuperblockNames {"Signature", "Crc", "CheckpointBlock", "CheckpointBlocks", "EndBlock"};
const Names kMetadataSuperblockNames {"Signature", "CheckpointOffset", "CheckpointSize", "SecondCheckpointOffset",
                                      "SecondCheckpointSize", "FileParameterA", "CheckpointEndOffset",
                                      "AlignedEndOffset", "SecondAlignedEndOffset", "Crc"};
const Names kMapCheckpointNames {"Signature", "HeaderValue", "HeaderCrc", "TableValue", "Crc", "PageCount", "PageCrc"};
const Names kCheckpointNames {"Signature", "HeaderValue", "HeaderCrc", "Crc"};

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
};


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


template <class Superblock>
void ShowSuperblocks(Report& r, const char* name, const NbRecordAt<Superblock> (&copies)[2], const Names& names,
                     std::uint64_t blockSize = 0) {
    r.List(name);
    for (int i = 0; i < 2; ++i) {
        if (!copies[i].Read) continue;
        r.Open("", NbText("%s %d", name, i + 1));
        r.Number("Offset", copies[i].Offset);
        Fields(r, copies[i].Value, names, blockSize);
        r.Close();
    }
    r.Close();
}

// The group stays open for what follows the checkpoint's head.
template <class Head>
void ShowCheckpoint(Report& r, const char* name, const NbRecordAt<Head>& checkpoint, const Names& names) {
    r.Open(name, name);
    r.Number("Offset", checkpoint.Offset);
    Fields(r, checkpoint.Value, names);
}

// A layout 6 file: the records the verifier read, then its findings.
NbV6FileView Show6(Report& r, const Source& s) {
    NbV6FileView v;
    std::vector<NbFinding> findings;
    // Every retained map page is read once, in file order, for its checksum.
    const NbVerifyDepth depth = NbVerifyDepth::Pages;
    const NbImageFile kind = s.kind == Kind::Map ? NbImageFile::Map : s.kind == Kind::Data ? NbImageFile::Data : NbImageFile::Metadata;
    (void)NbVerifyV6File(kind, s.label, s.name.c_str(), depth, &v, &findings);  // a failure is a finding too
    if (s.kind == Kind::Map) {
        Show(r, "MapHeaderV6", v.Map, kMapHeaderV6Names);
        ShowSuperblocks(r, "MapSuperblock", v.MapSuperblocks, kMapSuperblockNames);
        if (v.MapCheckpoint.Read) {
            ShowCheckpoint(r, "MapCheckpoint", v.MapCheckpoint, kMapCheckpointNames);
            r.Open("PageTable", "PageTable");
            r.Number("Entries", v.TableEntries);
            r.Number("Used", v.TableUsed);
            r.Flag("CopiedTable", v.CopiedTable);
            r.Close();
            r.Close();
        }
    } else if (s.kind == Kind::Data) {
        Show(r, "DataHeaderV6", v.Data, kDataHeaderV6Names, v.Data.BlockSize);
        if (v.SuperblocksPlaced) {
            r.Number("SizeBlocks", s.size / v.Data.BlockSize);
            ShowSuperblocks(r, "DataSuperblock", v.DataSuperblocks, kDataSuperblockNames, v.Data.BlockSize);
        }
    } else {
        Show(r, "MetadataHeaderV6", v.Metadata, kMetadataHeaderV6Names);
        if (v.SuperblocksPlaced) ShowSuperblocks(r, "MetadataSuperblock", v.MetadataSuperblocks, kMetadataSuperblockNames);
    }
    if (s.kind != Kind::Map && v.Checkpoint.Read) {
        ShowCheckpoint(r, s.kind == Kind::Data ? "DataCheckpoint" : "MetadataCheckpoint", v.Checkpoint, kCheckpointNames);
        r.Close();
    }
    for (const NbFinding& f : findings) r.Fail(f.File + (f.Record.empty() ? "" : " " + f.Record), f.Reason);
    return v;
}

// Whether the converter would convert this legacy image, judged by its own
// reading stage (detection, already done, then the layout's reader, the
// plan and the pre-change check) after the backups' length. Each reason it
// would give is a finding.
bool Convertible(Report& r, const std::vector<std::unique_ptr<Source>>& files, const NbImageNames& names,
                 NbImageReading& reading) {
    std::vector<std::string> reasons;
    for (const auto& f : files)
        if (f->size < NB_BACKUP_LENGTH)
            reasons.push_back(NbText("File [%s] is shorter than its %" PRIu64 "-byte head backup", f->name.c_str(), NB_BACKUP_LENGTH));
    if (reasons.empty() && reading.Code == NB_OK) (void)NbReadDetectedImage(names, &reading);  // the reading holds the outcome
    if (reasons.empty()) {
        for (const NbRefusal& refusal : reading.Refusals) reasons.push_back(refusal.Text);
        if (reading.Code != NB_OK && reasons.empty()) reasons.push_back(NbText("refused with error %u", reading.Code));
    }
    for (const std::string& reason : reasons) r.Fail("convert", reason);
    return reasons.empty();
}

// A journal beside the map file means a conversion began and did not
// finish: the files as they lie (legacy, layout 6 or a mix) are not what the
// converter's next run works on, since it first restores every file from its
// backup. Only the name is asked after, and never followed; nothing in the
// journal is read or believed here. The converter keeps its journal beside
// the file a linked map file names, so it is looked for there too.
void UnfinishedConversion(Report& r, const std::string& mapName) {
    char resolved[512], name[1024];
    const bool linked = NbFileResolveLink(mapName.c_str(), resolved, sizeof resolved) == NB_OK;
    if (NbJournalName(linked ? resolved : mapName.c_str(), name, sizeof name) != NB_OK) return;  // no name it could have
    HostFileInfo info;
    const NbResult code = NbHost().Inspect(name, &info);
    if (code == NB_FILE_NOT_FOUND) return;
    const std::string journal = NbText("the journal [%s] of a conversion that did not finish", name);
    if (code != NB_OK) return r.Fail("journal", NbText("whether %s is there cannot be told: error %u", journal.c_str(), code));
    r.Field("unfinishedConversion", "", "true");
    r.Field("journal", "", Escape(name, true));
    r.Field("journalRegularFile", "", info.Regular ? "true" : "false");
    if (info.Regular) {
        r.Fail("journal", journal + " is there");
        return r.Note("advice", "Run the converter again with the same command: it restores every file from its backup, "
                                "then converts the image");
    }
    // The converter writes its journal as a plain file and believes nothing else under that name.
    r.Fail("journal", journal + (info.Link ? " is a symbolic link" : " is not a regular file") + ", which the converter refuses");
    r.Note("advice", NbText("Find out what [%s] is and remove it; only if a conversion of this image did not finish, "
                            "restore the image from its backups by hand (see MANUAL RESTORE in NimbraConvert(1))", name));
}

// Whether nbundo can give the legacy image back: the undo record beside the
// map (beside the file a linked map names, as the converter keeps it) is
// judged as nbundo judges it, trusted and matching every file and backup.
// Not a finding: a converted image needs no record.
void Undoable(Report& r, const std::vector<std::string>& bases, const std::vector<std::unique_ptr<Source>>& files) {
    char map[NB_NAME_SIZE];
    if (NbMapFileName(bases[0].c_str(), map, sizeof map) != NB_OK) return;
    std::vector<const char*> names {map};
    for (std::size_t i = 1; i < files.size(); ++i) names.push_back(files[i]->name.c_str());
    const NbFilePinScope pins;
    NbUndoCheck check;
    NbCheckUndo(names, &check);
    r.Open("undo", "Undo");
    r.Field("Record", Escape(check.RecordName, false), Escape(check.RecordName, true));
    r.Flag("Possible", check.Code == NB_OK);
    r.List("problems");
    for (const std::string& line : check.Problems) {
        r.Note("", line);
    }
    r.Close();
    if (check.Code == NB_OK) r.Note("advice", "nbundo with the same bases gives back the legacy image, byte for byte");
    r.Close();
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
void AssignLayouts(std::vector<std::unique_ptr<Source>>& files, const NbImageReading& detection) {
    const NbResult code = detection.Code;
    const std::uint32_t detected = detection.Version;
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
    // The converter's trace lines would only repeat what the findings tell.
    const NbQuietTrace quiet;
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
        s->label = i == 0 ? "map" : i == 1 ? "data" : NbText("metadata %zu", i - 1);
        if (const int status = OpenSource(*s, bases[i], i == 0 ? ".nbbitmap" : i == 1 ? ".nbdata" : ".nbmetadata"))
            return status;
        files.push_back(std::move(s));
    }
    std::vector<char*> metadata;
    for (std::size_t i = 2; i < files.size(); ++i) metadata.push_back(files[i]->name.data());
    const NbImageNames names {files[0]->name.c_str(), files[1]->name.c_str(), metadata.data(),
                              static_cast<std::uint16_t>(metadata.size())};
    NbImageReading reading;
    (void)NbDetectImage(names, &reading);  // the reading holds the outcome
    AssignLayouts(files, reading);
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
    for (const auto& f : files) each += NbText("%s%s %u", each.empty() ? "" : ", ", f->label.c_str(), f->layout);
    if (!same) r.Fail("image", "the files carry different layouts: " + each);
    std::vector<NbV6FileView> views;
    for (std::size_t i = 0; i < files.size(); ++i) {
        Source& f = *files[i];
        if (i == 2) r.List("metadata");
        r.Open(i == 0 ? "map" : i == 1 ? "data" : "", i == 0 ? "Map file" : i == 1 ? "Data file" : "Metadata file " + std::to_string(i - 1));
        r.Field("File", Escape(f.name, false), Escape(f.name, true));
        r.Number("Layout", f.layout);
        r.Number("Size", f.size);
        if (f.layout == 6)
            views.push_back(Show6(r, f));
        else if (f.layout >= 2 && f.layout <= 4)
            LegacyHeader(r, f);
        else {
            Show(r, "LegacyHeaderPrefix", DecodeRecord<LegacyHeaderPrefix>(f.head.data()), {"Signature", "HeaderLength", "Guid"});
            r.Fail(f.label, NbText("layout %u is none of 2, 3, 4 and 6", f.layout));
        }
        r.Close();
    }
    r.Close();  // the list of metadata files
    std::vector<NbFinding> findings;
    if (same && layout == 6) NbVerifyV6CrossCheck(views, &findings);
    for (const NbFinding& f : findings) r.Fail(f.File, f.Reason);
    // What is not layout 6 throughout is judged as the converter would judge it.
    if (!same || layout != 6) r.Flag("convertible", Convertible(r, files, names, reading));
    if (same && layout == 6) Undoable(r, bases, files);
    UnfinishedConversion(r, files[0]->name);
    return r.Finish();
}

}  // namespace

int main(int argc, char** argv) { return Run(argc, argv); }
