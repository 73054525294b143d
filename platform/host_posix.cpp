// The host layer on Linux: the only file that includes system headers.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/host.h"
#include "platform/host_errors.h"

// Files pass 2 GiB on every target: the build defines _FILE_OFFSET_BITS=64.
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits wide; build with _FILE_OFFSET_BITS=64");

// gettid, renameat2 and getrandom came late to the C libraries (glibc 2.30,
// 2.28, 2.25); the kernel has had them for longer, so they are called by
// their system call numbers, and a kernel without one answers ENOSYS.
#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif
// Open-file-description locks are the kernel's since 3.15 (glibc 2.20 names them).
#ifndef F_OFD_SETLK
#define F_OFD_SETLK 37
#endif

NbResult NbHostErrorFromErrno(int error, HostErrnoContext context) {
    switch (error) {
    case 0: return NB_OK;
    case ENOENT: return NB_FILE_NOT_FOUND;
    case ENOTDIR: return NB_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return NB_ACCESS_DENIED;
    case ENOMEM: return NB_NOT_ENOUGH_MEMORY;
    case EROFS: return NB_WRITE_PROTECT;
    case EWOULDBLOCK: return NB_SHARING_VIOLATION;
    case EEXIST:
    case ENOTEMPTY: return context == HostErrnoContext::Rename ? NB_ALREADY_EXISTS : NB_FILE_EXISTS;
    case EINVAL: return NB_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return NB_DISK_FULL;
    case ENAMETOOLONG: return NB_NAME_TOO_LONG;
    case EBADF: return NB_INVALID_HANDLE;
    case EMFILE:
    case ENFILE: return NB_TOO_MANY_OPEN_FILES;
    case EXDEV: return NB_NOT_SAME_DEVICE;
    case EBUSY: return NB_BUSY;
    case EFBIG: return NB_FILE_TOO_LARGE;
    case ELOOP: return NB_NAME_NOT_RESOLVED;
    case EIO: return NB_IO_DEVICE;
    default: return NB_DEVICE_FAILURE;
    }
}

namespace {

[[nodiscard]] NbResult LastError(HostErrnoContext context = HostErrnoContext::General) {
    return NbHostErrorFromErrno(errno, context);
}

int FdOf(HostHandle h) { return static_cast<int>(h); }

std::size_t PageSize() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::string DirectoryOf(const char* fileName) {
    std::string name(fileName);
    const auto slash = name.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return name.substr(0, slash);
}

// Moves count bytes in as many system calls as it takes, as the host's one
// call would: a read stops early only at the end of the file.
template <class Byte, class Call>
[[nodiscard]] NbResult Transfer(Byte* bytes, std::uint32_t count, std::uint32_t* done, Call call) {
    std::uint32_t total = 0;
    while (total < count) {
        const ssize_t n = call(bytes + total, count - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            *done = total;
            return LastError();
        }
        if (n == 0) break;
        total += static_cast<std::uint32_t>(n);
    }
    *done = total;
    return NB_OK;
}

void Describe(const struct stat& st, HostFileInfo* info) {
    *info = HostFileInfo {};
    info->Id.Volume = static_cast<std::uint64_t>(st.st_dev);
    info->Id.Index = static_cast<std::uint64_t>(st.st_ino);
    info->Regular = S_ISREG(st.st_mode);
    info->Link = S_ISLNK(st.st_mode);
    info->Owner = st.st_uid;
    info->Group = st.st_gid;
    info->Mode = static_cast<std::uint32_t>(st.st_mode & 07777);
    info->OwnerTrusted = st.st_uid == 0 || st.st_uid == ::geteuid();
    info->WritableByOthers = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// The requests to stop that a run holds while it changes the image: a hangup,
// an interrupt, a termination request, and the terminal's quit key, whose
// core dump would leave the image half changed just the same. Only a kill
// that cannot be caught is left to the journal. The handler touches nothing
// but these, by async-signal-safe means only.
constexpr int kHeldSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGQUIT};
constexpr std::size_t kHeldSignalCount = sizeof kHeldSignals / sizeof kHeldSignals[0];
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may use lock-free atomics only");
std::atomic<int> g_heldSignal {0};  // the first request that arrived, 0 before one did
char g_holdNotice[512];
std::size_t g_holdNoticeLength = 0;

void HoldRequest(int request) {
    int none = 0;
    if (!g_heldSignal.compare_exchange_strong(none, request)) return;  // told once already
    const int saved = errno;
    const char* text = g_holdNotice;
    std::size_t left = g_holdNoticeLength;
    while (left > 0) {
        const ssize_t n = ::write(1, text, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // no one reads standard output: the run goes on regardless
        text += n;
        left -= static_cast<std::size_t>(n);
    }
    errno = saved;
}

sigset_t HeldSignalSet() {
    sigset_t set;
    ::sigemptyset(&set);
    for (const int request : kHeldSignals) ::sigaddset(&set, request);
    return set;
}

// What a backup or a new map takes over from its original besides owner and
// mode: user attributes and, where this process may set them, security
// labels and trusted attributes (the kernel lists trusted.* to root only).
// Not what the kernel derives from the content (security.ima,
// security.evm), nor file capabilities, which mean nothing on an image and
// go at its first write anyway. The access list is copied on its own.
constexpr char kAccessList[] = "system.posix_acl_access";

bool CarriedAttribute(const std::string& name) {
    if (name == "security.ima" || name == "security.evm" || name == "security.capability") return false;
    return name.rfind("user.", 0) == 0 || name.rfind("security.", 0) == 0 || name.rfind("trusted.", 0) == 0;
}

bool AttributesUnsupported(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

// Fills *out by a call that answers the size it needs when given none,
// asking again while the value grows in between; false with errno set.
template <class Call>
bool ReadAttribute(std::string* out, Call call) {
    for (int tries = 0; tries < 8; ++tries) {
        const ssize_t size = call(nullptr, 0);
        if (size < 0) return false;
        out->assign(static_cast<std::size_t>(size), '\0');
        const ssize_t n = call(out->data(), out->size());
        if (n >= 0) {
            out->resize(static_cast<std::size_t>(n));
            return true;
        }
        if (errno != ERANGE) return false;
    }
    return false;
}

// One the file system or this process's rights refuse is left out: an
// attribute missing grants no one anything.
void CopyCarriedAttributes(int source, int target) {
    std::string names, value;
    if (!ReadAttribute(&names, [source](char* b, std::size_t n) { return ::flistxattr(source, b, n); })) return;
    for (std::size_t at = 0; at < names.size();) {
        const std::string name(names.c_str() + at);  // each name ends with a NUL
        at += name.size() + 1;
        if (!CarriedAttribute(name)) continue;
        if (ReadAttribute(&value, [source, &name](char* b, std::size_t n) { return ::fgetxattr(source, name.c_str(), b, n); }))
            (void)::fsetxattr(target, name.c_str(), value.data(), value.size(), 0);
    }
}

// An access list as the kernel hands it over: a 4-byte version, then 8-byte
// entries of tag, permissions and ID, little-endian.
constexpr std::uint16_t kListOwningGroup = 0x04, kListMask = 0x10, kListOthers = 0x20;

template <class Visit>
void ForEachListEntry(std::string& list, Visit visit) {
    for (std::size_t at = 4; at + 8 <= list.size(); at += 8) {
        auto* entry = reinterpret_cast<unsigned char*>(list.data() + at);
        visit(static_cast<std::uint16_t>(entry[0] | entry[1] << 8), entry + 2);
    }
}

// What the owning group may do under the list: its own entry, within the
// mask. The mode's group bits show the mask, which may be more.
mode_t OwningGroupBits(std::string list) {
    unsigned group = 0, mask = 7;
    ForEachListEntry(list, [&](std::uint16_t tag, const unsigned char* perm) {
        if (tag == kListOwningGroup) group = perm[0] & 7u;
        if (tag == kListMask) mask = perm[0] & 7u;
    });
    return static_cast<mode_t>(group & mask);
}

class PosixHost final : public Host {
public:
    NbResult Open(const char* name, bool openExisting, std::uint32_t access, std::uint32_t share,
                  std::uint32_t flags, HostHandle* out) override {
        *out = kInvalidHostHandle;
        // Not blocking, so that a pipe in a file's place cannot stall the open.
        int mode = O_CLOEXEC | O_NONBLOCK;
        switch (access & 3) {
        case 0:
        case 1: mode |= O_RDONLY; break;
        case 2: mode |= O_WRONLY; break;
        default: mode |= O_RDWR; break;
        }
        if (!openExisting) mode |= O_CREAT | O_EXCL;
        if (flags & NB_FLAG_NO_BUFFERING) mode |= O_DIRECT;
        if (flags & NB_FLAG_WRITE_THROUGH) mode |= O_DSYNC;
        if (flags & NB_FLAG_NO_FOLLOW) mode |= O_NOFOLLOW;
        // A new file (a backup, the moved map, the journal) starts private and
        // is then given its original's owner and permissions.
        const int fd = ::open(name, mode, 0600);
        if (fd < 0) return LastError();

        // A directory, a pipe or a character device opens here too; the
        // converter works on files and block devices only.
        struct stat st {};
        NbResult code = NB_OK;
        if (::fstat(fd, &st) != 0) code = LastError();
        else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) code = NB_ACCESS_DENIED;
        else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) code = LastError();
        if (code != NB_OK) {
            ::close(fd);
            return code;
        }
        // Share modes have no counterpart here: a run keeps other converters
        // and disk-image tools out with one lock per file for its whole
        // length (OpenLocked), not with a lock per open.
        (void)share;
        if (flags & NB_FLAG_RANDOM_ACCESS) ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
        *out = fd;
        return NB_OK;
    }

    NbResult Close(HostHandle h) override {
        return ::close(FdOf(h)) == 0 ? NB_OK : LastError();
    }

    NbResult Size(HostHandle h, std::uint64_t* size) override {
        struct stat st {};
        if (::fstat(FdOf(h), &st) != 0) return LastError();
        *size = static_cast<std::uint64_t>(st.st_size);
        return NB_OK;
    }

    NbResult DeviceCapacity(HostHandle h, std::uint64_t* bytes) override {
        struct stat st {};
        if (::fstat(FdOf(h), &st) != 0) return LastError();
        if (!S_ISBLK(st.st_mode)) return NB_INVALID_FUNCTION;  // not a device
        std::uint64_t capacity = 0;
        if (::ioctl(FdOf(h), BLKGETSIZE64, &capacity) != 0) return LastError();
        *bytes = capacity;
        return NB_OK;
    }

    NbResult Flush(HostHandle h) override {
        return ::fsync(FdOf(h)) == 0 ? NB_OK : LastError();
    }

    NbResult SyncDirectory(const char* fileName) override {
        const int fd = ::open(DirectoryOf(fileName).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return LastError();
        // Some file systems refuse to sync a directory; the entry is then as
        // durable as they make it.
        const int rc = ::fsync(fd);
        const NbResult code = (rc == 0 || errno == EINVAL) ? NB_OK : LastError();
        ::close(fd);
        return code;
    }

    NbResult Rename(const char* existingName, const char* newName) override {
#ifdef SYS_renameat2
        if (::syscall(SYS_renameat2, AT_FDCWD, existingName, AT_FDCWD, newName, RENAME_NOREPLACE) == 0) return NB_OK;
#else
        errno = ENOSYS;
#endif
        if (errno != EINVAL && errno != ENOSYS) return LastError(HostErrnoContext::Rename);
        // No RENAME_NOREPLACE here: a hard link refuses an existing target
        // atomically; where links are not supported either, check first.
        if (::link(existingName, newName) == 0) {
            if (::unlink(existingName) == 0) return NB_OK;
            const NbResult code = LastError();
            ::unlink(newName);
            return code;
        }
        if (errno == EEXIST) return NB_ALREADY_EXISTS;
        struct stat st {};
        if (::lstat(newName, &st) == 0) return NB_ALREADY_EXISTS;
        return ::rename(existingName, newName) == 0 ? NB_OK : LastError(HostErrnoContext::Rename);
    }

    NbResult Remove(const char* name) override {
        return ::unlink(name) == 0 ? NB_OK : LastError();
    }

    NbResult Replace(const char* existingName, const char* newName) override {
        return ::rename(existingName, newName) == 0 ? NB_OK : LastError(HostErrnoContext::Rename);
    }

    NbResult ReadAt(HostHandle h, std::uint64_t offset, void* buffer, std::uint32_t count,
                    std::uint32_t* done) override {
        if (offset > static_cast<std::uint64_t>(LLONG_MAX) - count) return *done = 0, NB_INVALID_PARAMETER;
        return Transfer(static_cast<unsigned char*>(buffer), count, done, [h, offset, buffer](unsigned char* p, std::size_t n) {
            return ::pread(FdOf(h), p, n, static_cast<off_t>(offset + (p - static_cast<unsigned char*>(buffer))));
        });
    }

    NbResult WriteAt(HostHandle h, std::uint64_t offset, const void* buffer, std::uint32_t count,
                     std::uint32_t* done) override {
        if (offset > static_cast<std::uint64_t>(LLONG_MAX) - count) return *done = 0, NB_INVALID_PARAMETER;
        const auto* start = static_cast<const unsigned char*>(buffer);
        return Transfer(start, count, done, [h, offset, start](const unsigned char* p, std::size_t n) {
            return ::pwrite(FdOf(h), p, n, static_cast<off_t>(offset + (p - start)));
        });
    }

    NbResult ShareRange(HostHandle from, std::uint64_t fromOffset, HostHandle to, std::uint64_t toOffset,
                        std::uint64_t count) override {
        if (fromOffset > static_cast<std::uint64_t>(LLONG_MAX) - count ||
            toOffset > static_cast<std::uint64_t>(LLONG_MAX) - count)
            return NB_INVALID_PARAMETER;
        // A clone, never a copy: copy_file_range would copy where it cannot
        // share, and the caller's own writes are cheaper than that.
        file_clone_range range {};
        range.src_fd = FdOf(from);
        range.src_offset = fromOffset;
        range.src_length = count;
        range.dest_offset = toOffset;
        while (::ioctl(FdOf(to), FICLONERANGE, &range) != 0) {
            if (errno == EINTR) continue;
            // Another file system, one that cannot share, or offsets off its blocks.
            if (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOTTY || errno == ENOSYS ||
                errno == EBADF || errno == EPERM || errno == ETXTBSY)
                return NB_NOT_SUPPORTED;
            return LastError();
        }
        return NB_OK;
    }

    NbResult CopyRange(HostHandle from, std::uint64_t fromOffset, HostHandle to, std::uint64_t toOffset,
                       std::uint32_t count, std::uint32_t* done) override {
        *done = 0;
        if (fromOffset > static_cast<std::uint64_t>(LLONG_MAX) - count ||
            toOffset > static_cast<std::uint64_t>(LLONG_MAX) - count)
            return NB_INVALID_PARAMETER;
        auto in = static_cast<loff_t>(fromOffset), out = static_cast<loff_t>(toOffset);
        while (*done < count) {
#ifdef SYS_copy_file_range
            // By its number, as the calls above: glibc names it from 2.27 on.
            const auto n = static_cast<ssize_t>(
                ::syscall(SYS_copy_file_range, FdOf(from), &in, FdOf(to), &out, static_cast<std::size_t>(count - *done), 0u));
#else
            const ssize_t n = -1;
            errno = ENOSYS;
#endif
            if (n < 0) {
                if (errno == EINTR) continue;
                // Not between these files, or not on this kernel: the caller copies.
                if (*done == 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                                   errno == EBADF))
                    return NB_NOT_SUPPORTED;
                return LastError();
            }
            if (n == 0) break;
            *done += static_cast<std::uint32_t>(n);
        }
        return NB_OK;
    }

    void StartWriteback(HostHandle h, std::uint64_t offset, std::uint64_t length) override {
        ::sync_file_range(FdOf(h), static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
    }

    NbResult Truncate(HostHandle h, std::uint64_t length) override {
        if (length > static_cast<std::uint64_t>(LLONG_MAX)) return NB_INVALID_PARAMETER;
        while (::ftruncate(FdOf(h), static_cast<off_t>(length)) != 0)
            if (errno != EINTR) return LastError();
        return NB_OK;
    }

    NbResult Identity(HostHandle h, HostFileId* id) override {
        struct stat st {};
        if (::fstat(FdOf(h), &st) != 0) return LastError();
        id->Volume = static_cast<std::uint64_t>(st.st_dev);
        id->Index = static_cast<std::uint64_t>(st.st_ino);
        return NB_OK;
    }

    NbResult Inspect(const char* name, HostFileInfo* info) override {
        struct stat st {};
        if (::lstat(name, &st) != 0) return LastError();
        Describe(st, info);
        return NB_OK;
    }

    NbResult InspectHandle(HostHandle h, HostFileInfo* info) override {
        struct stat st {};
        if (::fstat(FdOf(h), &st) != 0) return LastError();
        Describe(st, info);
        return NB_OK;
    }

    NbResult OpenLocked(const char* name, HostHandle* out) override {
        *out = kInvalidHostHandle;
        // A write lock needs a handle that may write; a file this user may
        // only read gets a read lock, which still keeps every writer out.
        int fd = ::open(name, O_RDWR | O_CLOEXEC | O_NONBLOCK);
        short type = F_WRLCK;
        if (fd < 0 && (errno == EACCES || errno == EROFS)) {
            fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            type = F_RDLCK;
        }
        if (fd < 0) return LastError();
        struct stat st {};
        NbResult code = NB_OK;
        if (::fstat(fd, &st) != 0) code = LastError();
        else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) code = NB_ACCESS_DENIED;
        // Open-file-description locks belong to this handle, not the process,
        // so a second run's handle is refused even in this process, and they
        // meet the locks that other disk-image tools take.
        struct flock lock {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        lock.l_start = 0;
        lock.l_len = 0;  // the whole file, however long it grows
        if (code == NB_OK && ::fcntl(fd, F_OFD_SETLK, &lock) != 0)
            code = errno == EAGAIN || errno == EACCES ? NB_SHARING_VIOLATION : LastError();
        if (code != NB_OK) {
            ::close(fd);
            return code;
        }
        *out = fd;
        return NB_OK;
    }

    NbResult SetOwnership(HostHandle h, std::uint64_t owner, std::uint64_t group, std::uint32_t mode) override {
        const int fd = FdOf(h);
        struct stat st {};
        if (::fstat(fd, &st) != 0) return LastError();
        if ((st.st_uid != owner || st.st_gid != group) &&
            ::fchown(fd, static_cast<uid_t>(owner), static_cast<gid_t>(group)) != 0)
            return LastError();
        // After the owner: a change of owner clears setuid and setgid.
        if (::fstat(fd, &st) != 0) return LastError();
        if ((st.st_mode & 07777) != mode && ::fchmod(fd, static_cast<mode_t>(mode)) != 0) return LastError();
        return NB_OK;
    }

    NbResult CopyOwnership(HostHandle from, HostHandle to) override {
        const int source = FdOf(from), target = FdOf(to);
        struct stat st {};
        if (::fstat(source, &st) != 0) return LastError();
        // A folder's default access list gave the new file entries the
        // original may lack; if one cannot go, the copy would grant more.
        if (::fremovexattr(target, kAccessList) != 0 && errno != ENODATA && !AttributesUnsupported(errno))
            return LastError();
        // The owner only root may give away; the group, too, any member of
        // it (one of a shared image's group converts it). EINVAL: an ID this
        // user namespace does not map.
        const auto refused = [] { return errno == EPERM || errno == EINVAL; };
        if (::fchown(target, st.st_uid, st.st_gid) != 0) {
            if (!refused()) return LastError();
            if (::fchown(target, static_cast<uid_t>(-1), st.st_gid) != 0 && !refused()) return LastError();
        }
        struct stat now {};
        if (::fstat(target, &now) != 0) return LastError();
        // After the owner, whose change drops file capabilities, and before
        // the mode, which may take this owner's right to write them.
        CopyCarriedAttributes(source, target);
        // The setuid and setgid bits follow an owner and a group. Under
        // another group the original's group are others here, so neither
        // they nor others get anything.
        const bool groupKept = now.st_gid == st.st_gid;
        mode_t mode = st.st_mode & 07777;
        if (now.st_uid != st.st_uid || !groupKept) mode &= 0777;
        if (!groupKept) mode &= 0700;
        // After the owner too: a change of owner clears setuid and setgid.
        if (::fchmod(target, mode) != 0) return LastError();

        // The access list last: a mode change rewrites its mask.
        std::string list;
        if (!ReadAttribute(&list, [source](char* b, std::size_t n) { return ::fgetxattr(source, kAccessList, b, n); }))
            return errno == ENODATA || AttributesUnsupported(errno) ? NB_OK : LastError();
        if (!groupKept)
            ForEachListEntry(list, [](std::uint16_t tag, unsigned char* perm) {
                if (tag == kListOwningGroup || tag == kListOthers) perm[0] = perm[1] = 0;
            });
        if (::fsetxattr(target, kAccessList, list.data(), list.size(), 0) == 0) return NB_OK;
        // Without its list the file gives its named users nothing, and its
        // group no more than the list gave the group.
        mode = (mode & ~static_cast<mode_t>(070)) | OwningGroupBits(list) << 3;
        return ::fchmod(target, mode) == 0 ? NB_OK : LastError();
    }

    NbResult ResolveLink(const char* name, char* out, std::size_t size) override {
        std::string current(name);
        for (int hops = 0;; ++hops) {
            struct stat st {};
            if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
            if (hops >= 40) return NB_NAME_NOT_RESOLVED;  // a loop of links
            std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
            const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
            if (n < 0) return LastError();
            target.resize(static_cast<std::size_t>(n));
            if (!target.empty() && target[0] != '/') {
                const auto slash = current.find_last_of('/');
                if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
            }
            current = target;
        }
        if (current.size() + 1 > size) return NB_NAME_TOO_LONG;
        std::memcpy(out, current.c_str(), current.size() + 1);
        return NB_OK;
    }

    NbResult PageAlloc(std::size_t size, void** address) override {
        // The first page records the length, so that a release needs only the
        // address, as on hosts whose page allocator remembers it.
        *address = nullptr;
        const std::size_t page = PageSize();
        if (size > SIZE_MAX - 2 * page) return NB_NOT_ENOUGH_MEMORY;
        const std::size_t length = page + (size + page - 1) / page * page;
        void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) return LastError();
        std::memcpy(base, &length, sizeof length);
        *address = static_cast<unsigned char*>(base) + page;
        return NB_OK;
    }

    NbResult PageFree(void* address) override {
        if (address == nullptr) return NB_INVALID_ADDRESS;
        unsigned char* base = static_cast<unsigned char*>(address) - PageSize();
        std::size_t length = 0;
        std::memcpy(&length, base, sizeof length);
        return ::munmap(base, length) == 0 ? NB_OK : LastError();
    }

    void LocalTime(HostLocalTime* time) override {
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        struct tm local {};
        ::localtime_r(&now.tv_sec, &local);
        time->Month = local.tm_mon + 1;
        time->Day = local.tm_mday;
        time->Hour = local.tm_hour;
        time->Minute = local.tm_min;
        time->Second = local.tm_sec;
        time->Millisecond = static_cast<int>(now.tv_nsec / 1000000);
    }

    std::uint32_t ThreadId() override { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

    NbResult CreateGuid(HostGuid* guid) override {
        unsigned char bytes[16];
        std::size_t filled = 0;
        while (filled < sizeof bytes) {
#ifdef SYS_getrandom
            const auto n = static_cast<ssize_t>(::syscall(SYS_getrandom, bytes + filled, sizeof bytes - filled, 0u));
#else
            const ssize_t n = (errno = ENOSYS, -1);
#endif
            if (n < 0) {
                if (errno == EINTR) continue;
                return LastError();
            }
            filled += static_cast<std::size_t>(n);
        }
        // A random GUID: version 4 in the top nibble of Data3, variant 10xx.
        std::memcpy(&guid->Data1, bytes, 4);
        std::memcpy(&guid->Data2, bytes + 4, 2);
        std::memcpy(&guid->Data3, bytes + 6, 2);
        std::memcpy(guid->Data4, bytes + 8, 8);
        guid->Data3 = static_cast<std::uint16_t>((guid->Data3 & 0x0FFF) | 0x4000);
        guid->Data4[0] = static_cast<std::uint8_t>((guid->Data4[0] & 0x3F) | 0x80);
        return NB_OK;
    }

    void KeepRunningWhenOutputCloses() override {
        // A write to a pipe that no one reads any more then fails with EPIPE,
        // as any failed write does, instead of ending the process.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGPIPE, &ignore, nullptr);
    }

    void HoldTerminationRequests(const char* notice) override {
        if (holding_) return;
        const std::size_t length = notice != nullptr ? std::strlen(notice) : 0;
        g_holdNoticeLength = length < sizeof g_holdNotice ? length : sizeof g_holdNotice;
        if (g_holdNoticeLength > 0) std::memcpy(g_holdNotice, notice, g_holdNoticeLength);
        g_heldSignal.store(0);
        // Blocked while the handlers go in, so that no request meets half of them.
        const sigset_t held = HeldSignalSet();
        sigset_t mask;
        ::sigprocmask(SIG_BLOCK, &held, &mask);
        struct sigaction hold {};
        hold.sa_handler = HoldRequest;
        hold.sa_mask = held;  // one handler at a time: the first request is the one told
        hold.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < kHeldSignalCount; ++i) {
            held_[i] = false;
            if (::sigaction(kHeldSignals[i], nullptr, &previous_[i]) != 0) continue;
            // A request this process was started to ignore (nohup, a job in
            // the background) stays ignored, and is never told of.
            if (!(previous_[i].sa_flags & SA_SIGINFO) && previous_[i].sa_handler == SIG_IGN) continue;
            held_[i] = ::sigaction(kHeldSignals[i], &hold, nullptr) == 0;
        }
        holding_ = true;
        ::sigprocmask(SIG_SETMASK, &mask, nullptr);
    }

    void ReleaseTerminationRequests() override {
        if (!holding_) return;
        const sigset_t held = HeldSignalSet();
        sigset_t mask;
        ::sigprocmask(SIG_BLOCK, &held, &mask);
        for (std::size_t i = 0; i < kHeldSignalCount; ++i)
            if (held_[i]) ::sigaction(kHeldSignals[i], &previous_[i], nullptr);
        holding_ = false;
        // Raised again under the disposition it would have met on arrival
        // (the default: the process ends by that signal), and acted on as
        // soon as the mask is given back.
        const int request = g_heldSignal.exchange(0);
        if (request != 0) ::raise(request);
        ::sigprocmask(SIG_SETMASK, &mask, nullptr);
    }

    void WriteStandardError(const char* text, std::size_t length) override {
        while (length > 0) {
            const ssize_t n = ::write(2, text, length);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            text += n;
            length -= static_cast<std::size_t>(n);
        }
    }

    bool StandardErrorIsTerminal() override { return ::isatty(2) == 1; }

private:
    bool holding_ = false;
    bool held_[kHeldSignalCount] {};  // a handler of ours is in place of previous_
    struct sigaction previous_[kHeldSignalCount] {};
};

PosixHost g_systemHost;

}  // namespace

Host& NbSystemHost() { return g_systemHost; }
