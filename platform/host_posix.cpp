// The host layer on Linux: the only file that includes system headers.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
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
    case EBADF: return 6;          // invalid handle
    case EMFILE:
    case ENFILE: return 4;         // too many open files
    case EXDEV: return 17;         // not the same device
    case EBUSY: return 170;        // resource in use
    case EFBIG: return 223;        // file too large
    case ELOOP: return 1921;       // name cannot be resolved
    case EIO: return 1117;         // device I/O error
    default: return 31;            // a device attached to the system is not functioning
    }
}

namespace {

NbResult LastError(HostErrnoContext context = HostErrnoContext::General) {
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
NbResult Transfer(Byte* bytes, std::uint32_t count, std::uint32_t* done, Call call) {
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

    NbResult Read(HostHandle h, void* buffer, std::uint32_t count, std::uint32_t* done) override {
        return Transfer(static_cast<unsigned char*>(buffer), count, done,
                        [h](unsigned char* p, std::size_t n) { return ::read(FdOf(h), p, n); });
    }

    NbResult Write(HostHandle h, const void* buffer, std::uint32_t count, std::uint32_t* done) override {
        return Transfer(static_cast<const unsigned char*>(buffer), count, done,
                        [h](const unsigned char* p, std::size_t n) { return ::write(FdOf(h), p, n); });
    }

    NbResult Seek(HostHandle h, std::uint64_t offset) override {
        if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return NB_INVALID_PARAMETER;
        return ::lseek(FdOf(h), static_cast<off_t>(offset), SEEK_SET) < 0 ? LastError() : NB_OK;
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
        if (!S_ISBLK(st.st_mode)) return 1;  // not a device: "incorrect function"
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

    NbResult CopyOwnership(HostHandle from, HostHandle to) override {
        struct stat st {};
        if (::fstat(FdOf(from), &st) != 0) return LastError();
        mode_t mode = st.st_mode & 07777;
        if (::fchown(FdOf(to), st.st_uid, st.st_gid) != 0) {
            if (errno != EPERM) return LastError();
            // Not ours to give away: keep our own owner, never grant more
            // than the original did, and nothing that follows an owner.
            mode &= 0777;
        }
        return ::fchmod(FdOf(to), mode) == 0 ? NB_OK : LastError();
    }

    NbResult ResolveLink(const char* name, char* out, std::size_t size) override {
        std::string current(name);
        for (int hops = 0;; ++hops) {
            struct stat st {};
            if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
            if (hops >= 40) return 1921;  // a loop of links: the name cannot be resolved
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
};

PosixHost g_systemHost;

}  // namespace

Host& NbSystemHost() { return g_systemHost; }
