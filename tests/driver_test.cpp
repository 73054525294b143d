// The converter's early exits, run as the real program: usage, backup failures,
// detection outcomes, names too long for a backup, the shape of the trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <string_view>

#include "platform/endian.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
// Absent: named on the command line, never made.
enum Kind { None, Absent, Plain, Short, Folder, Unreadable };
struct FileSpec { Kind kind = None; std::uint32_t length = 0, version = 0; };

// A file of a backup's length (or shorter) with the header length and version detection reads.
void Make(const std::string& name, const FileSpec& f) {
    if (f.kind == Folder) fs::create_directory(name);
    if (f.kind == None || f.kind == Absent || f.kind == Folder) return;
    Bytes b(f.kind == Short ? 1000 : 135168, 0x5A);
    PutLe32(b.data(), 4, f.length);
    PutLe32(b.data(), 16, f.version);
    WriteBytes(name, b);
    // Unreadable: write-only for everyone; every other file open to everyone, for the unprivileged run.
    fs::permissions(name, f.kind == Unreadable ? fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write
                                               : fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
}

// A path of exactly length characters naming "f" or "ff" in dir itself.
std::string LongPath(const TempDir& dir, std::size_t length) {
    const std::size_t rest = length - dir.Path().string().size() - 1, steps = (rest - 1) / 2;
    std::string path = dir.Path().string() + "/";
    for (std::size_t i = 0; i < steps; ++i) path += "./";
    return path + std::string(rest - 2 * steps, 'f');
}

// Every trace line opens with "M/D H:MM:SS.mmm tid Nb: " (read back and printed again in that shape) and
// ends in CR LF, and a run writes only levels 0 and 1: no entry lines, no successful exit lines.
void ExpectTraceShape(const std::string& err) {
    EXPECT_TRUE(err.empty() || err.ends_with("\r\n"));
    for (std::size_t start = 0, end; (end = err.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string text = err.substr(start, end - start);
        unsigned v[6] = {};
        char thread[17] = "", prefix[128] = "?";
        if (std::sscanf(text.c_str(), "%u/%u %u:%u:%u.%u %16[0-9a-f]", v, v + 1, v + 2, v + 3, v + 4, v + 5, thread) == 7)
            std::snprintf(prefix, sizeof prefix, "%u/%u %u:%02u:%02u.%03u %s Nb: ", v[0], v[1], v[2], v[3], v[4], v[5], thread);
        EXPECT_TRUE(text.starts_with(prefix) && v[0] >= 1 && v[0] <= 12 && v[1] >= 1 && v[1] <= 31 && v[2] < 24 && v[3] < 60 &&
                    v[4] < 60 && v[5] < 1000 && text.find('\n') == std::string::npos) << text;
        EXPECT_TRUE(text.find("+++") == std::string::npos && !text.ends_with(") 0")) << text;
    }
}

TEST(Driver, FewerThanThreeArgumentsPrintUsageAndTouchNothing) {
    for (const std::vector<std::string>& args : {std::vector<std::string> {}, {"a"}, {"a", "b"}}) {
        TempDir dir;
        Make(dir / "a.nbbitmap", {Plain, 32});
        const RunResult r = RunConverter(args, dir.Path().string());
        EXPECT_EQ(r.ExitCode, 87);
        EXPECT_EQ(r.Out, "NimbraConvert.exe <.nbbitmap location> <.nbdata location> <.nbmetadata location> "
                         "[<.nbmetadata location>]\nNimbraConvert.exe c:\\images\\img c:\\images\\img c:\\images\\img\n"
                         "NimbraConvert.exe c:\\images\\img c:\\images\\img c:\\images\\img d:\\images\\img\n--- main 87 #1\n");
        EXPECT_EQ(Snapshot(dir.Path()).size(), 1u) << "no backup may be made";
    }
}

// The trace lines a run wrote, each without its prefix and line end.
std::vector<std::string> TraceMessages(const std::string& err) {
    std::vector<std::string> messages;
    for (const std::string& line : Lines(err)) {
        const std::size_t at = line.find(" Nb: ");
        messages.push_back(at == std::string::npos ? line : line.substr(at + 5));
    }
    return messages;
}

const char* const kNameKeys[4] = {"{M}", "{D}", "{T}", "{U}"};

// The text with the map, data, first and second metadata file names for {M}, {D}, {T} and {U}.
std::string WithNames(std::string text, const std::string names[4]) {
    for (int k = 0; k < 4; ++k)
        for (std::size_t at; (at = text.find(kNameKeys[k])) != std::string::npos;) text.replace(at, 3, names[k]);
    return text;
}

// A trace line as a pattern: the text as it stands, with the file names as
// in WithNames, {P} for a pointer's 16 hexadecimal digits and {N} for a
// number (a line, a count).
std::regex TracePattern(const std::string& text, const std::string names[4]) {
    const auto escape = [](const std::string& literal) {
        std::string out;
        for (char c : literal) {
            if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) out += '\\';
            out += c;
        }
        return out;
    };
    const std::pair<std::string, std::string> tokens[] = {{kNameKeys[0], escape(names[0])}, {kNameKeys[1], escape(names[1])},
                                                          {kNameKeys[2], escape(names[2])}, {kNameKeys[3], escape(names[3])},
                                                          {"{P}", "[0-9A-F]{16}"},         {"{N}", "[0-9]+"}};
    std::string pattern;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto token = std::ranges::find_if(tokens, [&](const auto& t) { return text.compare(i, 3, t.first) == 0; });
        if (token == std::end(tokens)) {
            pattern += escape(text.substr(i, 1));
        } else {
            pattern += token->second;
            i += 2;
        }
    }
    return std::regex(pattern);
}

// The whole trace, line by line: nothing missing, nothing more.
void ExpectTrace(const std::string& err, const std::vector<std::string>& expected, const std::string names[4]) {
    const std::vector<std::string> got = TraceMessages(err);
    bool same = got.size() == expected.size();
    for (std::size_t i = 0; same && i < got.size(); ++i) same = std::regex_match(got[i], TracePattern(expected[i], names));
    std::string want;
    for (const std::string& line : expected) want += "  " + line + "\n";
    EXPECT_TRUE(same) << "trace:\n" << err << "expected:\n" << want;
}

using Trace = std::vector<std::string>;
Trace operator+(Trace a, const Trace& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The lines of the file objects and of the steps above them.
Trace CreateFailed(const std::string& file, int openExisting, int access, const std::string& code) {
    return {"--- CNimbraFile::Create " + code + " NbFileObjectCreate( 0x{P}, 0x{P} [" + file + "], " +
                std::to_string(openExisting) + ", 0x0000000" + std::to_string(access) + ", 0x00000001 ) " + code,
            "--- CNimbraFile::Create (line #{N}) " + code};
}
Trace Exit(const std::string& function, const std::string& code) { return {"--- " + function + " (line #{N}) " + code}; }
const Trace kShortRead {"--- NbFileObjectRead (line #{N}) 996", "--- CNimbraFile::Read 996 NbFileObjectRead( 0x{P}, 0x{P}, 65536 ) 996",
                        "--- CNimbraFile::Read (line #{N}) 996"};
Trace BackupFailed(const std::string& code, bool exits) {
    return Exit("NbConvertCreateBackupFile", code) + (exits ? Exit("main", code) : Trace {});
}
// A backup name held by a folder: created, deleted (which fails), created again.
Trace BackupNameIsAFolder(const std::string& file, bool exits) {
    const std::string deleteFails = std::to_string(FolderDeleteCode()), exists = std::to_string(FolderCreateCode());
    return CreateFailed(file + ".backup", 0, 2, exists) + Exit("NbFileDelete", deleteFails) +
           CreateFailed(file + ".backup", 0, 2, exists) + BackupFailed(exists, exits);
}

// Map, data, metadata and a second metadata file; exit status; files backed up, in order; standard output
// with {M}, {D}, {T} for the names; the whole trace; a file whose full name is longLength characters long;
// files whose backup exists beforehand (a copy of their head, a folder, other bytes).
struct DriverCase { const char* name; FileSpec files[4]; int exit, backups; std::string out; Trace trace;
                    int longFile = -1; std::size_t longLength = 0; int copiedBackups = 0, folderBackup = -1, otherBackup = -1; };
void PrintTo(const DriverCase& c, std::ostream* out) { *out << c.name; }
class DriverRun : public ::testing::TestWithParam<DriverCase> {};

TEST_P(DriverRun, StopsWithItsMessageAndLeavesTheImageAsItWas) {
    const DriverCase& c = GetParam();
    const bool unreadable = std::ranges::any_of(c.files, [](const FileSpec& f) { return f.kind == Unreadable; });
    if (unreadable && UnreadableFileSkipReason()) GTEST_SKIP() << UnreadableFileSkipReason();
    TempDir dir;
    const std::string extensions[4] = {".nbbitmap", ".nbdata", ".nbmetadata", ".nbmetadata"};
    std::string bases[4] = {dir / "img", dir / "img", dir / "img", dir / "two"}, names[4];
    if (c.longFile >= 0) bases[c.longFile] = LongPath(dir, c.longLength - extensions[c.longFile].size());
    for (int i = 0; i < 4; ++i) Make(names[i] = bases[i] + extensions[i], c.files[i]);
    for (int i = 0; i < c.copiedBackups; ++i) WriteBytes(names[i] + ".backup", ReadBytes(names[i]));
    if (c.folderBackup >= 0) fs::create_directory(names[c.folderBackup] + ".backup");
    if (c.otherBackup >= 0) WriteBytes(names[c.otherBackup] + ".backup", {1, 2, 3});
    // What a backup name cut to fit would hit: another file, or at 511 the file itself.
    if (c.longFile >= 0 && !Exists((names[c.longFile] + ".backup").substr(0, 511)))
        WriteBytes((names[c.longFile] + ".backup").substr(0, 511), {1, 2, 3});
    const auto before = Snapshot(dir.Path());
    const std::vector<std::string> args {bases, bases + (c.files[3].kind != None ? 4 : 3)};
    const RunResult r = unreadable ? RunConverterUnprivileged(args, dir.Path().string()) : RunConverter(args);
    EXPECT_EQ(r.ExitCode, c.exit);
    EXPECT_EQ(r.Out, WithNames(c.out, names));
    for (const auto& [name, bytes] : before) EXPECT_EQ(ReadBytes(dir / name), bytes) << name << " changed or deleted";
    for (int i = 0; i < c.backups; ++i) EXPECT_EQ(ReadBytes(names[i] + ".backup"), ReadBytes(names[i])) << names[i];
    ExpectTraceShape(r.Err);
    ExpectTrace(r.Err, c.trace, names);
}

#define NB_BACKUP_FAILED(file, code) "main: Could not create backup file [" file ".backup]. Error " code "\nCheck if it already exists\n"
#define NB_PARSING(v) "main: Version of image headers is " v "\nmain: Starting conversion.\nmain: Parsing image headers\n"
#define NB_SAME(length, version) {Plain, length, version}, {Plain, length, version}, {Plain, length, version}
#define NB_NOT_PARSED(code) "main: Error while parsing headers. Error " code ". No changes to the image were made\n"
const FileSpec M2 {Plain, 32}, D2 {Plain, 24}, T2 {Plain, 24};
INSTANTIATE_TEST_SUITE_P(Driver, DriverRun, ::testing::Values(
    DriverCase {"MissingMap", {{}, D2, T2}, 2, 0, NB_BACKUP_FAILED("{M}", "2"), CreateFailed("{M}", 1, 1, "2") + BackupFailed("2", true)},
    DriverCase {"MissingData", {M2, {}, T2}, 2, 1, NB_BACKUP_FAILED("{D}", "2"), CreateFailed("{D}", 1, 1, "2") + BackupFailed("2", true)},
    DriverCase {"MissingMetadata", {M2, D2, {}}, 0, 2, NB_BACKUP_FAILED("{T}", "2"), CreateFailed("{T}", 1, 1, "2") + BackupFailed("2", false)},
    DriverCase {"MissingSecondMetadata", {M2, D2, T2, {Absent}}, 0, 3, NB_BACKUP_FAILED("{U}", "2"),
                CreateFailed("{U}", 1, 1, "2") + BackupFailed("2", false)},
    DriverCase {"ShortMap", {{Short}, D2, T2}, ShownExitCode(996), 0, NB_BACKUP_FAILED("{M}", "996"), kShortRead + BackupFailed("996", true)},
    DriverCase {"ShortData", {M2, {Short}, T2}, ShownExitCode(996), 1, NB_BACKUP_FAILED("{D}", "996"), kShortRead + BackupFailed("996", true)},
    DriverCase {"ShortMetadata", {M2, D2, {Short}}, 0, 2, NB_BACKUP_FAILED("{T}", "996"), kShortRead + BackupFailed("996", false)},
    DriverCase {"MapIsAFolder", {{Folder}, D2, T2}, 5, 0, NB_BACKUP_FAILED("{M}", "5"), CreateFailed("{M}", 1, 1, "5") + BackupFailed("5", true)},
    DriverCase {"UnreadableData", {M2, {Unreadable}, T2}, 5, 1, NB_BACKUP_FAILED("{D}", "5"), CreateFailed("{D}", 1, 1, "5") + BackupFailed("5", true)},
    // Backups left by an earlier run that hold exactly what they would hold again are replaced (the failed
    // creation before the deletion is traced).
    DriverCase {"EarlierBackupsReplaced", {M2, D2, T2}, 0, 3, NB_PARSING("2") NB_NOT_PARSED("13"),
                CreateFailed("{M}.backup", 0, 2, "80") + CreateFailed("{D}.backup", 0, 2, "80") +
                    CreateFailed("{T}.backup", 0, 2, "80") + Trace {"*** NbConvertFromV2 13 Block size in file [{D}] is 0"} +
                    Exit("NbConvertFromV2", "13"), -1, 0, 3},
    // One that holds something else may be the only copy of the legacy file: kept, and nothing is done.
    DriverCase {"OtherBackupKept", {M2, D2, T2}, ShownExitCode(183), 0,
                "main: The backup [{D}.backup] is kept, as it may be the only copy of the legacy file: [{D}] no longer "
                "holds every byte the backup holds. No changes to the image were made\nmain: Check the names on the "
                "command line. To convert anyway, move the backup out of the way first; to get the legacy file back, see "
                "the manual page\n", Exit("main", "183"), -1, 0, 0, -1, 1},
    DriverCase {"MapBackupNameIsAFolder", {M2, D2, T2}, ShownExitCode(FolderCreateCode()), 0,
                "main: Could not create backup file [{M}.backup]. Error " + std::to_string(FolderCreateCode()) + "\nCheck if it already exists\n",
                BackupNameIsAFolder("{M}", true), -1, 0, 0, 0},
    DriverCase {"MetadataBackupNameIsAFolder", {M2, D2, T2}, 0, 2,
                "main: Could not create backup file [{T}.backup]. Error " + std::to_string(FolderCreateCode()) + "\nCheck if it already exists\n",
                BackupNameIsAFolder("{T}", false), -1, 0, 0, 2},
    DriverCase {"Version1", {NB_SAME(40, 1)}, 0, 3, NB_PARSING("1") "main: That version is unsupported\n", {}},
    DriverCase {"Version5", {NB_SAME(40, 5)}, 0, 3, NB_PARSING("5") "main: That version is unsupported\n", {}},
    DriverCase {"VersionsDiffer", {{Plain, 38, 4}, {Plain, 24, 4}, {Plain, 38, 5}}, 0, 3, "main: Could not get correct version. Error 13\n",
                Trace {"*** NbConvertGetVersion 13 Acquired versions are different [4 4 5]"} + Exit("NbConvertGetVersion", "13")},
    DriverCase {"NoVersion", {NB_SAME(40, 0)}, 0, 3, "main: Could not get correct version. Error 0\n", {}},
    // A newer image keeps everything, its backups included.
    DriverCase {"Version7", {{Plain, 838, 7}, {Plain, 36, 7}, {Plain, 54, 7}}, 0, 0, "main: Version of image headers is 7\nNo conversion is needed\n", {}},
    // Detection looks at the first metadata file only (a layout 3 one here); the reader meets block size 0.
    DriverCase {"OnlyFirstMetadataCounts", {M2, D2, {Plain, 34}, T2}, 0, 4, NB_PARSING("3") NB_NOT_PARSED("13"),
                Trace {"*** NbConvertFromV3 13 Block size in file [{D}] is 0"} + Exit("NbConvertFromV3", "13")},
    DriverCase {"Layout2WithTwoMetadataFiles", {M2, D2, T2, T2}, 0, 4, NB_PARSING("2") NB_NOT_PARSED("87"), {}},
    // A backup name that does not fit is refused, never cut: the cut name could be another file's. The
    // journal's name is shorter: where even it does not fit, the backup step still reports the map's.
    DriverCase {"LongMap505", {M2, D2, T2}, 206, 0, NB_BACKUP_FAILED("{M}", "206"), BackupFailed("206", true), 0, 505},
    DriverCase {"LongMap508", {M2, D2, T2}, 206, 0, NB_BACKUP_FAILED("{M}", "206"), BackupFailed("206", true), 0, 508},
    DriverCase {"LongMap511", {M2, D2, T2}, 206, 0, NB_BACKUP_FAILED("{M}", "206"), BackupFailed("206", true), 0, 511},
    DriverCase {"LongData506", {M2, D2, T2}, 206, 1, NB_BACKUP_FAILED("{D}", "206"), BackupFailed("206", true), 1, 506},
    DriverCase {"LongMetadata511", {M2, D2, T2}, 0, 2, NB_BACKUP_FAILED("{T}", "206"), BackupFailed("206", false), 2, 511}),
    ::testing::PrintToStringParamName());

// Real images whose reading stops: one field of one header set to a value the reader (or the check that
// follows it) refuses. Nothing is changed; the trace names the reason as the reader gives it.
struct ReadingCase { const char* name; std::uint32_t layout; std::size_t metadataFiles; int file; std::size_t offset;
                     int width; std::uint64_t value; Trace trace; };
void PrintTo(const ReadingCase& c, std::ostream* out) { *out << c.name; }
class ReadingRun : public ::testing::TestWithParam<ReadingCase> {};

std::vector<std::string> NamesOf(const ImageRecipe& recipe) {
    std::vector<std::string> names = ImageFiles(recipe);
    names.resize(4);
    return names;
}

TEST_P(ReadingRun, StopsBeforeAnyChangeWithTheReadersTrace) {
    const ReadingCase& c = GetParam();
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(c.layout, 0, c.metadataFiles, 40), dir);
    std::string error;
    ASSERT_TRUE(WriteImage(recipe, &error)) << error;
    const std::vector<std::string> names = NamesOf(recipe);
    Bytes bytes = ReadBytes(names[c.file]);
    for (int i = 0; i < c.width; ++i) bytes[c.offset + i] = static_cast<std::uint8_t>(c.value >> (8 * i));
    WriteBytes(names[c.file], bytes);
    const auto before = Snapshot(dir.Path());
    const RunResult r = RunConverter(ConverterArgs(recipe));
    EXPECT_EQ(r.ExitCode, 0);
    const std::string v = std::to_string(c.layout);
    EXPECT_EQ(r.Out, "main: Version of image headers is " + v + "\nmain: Starting conversion.\nmain: Parsing image headers\n" +
                         (c.layout == 4 ? "main: Error while converting. Error 13\n"
                                        : "main: Error while parsing headers. Error 13. No changes to the image were made\n"));
    for (const auto& [name, content] : before) EXPECT_EQ(ReadBytes(dir / name), content) << name;
    ExpectTrace(r.Err, c.trace, names.data());
}

// The identifiers of ReliabilityRecipe: every header that names the data file names 72623859790382856.
const std::string kDataGuid = "72623859790382856";
INSTANTIATE_TEST_SUITE_P(Driver, ReadingRun, ::testing::Values(
    ReadingCase {"Layout2DataAndMetadataDisagree", 2, 1, 2, 8, 8, 0x99, Exit("NbConvertFromV2", "13")},
    ReadingCase {"Layout2MapNamesOtherData", 2, 1, 0, 24, 8, 0x99, Exit("NbConvertFromV2", "13")},
    ReadingCase {"Layout3ParametersDiffer", 3, 2, 3, 32, 2, 1,
                 Trace {"*** NbConvertFromV3 13 Parameters [1 4096 2] in file [{U}] does not match image parameters [0 4096 2]"} +
                     Exit("NbConvertFromV3", "13")},
    ReadingCase {"Layout4MetadataGuid", 4, 1, 2, 8, 8, 5,
                 Trace {"*** NbConvertFromV4 13 Metadata GUID of file [{T}] is not " + kDataGuid} + Exit("NbConvertFromV4", "13")},
    ReadingCase {"Layout4ParametersDiffer", 4, 2, 3, 36, 2, 1,
                 Trace {"*** NbConvertFromV4 13 Parameters [1 4096 2] in file [{U}] does not match image parameters [0 4096 2]"} +
                     Exit("NbConvertFromV4", "13")},
    ReadingCase {"Layout4DataGuid", 4, 1, 1, 8, 8, 5,
                 Trace {"*** NbConvertFromV4 13 Data GUID of file [{D}] (5) is not the one in map file [{M}] (" + kDataGuid + ")"} +
                     Exit("NbConvertFromV4", "13")},
    // The check before any change, on the plan: a plain map's data offset off a page boundary.
    ReadingCase {"Layout4MapOffsetOffAPage", 4, 1, 0, 34, 4, 4097,
                 Trace {"*** NbCheckConvertible 13 Map data offset is not a whole page behind the header (4097, limit 4096)",
                        "*** NbCheckConvertible 13 Map does not end on a whole page behind its data offset (163839, limit 4096)"} +
                     Exit("NbCheckConvertible", "13")}),
    ::testing::PrintToStringParamName());

// Failures of the changing stage, made by the test seam in this process: the step's own lines, then the
// revert, which succeeds without a line.
enum class Step { Relocation, NewMapFolder, Rewrite };
struct ChangingCase { const char* name; std::uint32_t layout; Step step; std::string out; Trace trace; };
void PrintTo(const ChangingCase& c, std::ostream* out) { *out << c.name; }
class ChangingRun : public ::testing::TestWithParam<ChangingCase> {};

// The call of a clean run that begins the step: the relocation's rename over the backup, the folder flush
// that makes the names durable (at the new map's first flush), or the rewrite's first write after it.
// 1-based, over every call.
std::uint64_t FirstCallOf(Step step, const std::vector<HostCall>& log) {
    std::size_t i = 0;
    while (i < log.size() && log[i] != HostCall::Replace) ++i;
    if (step == Step::Relocation) return i + 1;
    while (i < log.size() && log[i] != HostCall::SyncDirectory) ++i;
    if (step == Step::NewMapFolder) return i + 1;
    while (i < log.size() && log[i] != HostCall::Write) ++i;
    return i + 1;
}

TEST_P(ChangingRun, RevertsWithTheStepsTrace) {
    const ChangingCase& c = GetParam();
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(c.layout, 0, 1, 40), dir);
    std::string error;
    ASSERT_TRUE(WriteImage(recipe, &error)) << error;
    const std::vector<std::string> names = NamesOf(recipe);
    const auto original = Snapshot(dir.Path());
    FaultHost clean;
    {
        ScopedHost scoped(clean);
        ASSERT_EQ(RunConverterInProcess(ConverterArgs(recipe)).ExitCode, 0);
    }
    PutBack(dir.Path(), original);
    FaultHost faulty;
    faulty.Plan({FirstCallOf(c.step, clean.Log()), HostCall::Count, FaultKind::Error, 5});
    RunResult r;
    {
        ScopedHost scoped(faulty);
        r = RunConverterInProcess(ConverterArgs(recipe));
    }
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Out, WithNames(c.out, names.data()));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ReadBytes(names[i]), original.at(fs::path(names[i]).filename().string())) << names[i];
    ExpectTrace(r.Err, c.trace, names.data());
}

#define NB_REVERTED(file) "main: File [" file "] reverted successfully\n"
INSTANTIATE_TEST_SUITE_P(Driver, ChangingRun, ::testing::Values(
    ChangingCase {"Layout2Relocation", 2, Step::Relocation,
                  NB_PARSING("2") "main: Error while converting map file {M}. Error 5\n" NB_REVERTED("{M}"),
                  Exit("NbFileReplace", "5") + Trace {"*** NbAdjustDataOffset NbFileReplace [{M}] [{M}.backup] returned 5"} +
                      Exit("NbAdjustDataOffset", "5")},
    ChangingCase {"Layout2NewMapFolder", 2, Step::NewMapFolder,
                  NB_PARSING("2") "main: Error while converting map file {M}. Error 5\n" NB_REVERTED("{M}"),
                  Exit("NbFileSyncDirectory", "5") + Trace {"--- CNimbraFile::Flush 5 NbFileObjectFlush( 0x{P} ) 5"} +
                      Exit("CNimbraFile::Flush", "5") + Exit("NbAdjustDataOffset", "5")},
    ChangingCase {"Layout2Rewrite", 2, Step::Rewrite,
                  NB_PARSING("2") "main: Image size 40960 blocks, block size 512\nmain: Replacing headers with new...\n"
                  "main: Failed. Error 5. Now reverting to backup\n" NB_REVERTED("{M}") NB_REVERTED("{D}") NB_REVERTED("{T}"),
                  Trace {"--- CNimbraFile::SeekWrite 5 NbFileObjectWrite( 0x{P}, 0x{P}, {N} ) 5"} + Exit("CNimbraFile::SeekWrite", "5") +
                      Exit("NbConvertToV6", "5")}),
    ::testing::PrintToStringParamName());

}  // namespace
