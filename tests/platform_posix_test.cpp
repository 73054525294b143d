// The Linux host's one table from errno values to system error codes (the
// Windows host passes the system's codes through and has none), and what it
// tells of a name before the run believes a file it did not make.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/file.h"
#include "platform/host.h"
#include "platform/host_errors.h"
#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"

namespace {

TEST(HostErrors, EveryMappedErrnoGivesItsSystemCode) {
    using C = HostErrnoContext;
    struct Row { int error; NbResult code; C context = C::General; };
    const Row rows[] = {
        {0, 0},        {ENOENT, 2},   {ENOTDIR, 3},  {EACCES, 5},  {EPERM, 5},   {EISDIR, 5},   {ENOMEM, 8},  {EROFS, 19},
        {EWOULDBLOCK, 32}, {EAGAIN, 32}, {EEXIST, 80}, {EEXIST, 183, C::Rename}, {ENOTEMPTY, 183, C::Rename}, {EINVAL, 87},
        {ENOSPC, 112}, {EDQUOT, 112}, {ENAMETOOLONG, 206}, {EBADF, 6}, {EMFILE, 4}, {ENFILE, 4}, {EXDEV, 17, C::Rename},
        {EBUSY, 170},  {EFBIG, 223},  {ELOOP, 1921}, {EIO, 1117},  {EPIPE, 31},  {ENOENT, 2, C::Rename},
    };
    for (const Row& row : rows) EXPECT_EQ(NbHostErrorFromErrno(row.error, row.context), row.code) << row.error;
}

HostFileInfo Inspected(const std::string& name) {
    HostFileInfo info;
    EXPECT_EQ(NbSystemHost().Inspect(name.c_str(), &info), NB_OK) << name;
    return info;
}

// An open of the real host, closed with the object.
class Opened {
public:
    Opened(const std::string& name, bool existing, std::uint32_t flags)
        : code_(NbSystemHost().Open(name.c_str(), existing, NB_ACCESS_READ_WRITE, NB_SHARE_READ, flags, &handle_)) {}
    ~Opened() {
        if (code_ == NB_OK) (void)NbSystemHost().Close(handle_);
    }
    [[nodiscard]] NbResult Code() const { return code_; }
    HostFileInfo Info() const {
        HostFileInfo info;
        EXPECT_EQ(NbSystemHost().InspectHandle(handle_, &info), NB_OK);
        return info;
    }
    HostFileId Id() const {
        HostFileId id;
        EXPECT_EQ(NbSystemHost().Identity(handle_, &id), NB_OK);
        return id;
    }

private:
    HostHandle handle_ = kInvalidHostHandle;
    NbResult code_;
};

TEST(PosixHost, InspectTellsPlainFilesFoldersLinksAndMissingNamesApart) {
    TempDir dir;
    const std::string file = dir / "journal", link = dir / "link", dangling = dir / "dangling";
    WriteBytes(file, {1});
    std::filesystem::permissions(file, std::filesystem::perms(0644));
    std::filesystem::create_symlink(file, link);
    std::filesystem::create_symlink(dir / "nowhere", dangling);

    const HostFileInfo plain = Inspected(file);
    EXPECT_TRUE(plain.Regular);
    EXPECT_FALSE(plain.Link);
    EXPECT_TRUE(plain.OwnerTrusted);
    EXPECT_FALSE(plain.WritableByOthers);
    EXPECT_EQ(plain.Owner, GetFileOwner(file).User);

    for (const std::string& name : {link, dangling}) {
        SCOPED_TRACE(name);
        const HostFileInfo info = Inspected(name);
        EXPECT_TRUE(info.Link) << "a link in a journal's place is never followed";
        EXPECT_FALSE(info.Regular);
        EXPECT_FALSE(info.Id == plain.Id);
        EXPECT_EQ(Opened(name, true, NB_FLAG_NO_FOLLOW).Code(), NB_NAME_NOT_RESOLVED);
        EXPECT_EQ(Opened(name, false, NB_FLAG_NO_FOLLOW).Code(), NB_FILE_EXISTS) << "a new file is never made through a link";
    }
    EXPECT_FALSE(Exists(dir / "nowhere"));
    EXPECT_EQ(Opened(link, true, 0).Info().Id, plain.Id) << "without the flag the link is followed";

    // The name and its open handle are one file, the one Identity names.
    Opened opened(file, true, NB_FLAG_NO_FOLLOW);
    ASSERT_EQ(opened.Code(), NB_OK);
    const HostFileInfo byHandle = opened.Info();
    EXPECT_EQ(byHandle.Id, opened.Id());
    EXPECT_EQ(plain.Id, opened.Id());
    EXPECT_TRUE(byHandle.Regular);
    EXPECT_FALSE(byHandle.Link);
    EXPECT_EQ(byHandle.Owner, plain.Owner);

    const HostFileInfo folder = Inspected(dir.Path().string());
    EXPECT_FALSE(folder.Regular) << "a folder in a journal's place";
    EXPECT_FALSE(folder.Link);
    EXPECT_TRUE(Inspected("/").OwnerTrusted) << "root's";
    HostFileInfo info;
    EXPECT_EQ(NbSystemHost().Inspect((dir / "missing").c_str(), &info), NB_FILE_NOT_FOUND);
    EXPECT_EQ(NbSystemHost().Inspect((dir / "missing/below").c_str(), &info), NB_FILE_NOT_FOUND);
}

struct ModeCase {
    const char* Name;
    unsigned Mode;
    bool WritableByOthers;
};

class ModeBits : public testing::TestWithParam<ModeCase> {};

TEST_P(ModeBits, AFileTheGroupOrOthersMayWriteIsToldFromOneOnlyItsOwnerMay) {
    TempDir dir;
    const std::string name = dir / "journal";
    WriteBytes(name, {1});
    std::filesystem::permissions(name, std::filesystem::perms(GetParam().Mode));
    EXPECT_EQ(Inspected(name).WritableByOthers, GetParam().WritableByOthers);
    Opened file(name, true, 0);
    ASSERT_EQ(file.Code(), NB_OK);
    EXPECT_EQ(file.Info().WritableByOthers, GetParam().WritableByOthers);
}

INSTANTIATE_TEST_SUITE_P(PosixHost, ModeBits,
                         testing::Values(ModeCase {"Owner", 0600, false}, ModeCase {"EveryoneReads", 0644, false},
                                         ModeCase {"ReadOnly", 0444, false}, ModeCase {"GroupWrites", 0664, true},
                                         ModeCase {"OthersWrite", 0646, true}, ModeCase {"GroupWritesOnly", 0620, true},
                                         ModeCase {"OthersWriteOnly", 0602, true}),
                         [](const testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.Name); });

TEST(PosixHost, AFileOfAnotherUserIsNotTrusted) {
    if (const char* reason = OwnershipSkipReason()) GTEST_SKIP() << reason;
    TempDir dir;
    const std::string name = dir / "journal";
    WriteBytes(name, {1});
    ASSERT_TRUE(SetFileOwner(name, {1234, 1234, 0600}));
    const HostFileInfo info = Inspected(name);
    EXPECT_EQ(info.Owner, 1234u);
    EXPECT_FALSE(info.OwnerTrusted);
    EXPECT_FALSE(info.WritableByOthers);
    ASSERT_TRUE(SetFileOwner(name, {0, 0, 0600}));
    EXPECT_TRUE(Inspected(name).OwnerTrusted) << "root's";
}

}  // namespace
