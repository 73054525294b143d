// What only the Windows build does, as the system (or Wine) gives it: share
// modes instead of locks, MoveFileA's 183, exit codes of 32 bits, backslashes
// and drive letters, names past MAX_PATH, the whole-run lock on a far byte.
// Built for Windows only (CMake leaves *_windows_test.cpp out elsewhere).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/file.h"
#include "platform/host.h"
#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"
#include "tests/support/v6_expect.h"
#include "tools/image_maker.h"

namespace {

std::string Backslashed(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// A file held by a program that is not the converter, with the system's own
// call and share mode: no lock of ours is involved.
class ForeignHandle {
public:
    ForeignHandle(const std::string& name, DWORD access, DWORD share)
        : handle_(::CreateFileA(name.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~ForeignHandle() {
        if (Valid()) ::CloseHandle(handle_);
    }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

class Opened {
public:
    Opened(const std::string& name, std::uint32_t access, std::uint32_t share, bool existing = true, std::uint32_t flags = 0)
        : code_(NbSystemHost().Open(name.c_str(), existing, access, share, flags, &handle_)) {}
    ~Opened() {
        if (code_ == NB_OK) NbSystemHost().Close(handle_);
    }
    [[nodiscard]] NbResult Code() const { return code_; }
    HostHandle Handle() const { return handle_; }

private:
    HostHandle handle_ = kInvalidHostHandle;
    NbResult code_;
};

TEST(WindowsHost, ASharingConflictIs32FromTheSystemForEveryOpenerAndTheConverter) {
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(2, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const std::string map = MapFileName(recipe);
    const auto before = Snapshot(dir.Path());
    {
        ForeignHandle reader(map, GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(reader.Valid());
        EXPECT_EQ(Opened(map, NB_ACCESS_WRITE, NB_SHARE_READ_WRITE).Code(), NB_SHARING_VIOLATION);
        EXPECT_EQ(Opened(map, NB_ACCESS_READ, NB_SHARE_READ).Code(), NB_OK) << "readers share";
    }
    {
        ForeignHandle writer(map, GENERIC_WRITE, 0);
        ASSERT_TRUE(writer.Valid());
        EXPECT_EQ(Opened(map, NB_ACCESS_READ, NB_SHARE_READ_WRITE).Code(), NB_SHARING_VIOLATION);
        const RunResult run = RunConverter(ConverterArgs(recipe));
        EXPECT_EQ(run.ExitCode, 32);
        // The run's lock meets the other program's share mode first.
        EXPECT_EQ(run.Out, "main: File [" + map + "] is in use by another program. Error 32\n");
    }
    EXPECT_EQ(Snapshot(dir.Path()), before);
}

TEST(WindowsHost, RenameNeverReplacesReplaceDoesAndNeitherWaitsForTheRunsOwnHandles) {
    TempDir dir;
    const std::string a = dir / "a", b = dir / "b", c = dir / "c";
    WriteBytes(a, {1});
    WriteBytes(b, {2});
    Host& host = NbSystemHost();
    EXPECT_EQ(host.Rename(a.c_str(), b.c_str()), NB_ALREADY_EXISTS);
    {
        // Another handle of the run (the whole-run lock's) holds a: every
        // handle shares deletion, so the relocation's rename goes through.
        Opened held(a, NB_ACCESS_READ_WRITE, NB_SHARE_READ_WRITE);
        ASSERT_EQ(held.Code(), NB_OK);
        EXPECT_EQ(host.Rename(a.c_str(), c.c_str()), NB_OK);
        EXPECT_EQ(host.Rename(c.c_str(), a.c_str()), NB_OK);
    }
    EXPECT_EQ(host.Replace(a.c_str(), b.c_str()), NB_OK);
    EXPECT_FALSE(Exists(a));
    EXPECT_EQ(ReadBytes(b), Bytes {1});
    EXPECT_EQ(host.Remove(a.c_str()), NB_FILE_NOT_FOUND);
}

TEST(WindowsHost, ExitCodesAbove255ReachTheCallerUnchanged) {
    TempDir dir;
    WriteBytes(dir / "img.nbbitmap", Bytes(1000, 0x5A));  // shorter than the head backup
    const RunResult run = RunConverter({dir / "img", dir / "img", dir / "img"});
    EXPECT_EQ(run.ExitCode, 996) << "Linux shows 996 % 256 = 228";
    EXPECT_EQ(ShownExitCode(996), 996);
}

// Wine's own call for the Linux name of a file; absent on Windows.
std::string LinuxName(const std::string& windowsName) {
    using Call = char* (*)(const wchar_t*);
    const auto call = reinterpret_cast<Call>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (call == nullptr) return "";
    const std::wstring wide(windowsName.begin(), windowsName.end());
    char* unix = call(wide.c_str());
    if (unix == nullptr) return "";
    std::string name(unix);
    ::HeapFree(::GetProcessHeap(), 0, unix);
    return name;
}

TEST(WindowsHost, BackslashesDriveLettersAndRelativeNamesConvertLikeAnyPath) {
    struct Form { const char* Name; std::string (*Base)(const TempDir&); const char* InFolder; };
    const Form forms[] = {
        {"backslashes", [](const TempDir& d) { return Backslashed(d / "img"); }, nullptr},
        {"no drive letter", [](const TempDir& d) { return Backslashed(d / "img").substr(2); }, "."},
        {"relative", [](const TempDir&) { return std::string("img"); }, "."},
        {"Wine's Z: for /", [](const TempDir& d) {
             const std::string linux = LinuxName(Backslashed(d / "img"));
             return linux.empty() ? std::string() : "Z:" + Backslashed(linux);
         }, nullptr},
    };
    for (const Form& form : forms) {
        SCOPED_TRACE(form.Name);
        TempDir dir;
        const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(3, 1, 1, 34), dir);
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        const std::string base = form.Base(dir);
        if (base.empty()) continue;  // not under Wine
        const RunResult run = RunConverter({base, base, base}, form.InFolder ? dir.Path().string() : "");
        EXPECT_EQ(Lines(run.Out).back(), "main: Finished successfully!") << run.Out;
        EXPECT_THAT(V6Mismatches(recipe), testing::IsEmpty());
        EXPECT_TRUE(Exists(MapFileName(recipe) + ".backup"));
    }
}

// A folder below dir whose name makes a map backup name of exactly 511
// characters, made and removed through the wide calls with \\?\ names.
class LongFolder {
public:
    explicit LongFolder(const TempDir& dir) : path_(Backslashed(dir.Path().string())) {
        // 400 characters (401 at most), however long the temporary folder's
        // name came out: the test below fills the rest up to 511.
        for (char part = 'a'; path_.size() < 400; ++part) {
            path_ += "\\" + std::string(std::clamp<std::size_t>(399 - path_.size(), 1, 120), part);
            if (!::CreateDirectoryW(Wide(path_).c_str(), nullptr)) return;
            made_.push_back(path_);
        }
    }
    ~LongFolder() {
        for (const std::string& file : files_) NbSystemHost().Remove(file.c_str());
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) ::RemoveDirectoryW(Wide(*it).c_str());
    }
    bool Made() const { return !made_.empty() && made_.back() == path_; }
    const std::string& Path() const { return path_; }
    void Holds(const std::string& file) { files_.push_back(file); }

private:
    static std::wstring Wide(const std::string& path) { return L"\\\\?\\" + std::wstring(path.begin(), path.end()); }
    std::string path_;
    std::vector<std::string> made_, files_;
};

TEST(WindowsHost, NamesPastMaxPathConvertThroughTheirLongForm) {
    TempDir dir;
    LongFolder folder(dir);
    ASSERT_TRUE(folder.Made());
    ImageRecipe recipe = PlaceImage(ReliabilityRecipe(2, 0, 1, 34), dir);
    ASSERT_TRUE(WriteImage(recipe, nullptr));
    const std::vector<std::string> shortFiles = ImageFiles(recipe);
    const std::string mapBase = folder.Path() + "\\" + std::string(511 - folder.Path().size() - 1 - 16, 'm');
    const std::string base = folder.Path() + "\\img";
    ImageRecipe moved = recipe;
    moved.MapBase = mapBase;
    moved.DataBase = moved.MetadataBases[0] = base;
    ASSERT_EQ(MapFileName(moved).size() + 7, 511u);
    // The host moves the image there and back; the tests' own calls cannot.
    Host& host = NbSystemHost();
    const std::vector<std::string> movedFiles = ImageFiles(moved);
    for (std::size_t i = 0; i < movedFiles.size(); ++i) {
        folder.Holds(movedFiles[i]);
        folder.Holds(movedFiles[i] + ".backup");
        ASSERT_EQ(host.Rename(shortFiles[i].c_str(), movedFiles[i].c_str()), NB_OK) << movedFiles[i];
    }
    const RunResult run = RunConverter(ConverterArgs(moved));
    EXPECT_EQ(Lines(run.Out).back(), "main: Finished successfully!") << run.Out << run.Err;
    EXPECT_EQ(Opened(MapFileName(moved) + ".backup", NB_ACCESS_READ, NB_SHARE_READ).Code(), NB_OK);
    char resolved[512];
    EXPECT_EQ(host.ResolveLink(MapFileName(moved).c_str(), resolved, sizeof resolved), NB_OK);
    EXPECT_EQ(resolved, MapFileName(moved)) << "a plain file is its own name";
    for (std::size_t i = 0; i < movedFiles.size(); ++i)
        for (const char* suffix : {"", ".backup"})
            ASSERT_EQ(host.Rename((movedFiles[i] + suffix).c_str(), (shortFiles[i] + suffix).c_str()), NB_OK);
    EXPECT_THAT(V6Mismatches(recipe), testing::IsEmpty());
}

TEST(WindowsHost, TheWholeRunLockKeepsOutOtherTakersButNoneOfTheRunsOwnOpens) {
    TempDir dir;
    const std::string name = dir / "img.nbbitmap";
    WriteBytes(name, Bytes(8192, 7));
    Host& host = NbSystemHost();
    HostHandle lock = kInvalidHostHandle, second = kInvalidHostHandle;
    ASSERT_EQ(host.OpenLocked(name.c_str(), &lock), NB_OK);
    EXPECT_EQ(host.OpenLocked(name.c_str(), &second), NB_SHARING_VIOLATION) << "33 from the system reads 32";
    {
        // The run's own opens, with the share modes they ask for, and their
        // transfers go on beside the lock's handle.
        Opened writer(name, NB_ACCESS_READ_WRITE, NB_SHARE_READ_WRITE), reader(name, NB_ACCESS_READ, NB_SHARE_READ_WRITE);
        ASSERT_EQ(writer.Code(), NB_OK);
        ASSERT_EQ(reader.Code(), NB_OK);
        std::uint8_t bytes[4096] = {1, 2, 3};
        std::uint32_t done = 0;
        EXPECT_EQ(host.WriteAt(writer.Handle(), 4096, bytes, sizeof bytes, &done), NB_OK);
        EXPECT_EQ(done, sizeof bytes);
        EXPECT_EQ(host.ReadAt(reader.Handle(), 4096, bytes, sizeof bytes, &done), NB_OK);
        EXPECT_EQ(done, sizeof bytes);
        EXPECT_EQ(bytes[2], 3);
        EXPECT_EQ(host.Rename(name.c_str(), (name + ".moved").c_str()), NB_OK) << "the relocation's rename";
        EXPECT_EQ(host.Rename((name + ".moved").c_str(), name.c_str()), NB_OK);
    }
    EXPECT_EQ(host.Close(lock), NB_OK);
    // Gone with its handle; a file this user may only read is locked alike.
    ASSERT_TRUE(::SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(host.OpenLocked(name.c_str(), &lock), NB_OK);
    EXPECT_EQ(host.OpenLocked(name.c_str(), &second), NB_SHARING_VIOLATION);
    EXPECT_EQ(host.Close(lock), NB_OK);
    ::SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(Opened(name, NB_ACCESS_WRITE, NB_SHARE_READ).Code(), NB_OK);
    EXPECT_EQ(host.OpenLocked("NUL", &lock), NB_ACCESS_DENIED);
}

TEST(WindowsHost, PositionedTransfersTruncateIdentityAndFlushAsOnLinux) {
    TempDir dir;
    const std::string name = dir / "f", other = dir / "g";
    WriteBytes(name, Bytes(100, 7));
    WriteBytes(other, Bytes(1, 1));
    Host& host = NbSystemHost();
    Opened file(name, NB_ACCESS_READ_WRITE, NB_SHARE_READ), reader(name, NB_ACCESS_READ, NB_SHARE_READ_WRITE);
    ASSERT_EQ(file.Code(), NB_OK);
    std::uint8_t byte = 9;
    std::uint32_t done = 0;
    EXPECT_EQ(host.WriteAt(file.Handle(), 50, &byte, 1, &done), NB_OK);
    EXPECT_EQ(host.ReadAt(file.Handle(), 1000, &byte, 1, &done), NB_OK) << "past the end: nothing, no error";
    EXPECT_EQ(done, 0u);
    std::uint8_t around[3] = {};
    EXPECT_EQ(host.ReadAt(reader.Handle(), 49, around, 3, &done), NB_OK);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(Bytes(around, around + 3), (Bytes {7, 9, 7})) << "the write went to 50 and nowhere else";
    EXPECT_EQ(host.Truncate(file.Handle(), 4096), NB_OK);
    std::uint64_t size = 0;
    EXPECT_EQ(host.Size(file.Handle(), &size), NB_OK);
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ(host.Flush(file.Handle()), NB_OK);
    EXPECT_EQ(host.Flush(reader.Handle()), NB_OK) << "a reader has nothing to flush";
    EXPECT_EQ(host.Truncate(file.Handle(), 51), NB_OK);
    Bytes expected(51, 7);
    expected[50] = 9;
    EXPECT_EQ(ReadBytes(name), expected);
    HostFileId a, b, c;
    Opened again(Backslashed(dir.Path().string() + "/./f"), NB_ACCESS_READ, NB_SHARE_READ_WRITE), g(other, NB_ACCESS_READ, NB_SHARE_READ);
    ASSERT_EQ(host.Identity(file.Handle(), &a), NB_OK);
    ASSERT_EQ(host.Identity(again.Handle(), &b), NB_OK);
    ASSERT_EQ(host.Identity(g.Handle(), &c), NB_OK);
    EXPECT_EQ(a, b);
    EXPECT_FALSE(a == c);
}

TEST(WindowsHost, DevicesPipesAndFoldersInAFilesPlaceAreRefusedWith5) {
    TempDir dir;
    for (const std::string& name : {std::string("NUL"), MakePipe(""), dir.Path().string()}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Opened(name, NB_ACCESS_READ, NB_SHARE_READ).Code(), NB_ACCESS_DENIED);
    }
}

TEST(WindowsHost, TraceLinesEndInOneCrLfAndMessagesInLf) {
    TempDir dir;
    const RunResult run = RunConverter({dir / "img", dir / "img", dir / "img"});
    EXPECT_EQ(run.ExitCode, 2);
    EXPECT_NE(run.Err.find("\r\n"), std::string::npos);
    EXPECT_EQ(run.Err.find("\r\r"), std::string::npos) << "a CR LF translated again";
    EXPECT_EQ(run.Out.find('\r'), std::string::npos) << "standard output is not in text mode";
}

TEST(WindowsHost, OwnershipAndAccessListGoToTheCopy) {
    TempDir dir;
    const std::string from = dir / "from", to = dir / "to";
    WriteBytes(from, {1});
    WriteBytes(to, {2});
    Opened source(from, NB_ACCESS_READ, NB_SHARE_READ), target(to, NB_ACCESS_WRITE, NB_SHARE_READ);
    ASSERT_EQ(target.Code(), NB_OK);
    EXPECT_EQ(NbSystemHost().CopyOwnership(source.Handle(), target.Handle()), NB_OK);
}

TEST(WindowsHost, ResolveLinkGivesPlainAndMissingNamesBackAsTheyAre) {
    TempDir dir;
    const std::string name = dir / "f";
    WriteBytes(name, {1});
    char out[512];
    for (const std::string& n : {name, dir / "missing", std::string("relative\\name")}) {
        EXPECT_EQ(NbSystemHost().ResolveLink(n.c_str(), out, sizeof out), NB_OK);
        EXPECT_EQ(std::string(out), n);
    }
    EXPECT_EQ(NbSystemHost().ResolveLink(name.c_str(), out, name.size()), NB_NAME_TOO_LONG);
}


HostFileInfo Inspected(const std::string& name) {
    HostFileInfo info;
    EXPECT_EQ(NbSystemHost().Inspect(name.c_str(), &info), NB_OK) << name;
    return info;
}

HostFileInfo InspectedHandle(const Opened& file) {
    HostFileInfo info;
    EXPECT_EQ(NbSystemHost().InspectHandle(file.Handle(), &info), NB_OK);
    return info;
}

TEST(WindowsHost, FilesTheRunMakesAreItsOwnPlainFilesAndFoldersMissingNamesAreTold) {
    TempDir dir;
    const std::string written = dir / "written", made = dir / "made";
    WriteBytes(written, {1});
    Host& host = NbSystemHost();
    // As a journal is made: through the host, new, opened as itself.
    Opened journal(made, NB_ACCESS_READ_WRITE, NB_SHARE_READ, false, NB_FLAG_NO_FOLLOW);
    ASSERT_EQ(journal.Code(), NB_OK) << "no link in the way: an open that does not follow creates as any other";
    Opened reopened(written, NB_ACCESS_READ_WRITE, NB_SHARE_READ_WRITE, true, NB_FLAG_NO_FOLLOW);
    ASSERT_EQ(reopened.Code(), NB_OK);
    for (const std::string& name : {written, made}) {
        SCOPED_TRACE(name);
        const HostFileInfo info = Inspected(name);
        EXPECT_TRUE(info.Regular);
        EXPECT_FALSE(info.Link);
        EXPECT_TRUE(info.OwnerTrusted) << "a recovery would refuse the run's own journal";
        EXPECT_FALSE(info.WritableByOthers) << "a recovery would refuse the run's own journal";
    }
    EXPECT_EQ(Inspected(written).Owner, Inspected(made).Owner) << "one user, one owner";

    // The name and its open handle are one file, the one Identity names.
    for (const Opened* file : {&journal, &reopened}) {
        const HostFileInfo byHandle = InspectedHandle(*file);
        HostFileId id;
        ASSERT_EQ(host.Identity(file->Handle(), &id), NB_OK);
        EXPECT_EQ(byHandle.Id, id);
        EXPECT_EQ(Inspected(file == &journal ? made : written).Id, id);
        EXPECT_TRUE(byHandle.Regular);
        EXPECT_FALSE(byHandle.Link);
        EXPECT_TRUE(byHandle.OwnerTrusted);
        EXPECT_FALSE(byHandle.WritableByOthers);
    }
    EXPECT_FALSE(Inspected(written).Id == Inspected(made).Id);

    // Asked while another holds the file without sharing: no data access, no conflict.
    const std::string held = dir / "held";
    WriteBytes(held, {2});
    {
        ForeignHandle exclusive(held, GENERIC_READ | GENERIC_WRITE, 0);
        ASSERT_TRUE(exclusive.Valid());
        EXPECT_TRUE(Inspected(held).Regular);
    }

    const HostFileInfo folder = Inspected(dir.Path().string());
    EXPECT_FALSE(folder.Regular) << "a folder in a journal's place";
    EXPECT_FALSE(folder.Link);
    HostFileInfo info;
    EXPECT_EQ(host.Inspect((dir / "missing").c_str(), &info), NB_FILE_NOT_FOUND);
    EXPECT_EQ(host.Inspect((dir / "missing\\below").c_str(), &info), NB_FILE_NOT_FOUND) << "a missing folder on the way";
}

// The SID of the user this process runs as, in its string form.
std::string ProcessUserSid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
    unsigned char buffer[256];
    DWORD size = 0;
    char* text = nullptr;
    if (::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
        ::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
    ::CloseHandle(token);
    const std::string sid = text != nullptr ? text : "";
    ::LocalFree(text);
    return sid;
}

// Gives the file the access list of the SDDL text (%me% for this process's
// user), or no list at all for "": every grant there, none from its folder.
bool SetAccessList(const std::string& name, std::string sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    if (!sddl.empty()) {
        const std::string me = ProcessUserSid();
        for (std::size_t at; (at = sddl.find("%me%")) != std::string::npos;) sddl.replace(at, 4, me);
        BOOL present = FALSE, defaulted = FALSE;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr) ||
            !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
            return false;
    }
    const HANDLE handle = ::CreateFileA(name.c_str(), READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD code = ERROR_INVALID_HANDLE;
    if (handle != INVALID_HANDLE_VALUE) {
        code = ::SetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, dacl, nullptr);
        ::CloseHandle(handle);
    }
    ::LocalFree(descriptor);
    return code == ERROR_SUCCESS;
}

struct AccessListCase {
    const char* Name;
    const char* Sddl;
    bool WritableByOthers;
};

class AccessLists : public testing::TestWithParam<AccessListCase> {};

// Lists that Wine can keep too (it turns them into the file's mode bits): a
// grant to Everyone, or none.
TEST_P(AccessLists, AGrantOfWritingToAnyoneButTheOwnerSystemAndAdministratorsMakesTheFileUntrusted) {
    TempDir dir;
    const std::string name = dir / "journal";
    WriteBytes(name, {1});
    ASSERT_TRUE(SetAccessList(name, GetParam().Sddl));
    const HostFileInfo info = Inspected(name);
    EXPECT_EQ(info.WritableByOthers, GetParam().WritableByOthers);
    EXPECT_TRUE(info.OwnerTrusted) << "the owner stays this user";
    Opened file(name, NB_ACCESS_READ, NB_SHARE_READ_WRITE);
    ASSERT_EQ(file.Code(), NB_OK);
    EXPECT_EQ(InspectedHandle(file).WritableByOthers, GetParam().WritableByOthers);
}

INSTANTIATE_TEST_SUITE_P(
    WindowsHost, AccessLists,
    testing::Values(
        AccessListCase {"EveryoneReads", "D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;%me%)(A;;FR;;;WD)", false},
        AccessListCase {"OnlyTheOwner", "D:(A;;FA;;;%me%)", false},
        AccessListCase {"EveryoneWrites", "D:(A;;FA;;;SY)(A;;FA;;;%me%)(A;;FRFW;;;WD)", true},
        AccessListCase {"EveryoneHasAll", "D:(A;;FA;;;%me%)(A;;FA;;;WD)", true},
        // Deleting changes no byte; a file put in its place is another's.
        AccessListCase {"EveryoneMayDeleteButNotWrite", "D:(A;;FA;;;%me%)(A;;0x1301a9;;;WD)", false},
        AccessListCase {"NoListAtAll", "", true}),
    [](const testing::TestParamInfo<AccessListCase>& info) { return std::string(info.param.Name); });

// Wine's CreateSymbolicLinkA reports success and makes nothing; Windows makes
// one only with a privilege or in developer mode.
const char* MakeSymbolicLink(const std::string& link, const std::string& target) {
    constexpr DWORD unprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE, Windows 10 on
    if (!::CreateSymbolicLinkA(link.c_str(), target.c_str(), unprivileged) &&
        !::CreateSymbolicLinkA(link.c_str(), target.c_str(), 0))
        return "this user may not make symbolic links (no privilege, no developer mode)";
    const DWORD attributes = ::GetFileAttributesA(link.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return "the system said it made a symbolic link but made none (Wine)";
    return nullptr;
}

TEST(WindowsHost, ALinkInAJournalsPlaceIsALinkAndOpensThatDoNotFollowRefuseIt) {
    TempDir dir;
    const std::string target = dir / "target", link = dir / "link";
    WriteBytes(target, {1});
    if (const char* reason = MakeSymbolicLink(link, target)) GTEST_SKIP() << reason;
    const HostFileInfo info = Inspected(link);
    EXPECT_TRUE(info.Link);
    EXPECT_FALSE(info.Regular);
    EXPECT_FALSE(info.Id == Inspected(target).Id) << "the link itself, not its target";
    EXPECT_EQ(Opened(link, NB_ACCESS_READ, NB_SHARE_READ, true, NB_FLAG_NO_FOLLOW).Code(), NB_NAME_NOT_RESOLVED);
    EXPECT_EQ(Opened(link, NB_ACCESS_READ_WRITE, NB_SHARE_READ, true, NB_FLAG_NO_FOLLOW).Code(), NB_NAME_NOT_RESOLVED);
    EXPECT_EQ(Opened(link, NB_ACCESS_READ_WRITE, NB_SHARE_READ, false, NB_FLAG_NO_FOLLOW).Code(), NB_FILE_EXISTS)
        << "a new file is never made through a link";
    Opened followed(link, NB_ACCESS_READ, NB_SHARE_READ);
    ASSERT_EQ(followed.Code(), NB_OK) << "without the flag the link is followed";
    EXPECT_EQ(InspectedHandle(followed).Id, Inspected(target).Id);
    EXPECT_FALSE(InspectedHandle(followed).Link);
    EXPECT_EQ(ReadBytes(target), Bytes {1});
}

}  // namespace
