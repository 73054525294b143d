// The converter's early exits, run as the real program: usage, backup failures,
// detection outcomes, names too long for a backup, the shape of the trace.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/endian.h"
#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
enum Kind { None, Plain, Short, Folder, Unreadable };
struct FileSpec { Kind kind = None; std::uint32_t length = 0, version = 0; };

// A file of a backup's length (or shorter) with the header length and version detection reads.
void Make(const std::string& name, const FileSpec& f) {
    if (f.kind == Folder) fs::create_directory(name);
    if (f.kind == None || f.kind == Folder) return;
    Bytes b(f.kind == Short ? 1000 : 135168, 0x5A);
    PutLe32(b.data(), 4, f.length);
    PutLe32(b.data(), 16, f.version);
    WriteBytes(name, b);
    if (f.kind == Unreadable) fs::permissions(name, fs::perms::none);
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

// Map, data, metadata and a second metadata file; exit status; files backed up, in order; standard output
// with {M}, {D}, {T} for the names; and a file whose full name is longLength characters long.
struct DriverCase { const char* name; FileSpec files[4]; int exit, backups; std::string out;
                    int longFile = -1; std::size_t longLength = 0; };
void PrintTo(const DriverCase& c, std::ostream* out) { *out << c.name; }
class DriverRun : public ::testing::TestWithParam<DriverCase> {};

TEST_P(DriverRun, StopsWithItsMessageAndLeavesTheImageAsItWas) {
    const DriverCase& c = GetParam();
    for (const FileSpec& f : c.files)
        if (f.kind == Unreadable && UnreadableFileSkipReason()) GTEST_SKIP() << UnreadableFileSkipReason();
    TempDir dir;
    const std::string extensions[4] = {".nbbitmap", ".nbdata", ".nbmetadata", ".nbmetadata"}, keys[3] = {"{M}", "{D}", "{T}"};
    std::string bases[4] = {dir / "img", dir / "img", dir / "img", dir / "two"}, names[4], out = c.out;
    if (c.longFile >= 0) bases[c.longFile] = LongPath(dir, c.longLength - extensions[c.longFile].size());
    for (int i = 0; i < 4; ++i) Make(names[i] = bases[i] + extensions[i], c.files[i]);
    // What a backup name cut to fit would hit: another file, or at 511 the file itself.
    if (c.longFile >= 0 && !Exists((names[c.longFile] + ".backup").substr(0, 511)))
        WriteBytes((names[c.longFile] + ".backup").substr(0, 511), {1, 2, 3});
    const auto before = Snapshot(dir.Path());
    const RunResult r = RunConverter({bases, bases + (c.files[3].kind != None ? 4 : 3)});
    EXPECT_EQ(r.ExitCode, c.exit);
    for (int i = 0; i < 3; ++i)
        if (const auto at = out.find(keys[i]); at != std::string::npos) out.replace(at, 3, names[i]);
    EXPECT_EQ(r.Out, out);
    for (const auto& [name, bytes] : before) EXPECT_EQ(ReadBytes(dir / name), bytes) << name << " changed or deleted";
    for (int i = 0; i < c.backups; ++i) EXPECT_EQ(ReadBytes(names[i] + ".backup"), ReadBytes(names[i])) << names[i];
    EXPECT_TRUE(c.exit == 0 || r.Err.find("--- main (line #") != std::string::npos) << r.Err;
    ExpectTraceShape(r.Err);
}

#define NB_BACKUP_FAILED(file, code) "main: Could not create backup file [" file ".backup]. Error " code "\nCheck if it already exists\n"
#define NB_PARSING(v) "main: Version of image headers is " v "\nmain: Starting conversion.\nmain: Parsing image headers\n"
#define NB_SAME(length, version) {Plain, length, version}, {Plain, length, version}, {Plain, length, version}
#define NB_NOT_PARSED(code) "main: Error while parsing headers. Error " code ". No changes to the image were made\n"
const FileSpec M2 {Plain, 32}, D2 {Plain, 24}, T2 {Plain, 24};
INSTANTIATE_TEST_SUITE_P(Driver, DriverRun, ::testing::Values(
    DriverCase {"MissingMap", {{}, D2, T2}, 2, 0, NB_BACKUP_FAILED("{M}", "2")},
    DriverCase {"MissingData", {M2, {}, T2}, 2, 1, NB_BACKUP_FAILED("{D}", "2")},
    DriverCase {"ShortMap", {{Short}, D2, T2}, ShownExitCode(996), 0, NB_BACKUP_FAILED("{M}", "996")},
    DriverCase {"MapIsAFolder", {{Folder}, D2, T2}, 5, 0, NB_BACKUP_FAILED("{M}", "5")},
    DriverCase {"UnreadableData", {M2, {Unreadable}, T2}, 5, 1, NB_BACKUP_FAILED("{D}", "5")},
    DriverCase {"MissingMetadata", {M2, D2, {}}, 0, 2, NB_BACKUP_FAILED("{T}", "2")},
    DriverCase {"Version1", {NB_SAME(40, 1)}, 0, 3, NB_PARSING("1") "main: That version is unsupported\n"},
    DriverCase {"Version5", {NB_SAME(40, 5)}, 0, 3, NB_PARSING("5") "main: That version is unsupported\n"},
    DriverCase {"VersionsDiffer", {{Plain, 38, 4}, {Plain, 24, 4}, {Plain, 38, 5}}, 0, 3, "main: Could not get correct version. Error 13\n"},
    DriverCase {"NoVersion", {NB_SAME(40, 0)}, 0, 3, "main: Could not get correct version. Error 0\n"},
    // A newer image keeps everything, its backups included.
    DriverCase {"Version7", {{Plain, 838, 7}, {Plain, 36, 7}, {Plain, 54, 7}}, 0, 0, "main: Version of image headers is 7\nNo conversion is needed\n"},
    // Detection looks at the first metadata file only (a layout 3 one here); the reader meets block size 0.
    DriverCase {"OnlyFirstMetadataCounts", {M2, D2, {Plain, 34}, T2}, 0, 4, NB_PARSING("3") NB_NOT_PARSED("13")},
    DriverCase {"Layout2WithTwoMetadataFiles", {M2, D2, T2, T2}, 0, 4, NB_PARSING("2") NB_NOT_PARSED("87")},
    // A backup name that does not fit is refused, never cut: the cut name could be another file's.
    DriverCase {"LongMap505", {M2, D2, T2}, 206, 0, NB_BACKUP_FAILED("{M}", "206"), 0, 505},
    DriverCase {"LongData506", {M2, D2, T2}, 206, 1, NB_BACKUP_FAILED("{D}", "206"), 1, 506},
    DriverCase {"LongMetadata511", {M2, D2, T2}, 0, 2, NB_BACKUP_FAILED("{T}", "206"), 2, 511}),
    ::testing::PrintToStringParamName());

}  // namespace
