// The converter's early exits, run as the real program on files in a
// temporary directory: usage, naming and backup failures, detection outcomes,
// names too long for their backups, and the shape of the trace on stderr.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include <unistd.h>

#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kHead = 135168;

enum Kind { None, Plain, Short, Folder, Unreadable };
struct FileSpec { Kind kind = None; std::uint32_t length = 0, version = 0; };

// A file of a backup's length whose header lengths and version fields say
// what a row wants.
void Make(const std::string& name, const FileSpec& f) {
    if (f.kind == Folder) fs::create_directory(name);
    if (f.kind != Plain && f.kind != Short && f.kind != Unreadable) return;
    Bytes b(f.kind == Short ? 1000 : kHead);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 13 + 5);
    for (int k = 0; k < 4; ++k) b[4 + k] = static_cast<std::uint8_t>(f.length >> (8 * k));
    for (int k = 0; k < 4; ++k) b[16 + k] = static_cast<std::uint8_t>(f.version >> (8 * k));
    WriteBytes(name, b);
    if (f.kind == Unreadable) fs::permissions(name, fs::perms::none);
}

std::map<std::string, Bytes> Tree(const fs::path& dir) {
    std::map<std::string, Bytes> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) files[e.path().string()] = ReadBytes(e.path().string());
    return files;
}

std::string Replace(std::string text, const std::string& key, const std::string& value) {
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
        text.replace(at, key.size(), value);
    return text;
}

// Every trace line has the time-stamped prefix and ends in CR LF, and a run
// writes only levels 0 and 1: no entry lines, no successful exit lines.
void ExpectTraceShape(const std::string& err) {
    static const std::regex prefix(R"(^(1[0-2]|[1-9])/([1-9]|[12][0-9]|3[01]) ([0-9]|1[0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]\.[0-9]{3} [0-9a-f]+ Nb: )");
    static const std::regex success(R"(\(line #[0-9]+\) 0$)");
    EXPECT_TRUE(err.empty() || err.ends_with("\r\n"));
    for (std::size_t start = 0, end; start < err.size(); start = end + 2) {
        end = std::min(err.find("\r\n", start), err.size());
        const std::string line = err.substr(start, end - start);
        EXPECT_TRUE(std::regex_search(line, prefix)) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_EQ(line.find("+++"), std::string::npos) << line;
        EXPECT_FALSE(std::regex_search(line, success)) << line;
    }
}

TEST(Driver, FewerThanThreeArgumentsPrintUsageAndTouchNothing) {
    const std::string usage =
        "NimbraConvert.exe <.nbbitmap location> <.nbdata location> <.nbmetadata location> [<.nbmetadata location>]\n"
        "NimbraConvert.exe c:\\images\\img c:\\images\\img c:\\images\\img\n"
        "NimbraConvert.exe c:\\images\\img c:\\images\\img c:\\images\\img d:\\images\\img\n"
        "--- main 87 #1\n";
    for (const std::vector<std::string>& args : {std::vector<std::string> {}, {"a"}, {"a", "b"}}) {
        TempDir dir;
        Make(dir / "a.nbbitmap", {Plain, 32});
        const RunResult r = RunConverter(args, dir.Path().string());
        EXPECT_EQ(r.ExitCode, 87);
        EXPECT_EQ(r.Out, usage);
        EXPECT_EQ(Tree(dir.Path()).size(), 1u) << "no backup may be made";
    }
}

struct DriverCase {
    const char* name;
    FileSpec files[4];  // map, data, metadata, a second metadata file
    int exit;
    int backups;  // how many files, in order, get their backup
    const char* out;
};
class DriverRun : public ::testing::TestWithParam<DriverCase> {};

TEST_P(DriverRun, StopsWithItsMessageAndLeavesTheImageAsItWas) {
    const DriverCase& c = GetParam();
    for (const FileSpec& f : c.files)
        if (f.kind == Unreadable && ::geteuid() == 0) GTEST_SKIP() << "root reads a file whatever its mode";
    TempDir dir;
    const std::string base = dir / "img", second = dir / "two";
    const std::string names[4] = {base + ".nbbitmap", base + ".nbdata", base + ".nbmetadata", second + ".nbmetadata"};
    for (int i = 0; i < 4; ++i) Make(names[i], c.files[i]);
    const auto before = Tree(dir.Path());
    std::vector<std::string> args {base, base, base};
    if (c.files[3].kind != None) args.push_back(second);
    const RunResult r = RunConverter(args);
    EXPECT_EQ(r.ExitCode, c.exit);
    EXPECT_EQ(r.Out, Replace(Replace(Replace(c.out, "{M}", names[0]), "{D}", names[1]), "{T}", names[2]));
    for (const auto& [name, bytes] : before) EXPECT_EQ(ReadBytes(name), bytes) << name << " changed";
    for (int i = 0; i < c.backups; ++i) EXPECT_EQ(ReadBytes(names[i] + ".backup"), before.at(names[i])) << names[i];
    EXPECT_TRUE(c.exit == 0 || r.Err.find("--- main (line #") != std::string::npos) << r.Err;
    ExpectTraceShape(r.Err);
}

#define NB_BACKUP_FAILED(file, code) "main: Could not create backup file [" file ".backup]. Error " code "\nCheck if it already exists\n"
#define NB_UNSUPPORTED(version) "main: Version of image headers is " version "\nmain: Starting conversion.\nmain: Parsing image headers\n"
const FileSpec V2M {Plain, 32}, V2D {Plain, 24}, V2T {Plain, 24};
INSTANTIATE_TEST_SUITE_P(Driver, DriverRun, ::testing::Values(
    DriverCase {"MissingMap", {{}, V2D, V2T}, 2, 0, NB_BACKUP_FAILED("{M}", "2")},
    DriverCase {"MissingData", {V2M, {}, V2T}, 2, 1, NB_BACKUP_FAILED("{D}", "2")},
    DriverCase {"ShortMap", {{Short}, V2D, V2T}, 996 % 256, 0, NB_BACKUP_FAILED("{M}", "996")},
    DriverCase {"ShortData", {V2M, {Short}, V2T}, 996 % 256, 1, NB_BACKUP_FAILED("{D}", "996")},
    DriverCase {"MapIsAFolder", {{Folder}, V2D, V2T}, 5, 0, NB_BACKUP_FAILED("{M}", "5")},
    DriverCase {"UnreadableData", {V2M, {Unreadable}, V2T}, 5, 1, NB_BACKUP_FAILED("{D}", "5")},
    DriverCase {"MissingMetadata", {V2M, V2D, {}}, 0, 2, NB_BACKUP_FAILED("{T}", "2")},
    DriverCase {"ShortMetadata", {V2M, V2D, {Short}}, 0, 2, NB_BACKUP_FAILED("{T}", "996")},
    DriverCase {"Version1", {{Plain, 40, 1}, {Plain, 40, 1}, {Plain, 40, 1}}, 0, 3,
                NB_UNSUPPORTED("1") "main: That version is unsupported\n"},
    DriverCase {"Version5", {{Plain, 40, 5}, {Plain, 40, 5}, {Plain, 40, 5}}, 0, 3,
                NB_UNSUPPORTED("5") "main: That version is unsupported\n"},
    DriverCase {"VersionsDiffer", {{Plain, 38, 4}, {Plain, 24, 4}, {Plain, 38, 5}}, 0, 3,
                "main: Could not get correct version. Error 13\n"},
    DriverCase {"NoVersion", {{Plain, 40}, {Plain, 40}, {Plain, 40}}, 0, 3, "main: Could not get correct version. Error 0\n"},
    DriverCase {"Version6", {{Plain, 838, 6}, {Plain, 36, 6}, {Plain, 54, 6}}, 0, 3,
                "main: Version of image headers is 6\nNo conversion is needed\n"},
    DriverCase {"Version7", {{Plain, 838, 7}, {Plain, 36, 7}, {Plain, 54, 7}}, 0, 3,
                "main: Version of image headers is 7\nNo conversion is needed\n"},
    // Detection looks at the first metadata file only; the second is the reader's.
    DriverCase {"OnlyFirstMetadataCounts", {V2M, V2D, {Plain, 34}, V2T}, 0, 4,
                NB_UNSUPPORTED("3") "main: Error while parsing headers. Error 13. No changes to the image were made\n"},
    DriverCase {"Layout2WithTwoMetadataFiles", {V2M, V2D, V2T, V2T}, 0, 4,
                NB_UNSUPPORTED("2") "main: Error while parsing headers. Error 87. No changes to the image were made\n"}),
    [](const ::testing::TestParamInfo<DriverCase>& info) { return std::string(info.param.name); });

// A path of exactly length characters under dir, its folders made.
std::string LongPath(const TempDir& dir, std::size_t length) {
    std::string path = dir.Path().string();
    while (length - path.size() > 201) fs::create_directory(path += "/" + std::string(200, 'd'));
    return path + "/" + std::string(length - path.size() - 1, 'f');
}

struct LongCase { int file; std::size_t length; };
class LongName : public ::testing::TestWithParam<LongCase> {};

TEST_P(LongName, WhoseBackupNameDoesNotFitIsRefusedBeforeAnythingChanges) {
    const auto [file, length] = GetParam();
    const std::string extensions[3] = {".nbbitmap", ".nbdata", ".nbmetadata"};
    TempDir dir;
    std::string bases[3] = {dir / "img", dir / "img", dir / "img"}, names[3];
    const std::string path = LongPath(dir, length);
    bases[file] = path.substr(0, length - extensions[file].size());
    const std::string name = bases[file] + extensions[file];
    const FileSpec specs[3] = {{Plain, 32}, {Plain, 24}, {Plain, 24}};
    for (int i = 0; i < 3; ++i) Make(names[i] = bases[i] + extensions[i], specs[i]);
    const std::string cut = (name + ".backup").substr(0, 511);
    if (cut != name) WriteBytes(cut, {1, 2, 3});  // what a cut backup name would hit
    const auto before = Tree(dir.Path());
    const RunResult r = RunConverter({bases[0], bases[1], bases[2]});
    EXPECT_EQ(r.ExitCode, file == 2 ? 0 : 206);
    EXPECT_EQ(r.Out, "main: Could not create backup file [" + name + ".backup]. Error 206\nCheck if it already exists\n");
    for (const auto& [path, bytes] : before) EXPECT_EQ(ReadBytes(path), bytes) << path << " changed or deleted";
    ExpectTraceShape(r.Err);
}

INSTANTIATE_TEST_SUITE_P(Driver, LongName, ::testing::Values(
    LongCase {0, 505}, LongCase {0, 511}, LongCase {1, 506}, LongCase {1, 511}, LongCase {2, 508}, LongCase {2, 511}));

}  // namespace
