// The host layer on Windows: with host_posix.cpp (Linux), the only file that
// includes system headers. The build picks one of the two by platform.
//
// Error codes are the system's own: whatever GetLastError reports after a
// failed call is returned unchanged, so the table of host_posix.cpp has no
// counterpart here. The few places that give a code of their own say so.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
#include <aclapi.h>
#include <objbase.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/host.h"

namespace {

// What a HostHandle stands for: the system's handle and the access it was
// opened with (a handle that only reads has nothing to flush).
struct OpenFile {
    HANDLE Handle;
    DWORD Access;
};

OpenFile* FileOf(HostHandle h) { return reinterpret_cast<OpenFile*>(h); }
HANDLE HandleOf(HostHandle h) { return FileOf(h)->Handle; }

[[nodiscard]] NbResult LastError() {
    const DWORD code = ::GetLastError();
    return code != 0 ? static_cast<NbResult>(code) : 31;  // a failure that names no code: "not functioning"
}

// Names of up to MAX_PATH - 1 characters go to the system's ANSI calls as
// they are. Longer ones (the converter builds names of up to 511) are made
// absolute and given the \\?\ prefix, which lifts the limit; the ANSI calls
// would refuse them with 206.
bool IsLongName(const char* name) { return std::strlen(name) >= MAX_PATH; }

// The wide, prefixed form of a long name; empty with the error set when the
// name cannot be converted.
std::wstring LongWideName(const char* name) {
    const UINT codePage = ::AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    const int n = ::MultiByteToWideChar(codePage, 0, name, -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(codePage, 0, name, -1, wide.data(), n);
    if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) return wide;
    const DWORD length = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (length == 0) return {};
    std::wstring full(length, L'\0');
    const DWORD written = ::GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
    if (written == 0 || written >= length) return {};
    full.resize(written);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share
    return L"\\\\?\\" + full;
}

// Calls the ANSI form for a short name and the wide form for a long one;
// failed is what the call returns on failure.
template <class Result, class Ansi, class Wide>
Result ByName(const char* name, Result failed, Ansi ansi, Wide wide) {
    if (!IsLongName(name)) return ansi(name);
    const std::wstring w = LongWideName(name);
    if (w.empty()) {
        if (::GetLastError() == 0) ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return failed;
    }
    return wide(w.c_str());
}

BOOL MoveByName(const char* from, const char* to, DWORD flags) {
    if (!IsLongName(from) && !IsLongName(to))
        return flags == 0 ? ::MoveFileA(from, to) : ::MoveFileExA(from, to, flags);
    const std::wstring f = LongWideName(from), t = LongWideName(to);
    if (f.empty() || t.empty()) {
        if (::GetLastError() == 0) ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    return flags == 0 ? ::MoveFileW(f.c_str(), t.c_str()) : ::MoveFileExW(f.c_str(), t.c_str(), flags);
}

// Moves count bytes at offset in as many calls as it takes: a read stops
// early only at the end of the file. On a handle opened for synchronous use
// this moves the handle's file position too; nothing here uses that one.
template <class Byte, class Call>
[[nodiscard]] NbResult TransferAt(std::uint64_t offset, Byte* bytes, std::uint32_t count, std::uint32_t* done, Call call) {
    std::uint32_t total = 0;
    while (total < count) {
        OVERLAPPED position {};
        position.Offset = static_cast<DWORD>(offset + total);
        position.OffsetHigh = static_cast<DWORD>((offset + total) >> 32);
        DWORD moved = 0;
        if (!call(bytes + total, count - total, &moved, &position)) {
            *done = total;
            return LastError();
        }
        if (moved == 0) break;
        total += moved;
    }
    *done = total;
    return NB_OK;
}

[[nodiscard]] NbResult CopyName(const std::string& name, char* out, std::size_t size) {
    if (name.size() + 1 > size) return NB_NAME_TOO_LONG;
    std::memcpy(out, name.c_str(), name.size() + 1);
    return NB_OK;
}

// Owners are SIDs of any length here; callers compare a user ID of 64 bits,
// so the owner is given as a digest of the SID's bytes (FNV-1a).
std::uint64_t SidDigest(PSID sid) {
    const auto* bytes = static_cast<const unsigned char*>(sid);
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (DWORD i = 0, n = ::GetLengthSid(sid); i < n; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3u;
    return hash;
}

// The user the process runs as, its token's (geteuid on Linux), read once;
// null when the token cannot be read, and then no owner is this user.
PSID ProcessUser() {
    static const std::string token = [] {
        std::string buffer;
        HANDLE process = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &process)) return buffer;
        DWORD size = 0;
        ::GetTokenInformation(process, TokenUser, nullptr, 0, &size);
        buffer.assign(size, '\0');
        if (size == 0 || !::GetTokenInformation(process, TokenUser, buffer.data(), size, &size)) buffer.clear();
        ::CloseHandle(process);
        return buffer;
    }();
    return token.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(token.data())->User.Sid;
}

// This process's user, or one that stands above every user as root does.
bool IsTrustedUser(PSID sid) {
    const PSID me = ProcessUser();
    return (me != nullptr && ::EqualSid(sid, me)) || ::IsWellKnownSid(sid, WinLocalSystemSid) ||
           ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

// Rights that change what the file holds, or let the holder give himself
// that right. DELETE is not among them: it changes no byte, and a file put
// in the removed one's place is its maker's, whom the owner check refuses.
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Whether the access list lets a user other than the owner, this process's
// user, SYSTEM or the Administrators write the file. Denials are not
// weighed against grants: a grant is enough to answer yes.
bool OthersMayWrite(PACL dacl, PSID owner) {
    if (dacl == nullptr) return true;  // no list at all: everyone has full access
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry)) return true;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for files made inside a folder, not this one
        switch (header->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {  // the same layout, a condition after the SID
            const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
            if (!(allowed->Mask & kWriteRights)) break;
            const PSID sid = const_cast<DWORD*>(&allowed->SidStart);
            if (!::IsValidSid(sid)) return true;
            const bool owners = (owner != nullptr && ::EqualSid(sid, owner)) || ::IsWellKnownSid(sid, WinCreatorOwnerSid) ||
                                ::IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
            if (!owners && !IsTrustedUser(sid)) return true;
            break;
        }
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
            // Not made for files; whomever they name, a grant of writing is
            // taken as one to others. The mask follows the header in each.
            if (static_cast<const ACCESS_ALLOWED_ACE*>(entry)->Mask & kWriteRights) return true;
            break;
        default: break;  // denials and audits grant nothing
        }
    }
    return false;
}

// The owner of an open file and who else may write it. A volume that keeps
// no access lists (FAT, exFAT) has no owners either: its files are taken as
// this user's and written by no other, for nothing there could say otherwise.
[[nodiscard]] NbResult DescribeOwner(HANDLE handle, HostFileInfo* info) {
    DWORD features = 0;
    const bool keepsSecurity =
        !::GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &features, nullptr, 0) ||
        (features & FILE_PERSISTENT_ACLS) != 0;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD code = keepsSecurity ? ::GetSecurityInfo(handle, SE_FILE_OBJECT,
                                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                                         nullptr, &dacl, nullptr, &descriptor)
                                     : ERROR_NOT_SUPPORTED;
    if (code == ERROR_NOT_SUPPORTED) {
        info->Owner = 0;
        info->OwnerTrusted = true;
        info->WritableByOthers = false;
        return NB_OK;
    }
    if (code != ERROR_SUCCESS) return code;
    // A descriptor without an owner names nobody this process trusts.
    if (owner != nullptr && ::IsValidSid(owner)) {
        info->Owner = SidDigest(owner);
        info->OwnerTrusted = IsTrustedUser(owner);
    }
    info->WritableByOthers = OthersMayWrite(dacl, owner);
    ::LocalFree(descriptor);
    return NB_OK;
}

// What an open file is; a name opened as itself (its reparse point not
// followed) may be a link, an open file never is.
[[nodiscard]] NbResult Describe(HANDLE handle, bool asName, HostFileInfo* info) {
    *info = HostFileInfo {};
    BY_HANDLE_FILE_INFORMATION file {};
    if (!::GetFileInformationByHandle(handle, &file)) return LastError();
    info->Id.Volume = file.dwVolumeSerialNumber;
    info->Id.Index = (static_cast<std::uint64_t>(file.nFileIndexHigh) << 32) | file.nFileIndexLow;
    const bool reparse = (file.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    info->Regular = !reparse && !(file.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                    ::GetFileType(handle) == FILE_TYPE_DISK;
    info->Link = asName && reparse;
    return DescribeOwner(handle, info);
}

// The console's requests to stop (Ctrl-C, Ctrl-Break, the window closed, a
// logoff, a shutdown), held while a run changes the image. The system calls
// the handler on a thread of its own, so the state it shares is locked.
SRWLOCK g_holdLock = SRWLOCK_INIT;
bool g_holding = false;           // under g_holdLock
bool g_held = false;              // a request came while holding; under g_holdLock
HANDLE g_holdEnded = nullptr;     // set when the hold ends
char g_holdNotice[512];
DWORD g_holdNoticeLength = 0;
// A closed window, a logoff or a shutdown ends the process once the handler
// returns, whatever it answers: the handler waits for the hold to end, so
// that the run finishes first, though never longer than this. The system
// itself waits only some seconds before it ends the process regardless.
constexpr DWORD kHoldEndWaitMs = 60000;

BOOL WINAPI HoldControlEvent(DWORD event) {
    ::AcquireSRWLockExclusive(&g_holdLock);
    const bool holding = g_holding, first = holding && !g_held;
    if (holding) g_held = true;
    ::ReleaseSRWLockExclusive(&g_holdLock);
    if (!holding) return FALSE;  // the hold has ended: the system's own handler acts on it
    if (first) {
        const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD written = 0;
        // No one reading standard output is no reason to stop either.
        if (out != INVALID_HANDLE_VALUE && out != nullptr)
            ::WriteFile(out, g_holdNotice, g_holdNoticeLength, &written, nullptr);
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::WaitForSingleObject(g_holdEnded, kHoldEndWaitMs);
    return TRUE;
}

class WindowsHost final : public Host {
public:
    WindowsHost() {
        // The user's messages are the same bytes as on Linux, lines ending in
        // LF: the C runtime's text mode would make each a CR LF. Trace lines
        // bypass the runtime and carry their CR LF already.
        ::_setmode(::_fileno(stdout), _O_BINARY);
    }

    NbResult Open(const char* name, bool openExisting, std::uint32_t access, std::uint32_t share,
                  std::uint32_t flags, HostHandle* out) override {
        *out = kInvalidHostHandle;
        DWORD desired = 0;
        if (access & 1) desired |= GENERIC_READ;
        if (access & 2) desired |= GENERIC_WRITE;
        // Every handle lets others rename and delete the file: the
        // relocation renames a map file that other handles of the run (the
        // whole-run lock's) hold open, which the system refuses with 32
        // unless each of them shares deletion.
        DWORD shareMode = FILE_SHARE_DELETE;
        if (share & 1) shareMode |= FILE_SHARE_READ;
        if (share & 2) shareMode |= FILE_SHARE_WRITE;
        DWORD attributes = FILE_ATTRIBUTE_NORMAL;
        if (flags & NB_FLAG_NO_BUFFERING) attributes |= FILE_FLAG_NO_BUFFERING;
        if (flags & NB_FLAG_WRITE_THROUGH) attributes |= FILE_FLAG_WRITE_THROUGH;
        if (flags & NB_FLAG_RANDOM_ACCESS) attributes |= FILE_FLAG_RANDOM_ACCESS;
        // A link in the name's last place opens as itself, and is refused below.
        if (flags & NB_FLAG_NO_FOLLOW) attributes |= FILE_FLAG_OPEN_REPARSE_POINT;
        const DWORD disposition = openExisting ? OPEN_EXISTING : CREATE_NEW;

        auto* file = new (std::nothrow) OpenFile {INVALID_HANDLE_VALUE, desired};
        if (file == nullptr) return NB_NOT_ENOUGH_MEMORY;
        const HANDLE handle = ByName(
            name, INVALID_HANDLE_VALUE,
            [&](const char* n) { return ::CreateFileA(n, desired, shareMode, nullptr, disposition, attributes, nullptr); },
            [&](const wchar_t* n) { return ::CreateFileW(n, desired, shareMode, nullptr, disposition, attributes, nullptr); });
        if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
            const NbResult code = LastError();
            delete file;
            return code;
        }
        // A directory does not open without FILE_FLAG_BACKUP_SEMANTICS (5);
        // a pipe, the console or NUL in a file's place is refused with 5 as
        // well, as on Linux: the converter works on files and disks only.
        NbResult code = ::GetFileType(handle) == FILE_TYPE_DISK ? NB_OK : NB_ACCESS_DENIED;
        // A symbolic link, a junction or any other reparse point, as
        // O_NOFOLLOW refuses a link on Linux.
        if (code == NB_OK && (flags & NB_FLAG_NO_FOLLOW)) {
            BY_HANDLE_FILE_INFORMATION info {};
            if (!::GetFileInformationByHandle(handle, &info)) code = LastError();
            else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) code = NB_NAME_NOT_RESOLVED;
        }
        if (code != NB_OK) {
            ::CloseHandle(handle);
            delete file;
            return code;
        }
        file->Handle = handle;
        *out = reinterpret_cast<HostHandle>(file);
        return NB_OK;
    }

    NbResult Close(HostHandle h) override {
        OpenFile* file = FileOf(h);
        const NbResult code = ::CloseHandle(file->Handle) ? NB_OK : LastError();
        delete file;
        return code;
    }

    NbResult Size(HostHandle h, std::uint64_t* size) override {
        LARGE_INTEGER value {};
        if (!::GetFileSizeEx(HandleOf(h), &value)) return LastError();
        *size = static_cast<std::uint64_t>(value.QuadPart);
        return NB_OK;
    }

    NbResult DeviceCapacity(HostHandle h, std::uint64_t* bytes) override {
        // A plain file does not answer (1, or 50 under some file systems).
        STORAGE_READ_CAPACITY capacity;
        std::memset(&capacity, 0, sizeof capacity);
        DWORD returned = 0;
        if (!::DeviceIoControl(HandleOf(h), IOCTL_STORAGE_READ_CAPACITY, nullptr, 0, &capacity, sizeof capacity,
                               &returned, nullptr))
            return LastError();
        *bytes = static_cast<std::uint64_t>(capacity.DiskLength.QuadPart);
        return NB_OK;
    }

    NbResult Flush(HostHandle h) override {
        // FlushFileBuffers refuses a handle without write access (5); such a
        // handle has written nothing that could be flushed.
        OpenFile* file = FileOf(h);
        if (!(file->Access & GENERIC_WRITE)) return NB_OK;
        return ::FlushFileBuffers(file->Handle) ? NB_OK : LastError();
    }

    NbResult SyncDirectory(const char* /*fileName*/) override {
        // NTFS journals its metadata: a created or renamed entry is as
        // durable as the system makes it once the call returns, and a folder
        // cannot be flushed through FlushFileBuffers without backup rights.
        return NB_OK;
    }

    NbResult Rename(const char* existingName, const char* newName) override {
        // MoveFileA never replaces: 183 when the new name exists.
        return MoveByName(existingName, newName, 0) ? NB_OK : LastError();
    }

    NbResult Remove(const char* name) override {
        return ByName(name, FALSE, [](const char* n) { return ::DeleteFileA(n); }, [](const wchar_t* n) { return ::DeleteFileW(n); })
                   ? NB_OK
                   : LastError();
    }

    NbResult Replace(const char* existingName, const char* newName) override {
        return MoveByName(existingName, newName, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? NB_OK : LastError();
    }

    NbResult ReadAt(HostHandle h, std::uint64_t offset, void* buffer, std::uint32_t count,
                    std::uint32_t* done) override {
        const HANDLE handle = HandleOf(h);
        return TransferAt(offset, static_cast<unsigned char*>(buffer), count, done,
                          [handle](unsigned char* p, DWORD n, DWORD* moved, OVERLAPPED* o) {
                              // At or past the end, a positioned read fails with 38.
                              if (::ReadFile(handle, p, n, moved, o)) return TRUE;
                              if (::GetLastError() != ERROR_HANDLE_EOF) return FALSE;
                              *moved = 0;
                              return TRUE;
                          });
    }

    NbResult WriteAt(HostHandle h, std::uint64_t offset, const void* buffer, std::uint32_t count,
                     std::uint32_t* done) override {
        const HANDLE handle = HandleOf(h);
        return TransferAt(offset, static_cast<const unsigned char*>(buffer), count, done,
                          [handle](const unsigned char* p, DWORD n, DWORD* moved, OVERLAPPED* o) {
                              return ::WriteFile(handle, p, n, moved, o);
                          });
    }

    NbResult Truncate(HostHandle h, std::uint64_t length) override {
        FILE_END_OF_FILE_INFO end {};
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
        return ::SetFileInformationByHandle(HandleOf(h), FileEndOfFileInfo, &end, sizeof end) ? NB_OK : LastError();
    }

    NbResult Identity(HostHandle h, HostFileId* id) override {
        BY_HANDLE_FILE_INFORMATION info {};
        if (!::GetFileInformationByHandle(HandleOf(h), &info)) return LastError();
        id->Volume = info.dwVolumeSerialNumber;
        id->Index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        return NB_OK;
    }

    NbResult Inspect(const char* name, HostFileInfo* info) override {
        // The name itself: a link or a folder opens as what it is, and no
        // data access means no share mode of another's handle stands in the way.
        constexpr DWORD access = FILE_READ_ATTRIBUTES | READ_CONTROL;
        constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        constexpr DWORD asItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
        const HANDLE handle = ByName(
            name, INVALID_HANDLE_VALUE,
            [](const char* n) { return ::CreateFileA(n, access, share, nullptr, OPEN_EXISTING, asItself, nullptr); },
            [](const wchar_t* n) { return ::CreateFileW(n, access, share, nullptr, OPEN_EXISTING, asItself, nullptr); });
        if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
            // A missing folder on the way (3) leaves nothing with the name either, as ENOENT says on Linux.
            const NbResult code = LastError();
            return code == NB_PATH_NOT_FOUND ? NB_FILE_NOT_FOUND : code;
        }
        const NbResult code = Describe(handle, true, info);
        ::CloseHandle(handle);
        return code;
    }

    NbResult InspectHandle(HostHandle h, HostFileInfo* info) override {
        return Describe(HandleOf(h), false, info);
    }

    NbResult OpenLocked(const char* name, HostHandle* out) override {
        *out = kInvalidHostHandle;
        // Read access (a lock needs read or write) and every share bit: the
        // handle stands in the way of none of the run's opens, all of which
        // share reading. LockFileEx takes an exclusive lock through a handle
        // that only reads, so a file this user may only read is locked alike.
        auto* file = new (std::nothrow) OpenFile {INVALID_HANDLE_VALUE, GENERIC_READ};
        if (file == nullptr) return NB_NOT_ENOUGH_MEMORY;
        const HANDLE handle = ByName(
            name, INVALID_HANDLE_VALUE,
            [](const char* n) {
                return ::CreateFileA(n, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            },
            [](const wchar_t* n) {
                return ::CreateFileW(n, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            });
        if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
            const NbResult code = LastError();
            delete file;
            return code;
        }
        NbResult code = ::GetFileType(handle) == FILE_TYPE_DISK ? NB_OK : NB_ACCESS_DENIED;
        // Windows byte-range locks are mandatory: a lock over the data would
        // stop the run's own reads and writes through its other handles. One
        // byte far beyond any image's end is locked instead; every taker of
        // this lock asks for the same byte, so they meet there. 33 (lock
        // violation) is how the system says "held": callers know it as 32.
        OVERLAPPED position {};
        position.Offset = 0xFFFFFFF0u;
        position.OffsetHigh = 0x7FFFFFFFu;
        if (code == NB_OK &&
            !::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &position)) {
            const DWORD error = ::GetLastError();
            code = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? NB_SHARING_VIOLATION : LastError();
        }
        if (code != NB_OK) {
            ::CloseHandle(handle);
            delete file;
            return code;
        }
        file->Handle = handle;
        *out = reinterpret_cast<HostHandle>(file);
        return NB_OK;
    }

    // CopyRange keeps the base's answer, 50: Windows has no copy between two
    // open files inside the system, and the caller reads and writes.

    // Block cloning (ReFS): the target must already reach the end of the
    // range, so it is lengthened first, and given its length back when the
    // clone is refused.
    NbResult ShareRange(HostHandle from, std::uint64_t fromOffset, HostHandle to, std::uint64_t toOffset,
                        std::uint64_t count) override {
        constexpr DWORD kDuplicateExtentsToFile = 0x00098344;  // not in every SDK's winioctl.h
        struct DuplicateExtentsData {
            HANDLE FileHandle;
            LARGE_INTEGER SourceFileOffset, TargetFileOffset, ByteCount;
        };
        constexpr std::uint64_t kLimit = 0x7FFFFFFFFFFFFFFFull;
        if (fromOffset > kLimit - count || toOffset > kLimit - count) return NB_INVALID_PARAMETER;
        std::uint64_t size = 0;
        NbResult code = Size(to, &size);
        if (code != NB_OK) return code;
        if (size < toOffset + count && (code = Truncate(to, toOffset + count)) != NB_OK) return code;
        DuplicateExtentsData range {};
        range.FileHandle = HandleOf(from);
        range.SourceFileOffset.QuadPart = static_cast<LONGLONG>(fromOffset);
        range.TargetFileOffset.QuadPart = static_cast<LONGLONG>(toOffset);
        range.ByteCount.QuadPart = static_cast<LONGLONG>(count);
        DWORD returned = 0;
        if (::DeviceIoControl(HandleOf(to), kDuplicateExtentsToFile, &range, sizeof range, nullptr, 0, &returned,
                              nullptr))
            return NB_OK;
        const DWORD error = ::GetLastError();
        if (size < toOffset + count) (void)Truncate(to, size);
        // Not ReFS, not one volume, or ranges off its clusters.
        if (error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_PARAMETER ||
            error == ERROR_NOT_SAME_DEVICE || error == 347 /* too many references to a block */)
            return NB_NOT_SUPPORTED;
        return error != 0 ? static_cast<NbResult>(error) : 31;
    }

    NbResult SetOwnership(HostHandle h, std::uint64_t owner, std::uint64_t group, std::uint32_t mode) override {
        // The owner is known here by a digest only, and the group and mode
        // are not kept apart from the access list, which stays with the file.
        HostFileInfo now;
        const NbResult code = Describe(HandleOf(h), false, &now);
        if (code != NB_OK) return code;
        return now.Owner == owner && now.Group == group && now.Mode == mode ? NB_OK : NB_NOT_SUPPORTED;
    }

    NbResult CopyOwnership(HostHandle from, HostHandle to) override {
        // The owner, group and access list of the source. A new file
        // otherwise inherits its folder's list, which may grant more.
        PSID owner = nullptr, group = nullptr;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        DWORD code = ::GetSecurityInfo(HandleOf(from), SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       &owner, &group, &dacl, nullptr, &descriptor);
        if (code != ERROR_SUCCESS) return code;
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ::GetSecurityDescriptorControl(descriptor, &control, &revision);
        const SECURITY_INFORMATION protection =
            (control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION;
        // The target's own handle may not have the rights to change them: a
        // second handle of the same file asks for exactly those rights, which
        // no share mode of the run's handles stands against.
        const HANDLE target = ::ReOpenFile(HandleOf(to), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
        if (target == INVALID_HANDLE_VALUE) {
            code = LastError();
        } else {
            code = ::SetSecurityInfo(target, SE_FILE_OBJECT,
                                     OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                         protection,
                                     owner, group, dacl, nullptr);
            // Not ours to give away (1307 invalid owner, 1314 privilege not
            // held, 5): keep our own owner, and the source's group where the
            // system takes it (1308 where it does not). Only the access list
            // grants anything, never the group, so the list alone grants no
            // more than the source's did.
            const auto refused = [](DWORD c) {
                return c == ERROR_INVALID_OWNER || c == ERROR_PRIVILEGE_NOT_HELD || c == ERROR_ACCESS_DENIED;
            };
            if (refused(code))
                code = ::SetSecurityInfo(target, SE_FILE_OBJECT, GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | protection,
                                         nullptr, group, dacl, nullptr);
            if (refused(code) || code == ERROR_INVALID_PRIMARY_GROUP)
                code = ::SetSecurityInfo(target, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | protection, nullptr, nullptr,
                                         dacl, nullptr);
            ::CloseHandle(target);
        }
        ::LocalFree(descriptor);
        return code;
    }

    NbResult ResolveLink(const char* name, char* out, std::size_t size) override {
        // Only a reparse point (a symbolic link, a junction) stands for
        // another file; any other name, or one that does not exist, is
        // itself. The system follows a chain of links when it opens one.
        const DWORD attributes = ByName(
            name, INVALID_FILE_ATTRIBUTES, [](const char* n) { return ::GetFileAttributesA(n); }, [](const wchar_t* n) { return ::GetFileAttributesW(n); });
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return CopyName(name, out, size);
        const HANDLE handle = ByName(
            name, INVALID_HANDLE_VALUE,
            [](const char* n) {
                return ::CreateFileA(n, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            },
            [](const wchar_t* n) {
                return ::CreateFileW(n, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            });
        if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return LastError();
        std::string final(MAX_PATH, '\0');
        DWORD length = ::GetFinalPathNameByHandleA(handle, final.data(), static_cast<DWORD>(final.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length >= final.size()) {  // too small: length is the size it needs
            final.assign(length + 1, '\0');
            length = ::GetFinalPathNameByHandleA(handle, final.data(), static_cast<DWORD>(final.size()),
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        }
        const NbResult code = length == 0 || length >= final.size() ? LastError() : NB_OK;
        ::CloseHandle(handle);
        if (code != NB_OK) return code;
        final.resize(length);
        // \\?\C:\dir\file is C:\dir\file; \\?\UNC\server\share\file is \\server\share\file.
        if (final.rfind("\\\\?\\UNC\\", 0) == 0) final = "\\\\" + final.substr(8);
        else if (final.rfind("\\\\?\\", 0) == 0) final = final.substr(4);
        return CopyName(final, out, size);
    }

    NbResult PageAlloc(std::size_t size, void** address) override {
        // Committed pages are zero-filled; VirtualFree with MEM_RELEASE needs
        // only the start address. A size of 0 still gets a page of its own.
        *address = ::VirtualAlloc(nullptr, size != 0 ? size : 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        return *address != nullptr ? NB_OK : LastError();
    }

    NbResult PageFree(void* address) override {
        if (address == nullptr) return NB_INVALID_ADDRESS;
        return ::VirtualFree(address, 0, MEM_RELEASE) ? NB_OK : LastError();
    }

    void LocalTime(HostLocalTime* time) override {
        SYSTEMTIME now {};
        ::GetLocalTime(&now);
        time->Month = now.wMonth;
        time->Day = now.wDay;
        time->Hour = now.wHour;
        time->Minute = now.wMinute;
        time->Second = now.wSecond;
        time->Millisecond = now.wMilliseconds;
    }

    std::uint32_t ThreadId() override { return static_cast<std::uint32_t>(::GetCurrentThreadId()); }

    NbResult CreateGuid(HostGuid* guid) override {
        GUID value {};
        const HRESULT result = ::CoCreateGuid(&value);
        if (FAILED(result)) return HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result) : 31;
        guid->Data1 = value.Data1;
        guid->Data2 = value.Data2;
        guid->Data3 = value.Data3;
        std::memcpy(guid->Data4, value.Data4, sizeof guid->Data4);
        return NB_OK;
    }

    // Nothing to do: the system has no signal for a pipe that no one reads;
    // the write fails (232, the pipe is being closed) and the run goes on.
    void KeepRunningWhenOutputCloses() override {}

    void HoldTerminationRequests(const char* notice) override {
        if (holding_) return;
        const std::size_t length = notice != nullptr ? std::strlen(notice) : 0;
        g_holdNoticeLength = static_cast<DWORD>(length < sizeof g_holdNotice ? length : sizeof g_holdNotice);
        if (g_holdNoticeLength > 0) std::memcpy(g_holdNotice, notice, g_holdNoticeLength);
        if (g_holdEnded == nullptr) g_holdEnded = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        else ::ResetEvent(g_holdEnded);
        ::AcquireSRWLockExclusive(&g_holdLock);
        g_holding = true;
        g_held = false;
        ::ReleaseSRWLockExclusive(&g_holdLock);
        holding_ = ::SetConsoleCtrlHandler(HoldControlEvent, TRUE) != FALSE;
        if (!holding_) {
            ::AcquireSRWLockExclusive(&g_holdLock);
            g_holding = false;
            ::ReleaseSRWLockExclusive(&g_holdLock);
        }
    }

    void ReleaseTerminationRequests() override {
        if (!holding_) return;
        holding_ = false;
        ::AcquireSRWLockExclusive(&g_holdLock);
        const bool held = g_held;
        g_holding = g_held = false;
        ::ReleaseSRWLockExclusive(&g_holdLock);
        ::SetConsoleCtrlHandler(HoldControlEvent, FALSE);
        if (g_holdEnded != nullptr) ::SetEvent(g_holdEnded);
        // As the system's own handler would have done on arrival.
        if (held) ::ExitProcess(STATUS_CONTROL_C_EXIT);
    }

    void WriteStandardError(const char* text, std::size_t length) override {
        // Straight to the handle, not through the C runtime, whose text mode
        // would turn the CR LF that ends each trace line into CR CR LF. The
        // handle is asked for on every write, so that a redirection by
        // SetStdHandle takes effect at once.
        const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
        if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
        while (length > 0) {
            const DWORD chunk = length > 0x10000 ? 0x10000 : static_cast<DWORD>(length);
            DWORD written = 0;
            if (!::WriteFile(handle, text, chunk, &written, nullptr) || written == 0) return;
            text += written;
            length -= written;
        }
    }

    bool StandardErrorIsTerminal() override {
        const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
        DWORD mode = 0;
        return handle != INVALID_HANDLE_VALUE && handle != nullptr && ::GetFileType(handle) == FILE_TYPE_CHAR &&
               ::GetConsoleMode(handle, &mode);
    }

private:
    bool holding_ = false;
};

WindowsHost g_systemHost;

}  // namespace

Host& NbSystemHost() { return g_systemHost; }
