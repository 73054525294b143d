// Who may read the files a conversion makes (the backups, and the new map
// whose old self becomes its backup) when someone other than the image's
// owner runs it: the owner and group as far as the runner may set them,
// never more rights than the image's files gave, and their extended
// attributes and access lists. Root runs the converter as other users.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <tuple>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"
#include "tools/image_maker.h"

namespace {

constexpr unsigned kImageOwner = 2000, kImageGroup = 3000, kNamedUser = 2003, kNamedGroup = 3001;
constexpr char kAccessList[] = "system.posix_acl_access";
constexpr char kDefaultList[] = "system.posix_acl_default";

// Who runs the converter: root itself, or a user with only these groups.
struct Runner {
    const char* Name;
    bool Root;
    unsigned User;
    const char* Groups;     // supplementary groups for setpriv; "" for none
    unsigned ImageMode;     // what the image's files allow, so that this runner may convert
    FileOwner Expected;     // of every file the run makes
    bool GroupKept;
};

const Runner kRunners[] = {
    {"Root", true, 0, "", 0660, {kImageOwner, kImageGroup, 0660}, true},
    // The report: a member of the image's group, who may hand files to it.
    {"GroupMember", false, 2001, "3000", 0660, {2001, kImageGroup, 0660}, true},
    // Neither owner nor group can be kept: the image's group and others
    // would be others here, and get nothing.
    {"Outsider", false, 2002, "", 0666, {2002, 2002, 0600}, false},
    // The owner is kept but, out of the group now, not the group.
    {"OwnerOutsideItsGroup", false, kImageOwner, "", 0660, {kImageOwner, kImageOwner, 0600}, false},
};

struct Layout {
    const char* Name;
    std::uint32_t Number;
};
// Layout 2 moves the map's body into a new file; layout 4 with a plain map rebuilds it.
const Layout kLayouts[] = {{"Relocated", 2}, {"Rebuilt", 4}};

void PrintTo(const Runner& r, std::ostream* out) { *out << r.Name; }
void PrintTo(const Layout& l, std::ostream* out) { *out << l.Name; }

using Case = std::tuple<Layout, Runner>;
std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return std::string(std::get<0>(info.param).Name) + "By" + std::get<1>(info.param).Name;
}

std::optional<std::string> Setpriv() {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = folder + "/setpriv";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

// Why this machine cannot run these cases, or null.
const char* SkipReason() {
    if (const char* why = OwnershipSkipReason()) return why;
    if (!Setpriv()) return "setpriv is not installed: no way to run the converter as another user";
    return nullptr;
}

RunResult RunAs(const Runner& runner, const std::vector<std::string>& args) {
    if (runner.Root) return RunConverter(args);
    const std::string id = std::to_string(runner.User);
    std::vector<std::string> words {"--reuid=" + id, "--regid=" + id,
                                    *runner.Groups != '\0' ? std::string("--groups=") + runner.Groups : "--clear-groups",
                                    "--", NB_CONVERTER_PATH};
    words.insert(words.end(), args.begin(), args.end());
    return RunProgram(*Setpriv(), words);
}

std::uint64_t Inode(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::optional<std::string> Attribute(const std::string& file, const char* name) {
    std::string value(65536, '\0');
    const ssize_t n = ::getxattr(file.c_str(), name, value.data(), value.size());
    if (n < 0) return std::nullopt;
    value.resize(static_cast<std::size_t>(n));
    return value;
}

int SetAttribute(const std::string& file, const char* name, const std::string& value) {
    return ::setxattr(file.c_str(), name, value.data(), value.size(), 0) == 0 ? 0 : errno;
}

// An access list in the kernel's form: version 2, then tag, permissions and
// ID per entry, little-endian, in the kernel's order.
struct Entry { unsigned Tag, Perm, Id; };
std::string AccessList(std::initializer_list<Entry> entries) {
    std::string bytes {2, 0, 0, 0};
    for (const Entry& e : entries)
        for (const unsigned v : {e.Tag & 0xFF, e.Tag >> 8, e.Perm, 0u, e.Id & 0xFF, e.Id >> 8 & 0xFF, e.Id >> 16 & 0xFF, e.Id >> 24})
            bytes.push_back(static_cast<char>(v));
    return bytes;
}
constexpr unsigned kOwnerEntry = 0x01, kUserEntry = 0x02, kGroupEntry = 0x04, kNamedGroupEntry = 0x08,
                   kMaskEntry = 0x10, kOthersEntry = 0x20, kNoId = 0xFFFFFFFF;

// The image's files: "mode" bits for the owner, its group and others, plus a
// named user and a named group that may read; the mask lets the group bits stand.
std::string ImageAccessList(unsigned mode, bool groupKept) {
    return AccessList({{kOwnerEntry, mode >> 6 & 7, kNoId},
                       {kUserEntry, 4, kNamedUser},
                       {kGroupEntry, groupKept ? (mode >> 3 & 7) : 0, kNoId},
                       {kNamedGroupEntry, 4, kNamedGroup},
                       {kMaskEntry, mode >> 3 & 7, kNoId},
                       {kOthersEntry, groupKept ? (mode & 7) : 0, kNoId}});
}

struct Converted {
    TempDir dir;
    ImageRecipe recipe;
    std::uint64_t mapInode = 0;
};

// The image, made by root and given to its owner, in a folder anyone may write.
void MakeImage(Converted& c, std::uint32_t layout, unsigned mode) {
    c.recipe = PlaceImage(ReliabilityRecipe(layout, 0, 1, 34), c.dir);
    ASSERT_TRUE(WriteImage(c.recipe, nullptr));
    std::filesystem::permissions(c.dir.Path(), std::filesystem::perms::all);
    for (const std::string& f : ImageFiles(c.recipe)) ASSERT_TRUE(SetFileOwner(f, {kImageOwner, kImageGroup, mode}));
    c.mapInode = Inode(MapFileName(c.recipe));
}

void Convert(Converted& c, const Runner& runner) {
    const RunResult run = RunAs(runner, ConverterArgs(c.recipe));
    ASSERT_EQ(run.ExitCode, 0) << run.Out << run.Err;
    ASSERT_EQ(Lines(run.Out).back(), "main: Finished successfully!");
    // The run made a new map, and the old one is its backup.
    ASSERT_NE(Inode(MapFileName(c.recipe)), c.mapInode);
    ASSERT_EQ(Inode(MapFileName(c.recipe) + ".backup"), c.mapInode);
}

// The new map, and the backup of every other file.
std::vector<std::string> MadeFiles(const ImageRecipe& recipe) {
    std::vector<std::string> made {MapFileName(recipe)};
    for (const std::string& f : ImageFiles(recipe))
        if (f != MapFileName(recipe)) made.push_back(f + ".backup");
    return made;
}

class MadeFilesOf : public testing::TestWithParam<Case> {};

TEST_P(MadeFilesOf, GetTheImagesOwnerAndGroupWhereTheRunnerMayAndNeverMoreRights) {
    if (const char* why = SkipReason()) GTEST_SKIP() << why;
    const auto& [layout, runner] = GetParam();
    Converted c;
    MakeImage(c, layout.Number, runner.ImageMode);
    Convert(c, runner);
    for (const std::string& name : MadeFiles(c.recipe)) {
        const FileOwner got = GetFileOwner(name);
        EXPECT_EQ(got.User, runner.Expected.User) << name;
        EXPECT_EQ(got.Group, runner.Expected.Group) << name;
        EXPECT_EQ(got.Mode, runner.Expected.Mode) << std::oct << name << " mode " << got.Mode;
    }
}

TEST_P(MadeFilesOf, CarryTheImagesAttributesAndAccessList) {
    if (const char* why = SkipReason()) GTEST_SKIP() << why;
    const auto& [layout, runner] = GetParam();
    Converted c;
    MakeImage(c, layout.Number, runner.ImageMode);
    const std::string list = ImageAccessList(runner.ImageMode, true);
    for (const std::string& f : ImageFiles(c.recipe)) {
        if (SetAttribute(f, "user.nb.note", "of " + f) == ENOTSUP)
            GTEST_SKIP() << "the temporary folder's file system keeps no user attributes";
        ASSERT_EQ(SetAttribute(f, "user.nb.empty", ""), 0);
        const int error = SetAttribute(f, kAccessList, list);
        if (error == ENOTSUP) GTEST_SKIP() << "the temporary folder's file system keeps no access lists";
        ASSERT_EQ(error, 0);
        // Only root may set these, and only root gets them on the copies.
        if (const int refused = SetAttribute(f, "security.nbtest", "label"); refused != 0)
            GTEST_SKIP() << "security attributes cannot be set here: " << std::strerror(refused);
        ASSERT_EQ(SetAttribute(f, "trusted.nb", "root's"), 0);
    }
    Convert(c, runner);
    for (const std::string& f : ImageFiles(c.recipe)) {
        const std::string made = f == MapFileName(c.recipe) ? f : f + ".backup";
        const std::string& original = f == MapFileName(c.recipe) ? f + ".backup" : f;
        EXPECT_EQ(Attribute(made, "user.nb.note"), Attribute(original, "user.nb.note")) << made;
        EXPECT_EQ(Attribute(made, "user.nb.empty"), std::optional<std::string>("")) << made;
        // Under another group the list's group and others entries give nothing.
        EXPECT_EQ(Attribute(made, kAccessList), ImageAccessList(runner.ImageMode, runner.GroupKept)) << made;
        const auto rootOnly = runner.Root ? std::optional<std::string>("label") : std::nullopt;
        EXPECT_EQ(Attribute(made, "security.nbtest"), rootOnly) << made;
        EXPECT_EQ(Attribute(made, "trusted.nb"), runner.Root ? std::optional<std::string>("root's") : std::nullopt) << made;
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, MadeFilesOf, testing::Combine(testing::ValuesIn(kLayouts), testing::ValuesIn(kRunners)),
                         CaseName);

// A folder whose default access list names a user would give the new files
// an entry the image's files do not have: they get none.
TEST(MadeFiles, TakeNothingFromTheFoldersDefaultAccessList) {
    if (const char* why = SkipReason()) GTEST_SKIP() << why;
    const Runner& member = kRunners[1];
    Converted c;
    MakeImage(c, 2, member.ImageMode);
    const std::string folderDefault = AccessList({{kOwnerEntry, 7, kNoId},
                                                  {kUserEntry, 6, kNamedUser},
                                                  {kGroupEntry, 7, kNoId},
                                                  {kMaskEntry, 7, kNoId},
                                                  {kOthersEntry, 7, kNoId}});
    const int error = SetAttribute(c.dir.Path().string(), kDefaultList, folderDefault);
    if (error == ENOTSUP) GTEST_SKIP() << "the temporary folder's file system keeps no access lists";
    ASSERT_EQ(error, 0);
    Convert(c, member);
    for (const std::string& name : MadeFiles(c.recipe)) {
        EXPECT_EQ(Attribute(name, kAccessList), std::nullopt) << name;
        EXPECT_EQ(GetFileOwner(name).Mode, 0660u) << name;
    }
}

}  // namespace
