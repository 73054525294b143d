// nbinfo run as a program on a converted image damaged record by record, in
// JSON, and on input it cannot read. (The conversion tests run it on every layout.)
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <cctype>
#include <string_view>

#include "platform/endian.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"
#include "tools/image_maker.h"
#include "version6/records.h"

namespace {

struct Image {
    TempDir dir;
    std::vector<std::string> args;   // the bases, as both programs take them
    std::vector<std::string> files;  // map, data, metadata...
};

// An image converted to version 6, with a data identifier that prints as a negative number.
std::unique_ptr<Image> Make(std::uint32_t layout) {
    auto image = std::make_unique<Image>();
    ImageRecipe s = PlaceImage(ReliabilityRecipe(layout, 0, layout == 2 ? 1 : 2, 34), image->dir);
    s.DataGuid = 0x8877665544332211ull;
    EXPECT_TRUE(WriteImage(s, nullptr));
    image->args = ConverterArgs(s);
    image->files = ImageFiles(s);
    EXPECT_EQ(Lines(RunConverter(image->args).Out).back(), "main: Finished successfully!");
    return image;
}

RunResult Info(const Image& image, std::vector<std::string> front = {}) {
    front.insert(front.end(), image.args.begin(), image.args.end());
    return RunProgram(ToolPath("nbinfo"), front);
}

std::vector<std::string> Failures(const std::string& out) {
    std::vector<std::string> found;
    for (const std::string& line : Lines(out))
        if (line.starts_with("FAIL ")) found.push_back(line);
    return found;
}

// A strict reader of the JSON grammar (numbers: integers, all the tool
// prints) that keeps every scalar with its key (array elements take the
// array's key); false for anything else.
struct JsonScan {
    std::string s;
    std::size_t i = 0;
    std::vector<std::pair<std::string, std::string>> scalars;

    bool Skip() { return (i = std::min(s.find_first_not_of(" \t\r\n", i), s.size())) < s.size(); }
    bool Eat(char c) { return Skip() && s[i] == c ? (++i, true) : false; }
    bool Seq(char close, const std::function<bool()>& item) {
        if (Eat(close)) return true;
        for (bool more = true; more; more = Eat(',')) if (!item()) return false;
        return Eat(close);
    }
    bool Escape() {
        if (++i < s.size() && s[i] == 'u')
            return i + 4 < s.size() && std::all_of(s.begin() + i + 1, s.begin() + i + 5, [](unsigned char c) { return std::isxdigit(c); }) && (i += 4, true);
        return i < s.size() && std::string_view("\"\\/bfnrt").find(s[i]) != std::string_view::npos;
    }
    // A string (kept without its quotes), an integer or a literal at i.
    bool Scalar(std::string* text) {
        const std::size_t from = i;
        if (s[i] == '"') {
            while (++i < s.size() && s[i] != '"')
                if (static_cast<unsigned char>(s[i]) < 0x20 || (s[i] == '\\' && !Escape())) return false;
            return i < s.size() && (*text = s.substr(from + 1, i++ - from - 1), true);
        }
        for (const std::string word : {"true", "false", "null"})
            if (s.compare(i, word.size(), word) == 0) return i += word.size(), *text = word, true;
        i += s[i] == '-';
        const std::size_t end = std::min(s.find_first_not_of("0123456789", i), s.size());
        if (end == i || (s[i] == '0' && end > i + 1)) return false;  // no digit, or a leading zero
        return i = end, *text = s.substr(from, i - from), true;
    }
    bool Value(const std::string& key) {
        std::string text;
        if (Eat('{')) return Seq('}', [&] { return Skip() && s[i] == '"' && Scalar(&text) && Eat(':') && Value(text); });
        if (Eat('[')) return Seq(']', [&] { return Value(key); });
        return Skip() && Scalar(&text) && (scalars.emplace_back(key, text), true);
    }
    bool Parse(const std::string& text) { return s = text, Value("") && !Skip(); }
};

// Where the converter put the records of a layout 2 image, read back.
struct Places { std::uint64_t none = 0, mapSb1, mapSb2, mapCp, dataSb1, dataCp, metaSb1, metaSb2, metaCp; };

Places Locate(const Image& image) {
    const Bytes map = ReadBytes(image.files[0]), data = ReadBytes(image.files[1]), meta = ReadBytes(image.files[2]);
    const auto mh = DecodeRecord<MapHeaderV6>(map.data());
    const auto dh = DecodeRecord<DataHeaderV6>(data.data());
    const auto th = DecodeRecord<MetadataHeaderV6>(meta.data());
    const std::uint64_t b = dh.BlockSize, s1 = dh.FirstSuperblockBlock * b;
    return {0, mh.FirstSuperblockOffset, mh.SecondSuperblockOffset,
            DecodeRecord<MapSuperblock>(map.data() + mh.FirstSuperblockOffset).CheckpointOffset, s1,
            DecodeRecord<DataSuperblock>(data.data() + s1).CheckpointBlock * b, th.FirstSuperblockOffset,
            th.SecondSuperblockOffset, DecodeRecord<MetadataSuperblock>(meta.data() + th.FirstSuperblockOffset).CheckpointOffset};
}

// In file (0 map, 1 data, 2 metadata), at offset into the record at record, value is written as 32 bits (0
// flips the byte's lowest bit); reseal makes the superblock's CRC right, so only the copies' comparison can tell.
struct Damage {
    const char* name; int file; std::uint64_t Places::*record; std::uint64_t offset; std::uint32_t value; bool reseal;
    const char* expected;
};

void PrintTo(const Damage& d, std::ostream* out) { *out << d.name; }
class NbinfoDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(NbinfoDamage, IsReportedWithExitStatusOne) {
    const Damage& d = GetParam();
    const auto image = Make(2);
    const std::uint64_t at = Locate(*image).*d.record + d.offset;
    Bytes bytes = ReadBytes(image->files[d.file]);
    if (d.value != 0) PutLe32(bytes.data(), at, d.value);
    else bytes[at] ^= 0x01;
    if (d.reseal)
        NbSealCrc(bytes.data() + at - d.offset, d.file == 0 ? kMapSuperblockSize : kMetadataSuperblockSize,
                  d.file == 0 ? kMapSuperblockCrcOffset : kMetadataSuperblockCrcOffset);
    WriteBytes(image->files[d.file], bytes);
    const RunResult run = Info(*image);
    EXPECT_EQ(run.ExitCode, 1) << run.Out;
    const auto failures = Failures(run.Out);
    EXPECT_TRUE(std::ranges::any_of(failures, [&](auto& f) { return f.find(d.expected) != std::string::npos; })) << run.Out;
    for (const std::string& f : failures) EXPECT_TRUE(!d.reseal || f.find("Crc is") == std::string::npos) << f;
}

INSTANTIATE_TEST_SUITE_P(
    Records, NbinfoDamage,
    ::testing::Values(
        Damage {"MapHeaderMagic", 0, &Places::none, 0, 0, false, "FAIL map MapHeaderV6: Signature is not"},
        Damage {"MapSuperblockCopy1", 0, &Places::mapSb1, 20, 0, false, "FAIL map MapSuperblock 1: Crc is"},
        Damage {"MapSuperblockCopy2", 0, &Places::mapSb2, 20, 0, false, "FAIL map MapSuperblock 2: Crc is"},
        Damage {"MapCheckpointHead", 0, &Places::mapCp, 44, 0, false, "FAIL map MapCheckpoint: Crc is"},
        Damage {"PageTableEntryOutsideTheMap", 0, &Places::mapCp, 1076 + 4, 0x00FFFFFF, false,
                "FAIL map MapCheckpoint PageTable: entry 1 = 16777215"},
        Damage {"DataSuperblock", 1, &Places::dataSb1, 20, 0, false, "FAIL data DataSuperblock 1: Crc is"},
        Damage {"DataCheckpoint", 1, &Places::dataCp, 8, 0, false, "FAIL data DataCheckpoint: HeaderCrc is"},
        Damage {"MetadataSuperblock", 2, &Places::metaSb1, 24, 0, false, "FAIL metadata 1 MetadataSuperblock 1: Crc is"},
        Damage {"MetadataCheckpoint", 2, &Places::metaCp, 8, 0, false, "FAIL metadata 1 MetadataCheckpoint: HeaderCrc"},
        Damage {"DataIdentifier", 1, &Places::none, 8, 0, false, "FAIL image: map names the data Guid"},
        Damage {"MapSuperblockCopiesDiffer", 0, &Places::mapSb2, 32, 0, true, "FAIL map MapSuperblock 2: differs"},
        Damage {"MetadataCopiesDiffer", 2, &Places::metaSb2, 48, 0, true, "FAIL metadata 1 MetadataSuperblock 2: differs"},
        Damage {"CheckpointOver1GiBIsDeclinedNotPastTheEnd", 0, &Places::mapSb1, 28, 0x80000000u, true,
                "FAIL map MapCheckpoint: bytes 262144 to 2147745792 are not read: a record of more than 1073741824 bytes is declined"}),
    ::testing::PrintToStringParamName());

// Catches JSON that a reader cannot parse, or whose identifiers are not the
// text's (rounded, unsigned, reordered, missing).
TEST(NbinfoJson, ParsesAndCarriesTheTextsIdentifiers) {
    const auto image = Make(4);
    JsonScan good;
    ASSERT_TRUE(good.Parse(Info(*image, {"--json"}).Out)) << good.s;
    std::vector<std::string> ids;
    for (const auto& [key, value] : good.scalars)
        if (key == "Guid" || key == "DataGuid") ids.push_back(value);
    std::vector<std::string> text;  // the same identifiers in the text form
    for (const std::string& line : Lines(Info(*image).Out)) {
        const std::string field = line.substr(std::min(line.find_first_not_of(' '), line.size()));
        for (const std::string key : {"Guid: ", "DataGuid: "})
            if (field.starts_with(key)) text.push_back(field.substr(key.size()));
    }
    EXPECT_EQ(ids, text);
    EXPECT_EQ(ids.size(), 5u);  // the map's two, the data file's, one per metadata file
    EXPECT_EQ(good.scalars.back(), std::make_pair(std::string("ok"), std::string("true")));
}

// Catches a legacy verdict that a JSON reader cannot see: "convertible" and
// the converter's reason among the findings.
TEST(NbinfoJson, CarriesTheConvertersVerdictOnALegacyImage) {
    TempDir dir;
    const ImageRecipe s = PlaceImage(ReliabilityRecipe(4, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(s, nullptr));
    std::vector<std::string> args = ConverterArgs(s);
    args.insert(args.begin(), "--json");
    JsonScan good, refused;
    ASSERT_TRUE(good.Parse(RunProgram(ToolPath("nbinfo"), args).Out)) << good.s;
    EXPECT_NE(std::ranges::find(good.scalars, std::make_pair(std::string("convertible"), std::string("true"))), good.scalars.end());
    Bytes map = ReadBytes(MapFileName(s));
    PutLe32(map.data(), 34, 6000);  // MapDataOffset of a plain layout 4 map
    WriteBytes(MapFileName(s), map);
    ASSERT_TRUE(refused.Parse(RunProgram(ToolPath("nbinfo"), args).Out)) << refused.s;
    for (const auto& kv : {std::pair<std::string, std::string> {"convertible", "false"},
                           {"findings", "convert: Map data offset is not a whole page behind the header (6000, limit 4096)"},
                           {"ok", "false"}})
        EXPECT_NE(std::ranges::find(refused.scalars, kv), refused.scalars.end()) << kv.first << " " << refused.s;
}

struct Refusal { const char* name; std::function<void(const Image&, std::vector<std::string>&)> spoil; const char* expected; };

void PrintTo(const Refusal& r, std::ostream* out) { *out << r.name; }
class NbinfoRefusal : public ::testing::TestWithParam<Refusal> {};

// Catches a tool that reports nonsense, or crashes, for input it cannot read.
TEST_P(NbinfoRefusal, ExitsWithTwoAndSaysWhy) {
    const auto image = Make(2);
    std::vector<std::string> args = image->args;
    GetParam().spoil(*image, args);
    const RunResult run = RunProgram(ToolPath("nbinfo"), args);
    EXPECT_TRUE(run.ExitCode == 2 && run.Out.empty()) << run.ExitCode << run.Out;
    EXPECT_NE(run.Err.find(GetParam().expected), std::string::npos) << run.Err;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, NbinfoRefusal,
    ::testing::Values(
        Refusal {"MissingMetadata", [](auto& i, auto&) { std::filesystem::remove(i.files[2]); }, "img.nbmetadata: error 2"},
        Refusal {"MetadataOf10Bytes", [](auto& i, auto&) { std::filesystem::resize_file(i.files[2], 10); }, "too short"},
        Refusal {"MapShorterThanItsHeader", [](auto& i, auto&) { std::filesystem::resize_file(i.files[0], 500); },
                 "shorter than its layout 6 header of 838 bytes"},
        Refusal {"TwoArguments", [](auto&, auto& args) { args.pop_back(); }, "give a map base"},
        Refusal {"UnknownOption", [](auto&, auto& args) { args.insert(args.begin(), "--fix"); }, "unknown option --fix"}),
    ::testing::PrintToStringParamName());

// What lies under the journal's name.
enum class Under { File, Link, Folder };

// {J} in the expected lines stands for the journal's name.
struct Unfinished {
    const char* name;
    std::uint32_t layout;
    bool converted;   // a layout 6 image, as a crash after the rewrite leaves it
    Under under;
    bool linkedMap;   // the map file is a link: the journal lies beside the file it names
    const char* fail;
    const char* advice;
};

void PrintTo(const Unfinished& u, std::ostream* out) { *out << u.name; }
class NbinfoUnfinished : public ::testing::TestWithParam<Unfinished> {};

std::string WithJournal(std::string text, const std::string& journal) {
    if (const auto at = text.find("{J}"); at != std::string::npos) text.replace(at, 3, journal);
    return text;
}

// The text as the tool puts it in a JSON string (the test's names are printable ASCII).
std::string JsonText(const std::string& text) {
    std::string out;
    for (const char c : text) out += c == '"' || c == '\\' ? std::string {'\\', c} : std::string(1, c);
    return out;
}

using Scalars = std::vector<std::pair<std::string, std::string>>;

Scalars JsonScalars(const std::vector<std::string>& args) {
    std::vector<std::string> json = args;
    json.insert(json.begin(), "--json");
    JsonScan scan;
    EXPECT_TRUE(scan.Parse(RunProgram(ToolPath("nbinfo"), json).Out)) << scan.s;
    return scan.scalars;
}

// Catches a tool that calls an image consistent (or convertible) while a
// conversion of it did not finish, that trusts what lies under the journal's
// name, that looks for the journal beside a link instead of beside the file
// the converter works on, or that changes anything else it prints.
TEST_P(NbinfoUnfinished, IsAFindingWithAdviceAndExitStatusOne) {
    const Unfinished& u = GetParam();
    if (const char* why = SymbolicLinkSkipReason(); why != nullptr && (u.under == Under::Link || u.linkedMap)) {
        GTEST_SKIP() << why;
    }
    TempDir dir;
    const ImageRecipe s = PlaceImage(ReliabilityRecipe(u.layout, 0, u.layout == 2 ? 1 : 2, 34), dir);
    ASSERT_TRUE(WriteImage(s, nullptr));
    const std::vector<std::string> args = ConverterArgs(s);
    if (u.converted) {
        ASSERT_EQ(Lines(RunConverter(args).Out).back(), "main: Finished successfully!");
    }
    std::string map = MapFileName(s);
    if (u.linkedMap) {
        const std::string target = dir / "elsewhere";
        std::filesystem::create_directory(target);
        std::filesystem::rename(map, target + "/img.nbbitmap");
        std::filesystem::create_symlink(target + "/img.nbbitmap", map);
        WriteBytes(map + ".jnl", {'x'});  // beside the link: no journal of the converter's
        map = target + "/img.nbbitmap";
    }
    const std::string journal = map + ".jnl";

    const RunResult before = RunProgram(ToolPath("nbinfo"), args);
    ASSERT_EQ(before.ExitCode, 0) << before.Out;
    ASSERT_TRUE(Failures(before.Out).empty()) << before.Out;
    EXPECT_EQ(before.Out.find("journal"), std::string::npos) << before.Out;
    const Scalars beforeJson = JsonScalars(args);
    ASSERT_FALSE(beforeJson.empty());
    ASSERT_EQ(beforeJson.back(), std::make_pair(std::string("ok"), std::string("true")));
    for (const auto& [key, value] : beforeJson) EXPECT_TRUE(key != "unfinishedConversion" && key != "journal") << key;

    if (u.under == Under::File) WriteBytes(journal, {'n', 'o', 't', ' ', 'a', ' ', 'j', 'o', 'u', 'r', 'n', 'a', 'l'});
    if (u.under == Under::Link) std::filesystem::create_symlink(map, journal);  // a link to a regular file, the map
    if (u.under == Under::Folder) std::filesystem::create_directory(journal);
    const auto files = Snapshot(dir.Path());

    const std::string fail = WithJournal(u.fail, journal), advice = WithJournal(u.advice, journal);
    const RunResult after = RunProgram(ToolPath("nbinfo"), args);
    EXPECT_EQ(after.ExitCode, 1) << after.Out;
    std::vector<std::string> expected = Lines(before.Out);
    expected.back() = fail;
    expected.insert(expected.end(), {advice, "Result: 1 finding(s)"});
    EXPECT_EQ(Lines(after.Out), expected);

    Scalars expectedJson(beforeJson.begin(), beforeJson.end() - 1);
    expectedJson.insert(expectedJson.end(), {{"unfinishedConversion", "true"},
                                             {"journal", JsonText(journal)},
                                             {"journalRegularFile", u.under == Under::File ? "true" : "false"},
                                             {"advice", JsonText(advice)},
                                             {"findings", JsonText(fail.substr(5))},
                                             {"ok", "false"}});
    EXPECT_EQ(JsonScalars(args), expectedJson);
    EXPECT_EQ(Snapshot(dir.Path()), files) << "nbinfo changed a file";
}

const char kThere[] = "FAIL journal: the journal [{J}] of a conversion that did not finish is there";
const char kRunAgain[] =
    "Run the converter again with the same command: it restores every file from its backup, then converts the image";
const char kRemoveIt[] =
    "Find out what [{J}] is and remove it; only if a conversion of this image did not finish, restore the image from "
    "its backups by hand (see MANUAL RESTORE in NimbraConvert(1))";

INSTANTIATE_TEST_SUITE_P(
    Journal, NbinfoUnfinished,
    ::testing::Values(
        Unfinished {"LegacyImage", 4, false, Under::File, false, kThere, kRunAgain},
        Unfinished {"Layout6Image", 2, true, Under::File, false, kThere, kRunAgain},
        Unfinished {"LinkedMapFile", 3, false, Under::File, true, kThere, kRunAgain},
        Unfinished {"LinkUnderTheName", 4, false, Under::Link, false,
                    "FAIL journal: the journal [{J}] of a conversion that did not finish is a symbolic link, which the "
                    "converter refuses", kRemoveIt},
        Unfinished {"FolderUnderTheName", 2, true, Under::Folder, false,
                    "FAIL journal: the journal [{J}] of a conversion that did not finish is not a regular file, which "
                    "the converter refuses", kRemoveIt}),
    ::testing::PrintToStringParamName());

// Catches advice that is wrong for the case it is given in: a converter
// killed in the middle of its changes leaves files of two layouts and its
// journal; nbinfo says to run it again, and once that is done it finds
// nothing left to report.
TEST(NbinfoKilledConversion, AfterAKillMidChangeTheAdviceFollowedLeavesAConsistentImage) {
    TempDir dir;
    const ImageRecipe s = PlaceImage(ReliabilityRecipe(2, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(s, nullptr));
    const auto original = Snapshot(dir.Path());
    FaultHost counter;
    ASSERT_EQ(Lines((ScopedHost(counter), RunConverterInProcess(ConverterArgs(s))).Out).back(), "main: Finished successfully!");
    PutBack(dir.Path(), original);
    // Killed at its last write, the undo record's: the files look converted, the journal says otherwise.
    ASSERT_TRUE(EndedByCrash(ConverterChild(ConverterArgs(s), {counter.Count(HostCall::Write), HostCall::Write, FaultKind::Crash, 0}).Wait()));
    const std::string journal = MapFileName(s) + ".jnl";
    ASSERT_TRUE(Exists(journal));

    const RunResult killed = RunProgram(ToolPath("nbinfo"), ConverterArgs(s));
    EXPECT_EQ(killed.ExitCode, 1) << killed.Out;
    const auto failures = Failures(killed.Out);
    EXPECT_NE(std::ranges::find(failures, WithJournal(kThere, journal)), failures.end()) << killed.Out;
    const auto lines = Lines(killed.Out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], kRunAgain) << killed.Out;

    ASSERT_EQ(Lines(RunConverter(ConverterArgs(s)).Out).back(), "main: Finished successfully!");
    const RunResult rerun = RunProgram(ToolPath("nbinfo"), ConverterArgs(s));
    EXPECT_EQ(rerun.ExitCode, 0) << rerun.Out;
    EXPECT_EQ(Lines(rerun.Out).back(), "Result: consistent") << rerun.Out;
}

// What nbinfo says of undoing a converted image is what nbundo would find:
// possible while record, backups and files match; otherwise the reason, in
// nbundo's words. Neither is a finding: the exit status stays 0.
TEST(NbinfoUndo, TellsWhetherNbundoCanGiveTheLegacyImageBack) {
    const auto image = Make(4);
    const std::string map = image->files[0], record = map + ".undo";
    const auto possible = [&](const std::string& problem) {
        const Scalars json = JsonScalars(image->args);
        Scalars undo;
        for (const auto& kv : json)
            if (kv.first == "Record" || kv.first == "Possible" || kv.first == "problems") undo.push_back(kv);
        Scalars want {{"Record", JsonText(record)}, {"Possible", problem.empty() ? "true" : "false"}};
        if (!problem.empty()) want.push_back({"problems", JsonText(problem)});
        EXPECT_EQ(undo, want);
        const RunResult text = Info(*image);
        EXPECT_EQ(text.ExitCode, 0) << text.Out;
        EXPECT_NE(text.Out.find(problem.empty() ? "  Possible: yes\n" : "  Possible: no\n  " + problem + "\n"),
                  std::string::npos) << text.Out;
    };
    possible("");
    const std::string backup = image->files[1] + ".backup";
    Bytes bytes = ReadBytes(backup);
    bytes[100] ^= 1;
    WriteBytes(backup, bytes);
    possible("The backup [" + backup + "] is not the one the undo record names");
    std::filesystem::remove(record);
    possible("There is no undo record [" + record + "]: nothing to undo (the image was not converted by this converter, "
             "or was undone already)");
}

}  // namespace
