// What only the Windows build does, as the system (or Wine) gives it: share
// modes instead of locks, MoveFileA's 183, exit codes of 32 bits, backslashes
// and drive letters, names past MAX_PATH, the whole-run lock on a far byte.
// Built for Windows only (CMake leaves *_windows_test.cpp out elsewhere).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>

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
    Opened(const std::string& name, std::uint32_t access, std::uint32_t share, bool existing = true)
        : code_(NbSystemHost().Open(name.c_str(), existing, access, share, 0, &handle_)) {}
    ~Opened() {
        if (code_ == NB_OK) NbSystemHost().Close(handle_);
    }
    NbResult Code() const { return code_; }
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
        EXPECT_EQ(run.Out, "main: Could not create backup file [" + map + ".backup]. Error 32\nCheck if it already exists\n");
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
        for (char part = 'a'; path_.size() < 400; ++part) {
            path_ += "\\" + std::string(120, part);
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
    ASSERT_EQ(host.Seek(file.Handle(), 10), NB_OK);
    std::uint8_t byte = 9;
    std::uint32_t done = 0;
    EXPECT_EQ(host.WriteAt(file.Handle(), 50, &byte, 1, &done), NB_OK);
    EXPECT_EQ(host.ReadAt(file.Handle(), 1000, &byte, 1, &done), NB_OK) << "past the end: nothing, no error";
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(host.Read(file.Handle(), &byte, 1, &done), NB_OK);
    EXPECT_EQ(byte, 7) << "positioned transfers left the position at 10";
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

}  // namespace
