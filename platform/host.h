// Everything the converter asks of the operating system, behind one narrow
// interface. Only the host implementation includes system headers; tests swap
// in another Host (to fail the n-th call, say) with NbSetHost.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/result.h"

using HostHandle = std::intptr_t;
inline constexpr HostHandle kInvalidHostHandle = -1;

// Open flags the callers may pass; the host maps them onto its own.
inline constexpr std::uint32_t NB_FLAG_NO_BUFFERING = 0x10000;
inline constexpr std::uint32_t NB_FLAG_WRITE_THROUGH = 0x20000;
inline constexpr std::uint32_t NB_FLAG_RANDOM_ACCESS = 0x40000;
// The run's own: a name that is a symbolic link is not followed, and the
// open fails with 1921.
inline constexpr std::uint32_t NB_FLAG_NO_FOLLOW = 0x80000;

struct HostLocalTime {
    int Month, Day, Hour, Minute, Second, Millisecond;
};

struct HostGuid {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

// Which file an open handle is: two names (or handles) of one file answer
// the same pair (device and inode; volume serial and file index).
struct HostFileId {
    std::uint64_t Volume = 0;
    std::uint64_t Index = 0;
    bool operator==(const HostFileId&) const = default;
};

// What a name or an open file is, for the checks made before the run
// believes a file it did not make itself.
struct HostFileInfo {
    HostFileId Id;
    bool Regular = false;           // a plain file
    bool Link = false;              // the name itself is a symbolic link (asked of a name only)
    std::uint64_t Owner = 0;        // the owner's user ID; on Windows a digest of the owner's SID
    std::uint64_t Group = 0;        // the group's ID; 0 on Windows, whose access lists travel with the file
    std::uint32_t Mode = 0;         // the permission bits (07777); 0 on Windows
    bool OwnerTrusted = false;      // the user who runs this process, or root (Administrators, SYSTEM)
    bool WritableByOthers = false;  // users other than the owner may write it
};

// The kinds of call, so that a test host can count and select them. Read
// and Write count ReadAt and WriteAt.
enum class HostCall : int {
    Open, Close, Read, Write, Size, DeviceCapacity, Flush, SyncDirectory,
    Rename, Remove, PageAlloc, PageFree, CreateGuid,
    Truncate, Lock, Identity, Ownership, ResolveLink, Replace, CopyRange, Inspect, ShareRange, Count
};
// The kind's name, as a report of a test names the call.
const char* NbHostCallName(HostCall kind);

class Host {
public:
    virtual ~Host() = default;

    // Opens (openExisting) or creates a new file; access and share are the
    // 2-bit read/write masks of the file objects. On failure *out is invalid.
    [[nodiscard]] virtual NbResult Open(const char* name, bool openExisting, std::uint32_t access,
                          std::uint32_t share, std::uint32_t flags, HostHandle* out) = 0;
    [[nodiscard]] virtual NbResult Close(HostHandle h) = 0;
    [[nodiscard]] virtual NbResult Size(HostHandle h, std::uint64_t* size) = 0;
    // Capacity in bytes of a storage device; a plain file answers with an error.
    [[nodiscard]] virtual NbResult DeviceCapacity(HostHandle h, std::uint64_t* bytes) = 0;
    // Makes the file's data durable on the medium.
    [[nodiscard]] virtual NbResult Flush(HostHandle h) = 0;
    // Makes the directory entry of the named file durable.
    [[nodiscard]] virtual NbResult SyncDirectory(const char* fileName) = 0;
    // Fails with 183 when the new name exists.
    [[nodiscard]] virtual NbResult Rename(const char* existingName, const char* newName) = 0;
    [[nodiscard]] virtual NbResult Remove(const char* name) = 0;
    // Renames over an existing file in one step: whoever looks finds either
    // the old file or the new one under newName, never neither.
    [[nodiscard]] virtual NbResult Replace(const char* existingName, const char* newName) = 0;

    // Reads or writes up to count bytes at an offset; *done gets what moved.
    // A read that stops short at the end of the file succeeds. Handles have
    // no position of their own here: the file objects keep one.
    [[nodiscard]] virtual NbResult ReadAt(HostHandle h, std::uint64_t offset, void* buffer, std::uint32_t count,
                            std::uint32_t* done) = 0;
    [[nodiscard]] virtual NbResult WriteAt(HostHandle h, std::uint64_t offset, const void* buffer, std::uint32_t count,
                             std::uint32_t* done) = 0;
    // Copies up to count bytes between two open files inside the system,
    // without passing them through this process; *done gets what moved (0 at
    // the end of the source). 50 where the host has no such copy, or not
    // between these two files: the caller then reads and writes.
    [[nodiscard]] virtual NbResult CopyRange(HostHandle from, std::uint64_t fromOffset, HostHandle to, std::uint64_t toOffset,
                               std::uint32_t count, std::uint32_t* done) {
        (void)from, (void)fromOffset, (void)to, (void)toOffset, (void)count;
        *done = 0;
        return NB_NOT_SUPPORTED;
    }
    // Makes count bytes of `to` at toOffset share the storage that holds
    // `from`'s bytes at fromOffset (a clone of the range: no byte moves, and
    // no room is taken), extending `to` where needed. All or nothing as far
    // as the caller knows: on any failure it writes the range itself. 50
    // where the file system cannot share these ranges (another file system,
    // offsets off its block boundaries, no such call).
    [[nodiscard]] virtual NbResult ShareRange(HostHandle from, std::uint64_t fromOffset, HostHandle to,
                                              std::uint64_t toOffset, std::uint64_t count) {
        (void)from, (void)fromOffset, (void)to, (void)toOffset, (void)count;
        return NB_NOT_SUPPORTED;
    }
    // A hint that the bytes just written may go to the medium now, so that
    // the flush at the end has less left to wait for. No result: the flush
    // makes them durable either way.
    virtual void StartWriteback(HostHandle h, std::uint64_t offset, std::uint64_t length) {
        (void)h, (void)offset, (void)length;
    }
    // Sets the file's length: cuts it, or extends it with zeros.
    [[nodiscard]] virtual NbResult Truncate(HostHandle h, std::uint64_t length) = 0;
    [[nodiscard]] virtual NbResult Identity(HostHandle h, HostFileId* id) = 0;
    // What the name is, never following a link in its last place: 2 when
    // nothing has the name.
    [[nodiscard]] virtual NbResult Inspect(const char* name, HostFileInfo* info) = 0;
    // What the open file is (Link is false).
    [[nodiscard]] virtual NbResult InspectHandle(HostHandle h, HostFileInfo* info) = 0;
    // Opens an existing file only to hold a lock on it until the handle is
    // closed, and takes, without waiting, an exclusive lock on the whole
    // file: 32 when any other holder, of this process or another, has one.
    // The handle is never read or written, and it stands in the way of none
    // of this process's own opens of the file.
    [[nodiscard]] virtual NbResult OpenLocked(const char* name, HostHandle* out) = 0;
    // Gives the file of `to` the owner, group and permission bits of the file
    // of `from`, as far as this process may; where it may not set the owner,
    // the permissions it sets are never looser than from's.
    [[nodiscard]] virtual NbResult CopyOwnership(HostHandle from, HostHandle to) = 0;
    // Gives the file the owner, group and permission bits an earlier
    // InspectHandle told (a file put back as it was): 5 where this process
    // may not; on Windows, which keeps these in the access list that stays
    // with the file, 50 unless they are the file's already.
    [[nodiscard]] virtual NbResult SetOwnership(HostHandle h, std::uint64_t owner, std::uint64_t group,
                                                std::uint32_t mode) = 0;
    // The name of the file that name finally stands for when it is a
    // symbolic link (relative targets taken from the link's folder), or the
    // name itself; 206 when the result does not fit size bytes with its NUL.
    [[nodiscard]] virtual NbResult ResolveLink(const char* name, char* out, std::size_t size) = 0;

    // Whole, zero-filled pages; released by their start address alone.
    [[nodiscard]] virtual NbResult PageAlloc(std::size_t size, void** address) = 0;
    [[nodiscard]] virtual NbResult PageFree(void* address) = 0;

    virtual void LocalTime(HostLocalTime* time) = 0;
    virtual std::uint32_t ThreadId() = 0;
    [[nodiscard]] virtual NbResult CreateGuid(HostGuid* guid) = 0;
    // A message that cannot be written (standard output closed early, a pager
    // quit) fails as a write and never ends the process.
    virtual void KeepRunningWhenOutputCloses() {}
    // From here on a hangup, an interrupt or a termination request (on
    // Windows the console's control events) is held, not acted on: the first
    // to arrive writes notice to standard output, once, and the process goes
    // on. ReleaseTerminationRequests ends the hold, and a request held
    // meanwhile then takes effect as it would have on arrival.
    virtual void HoldTerminationRequests(const char* notice) { (void)notice; }
    virtual void ReleaseTerminationRequests() {}

    // Standard error, unbuffered; failures are of no interest to the caller.
    virtual void WriteStandardError(const char* text, std::size_t length) = 0;
    // Whether standard error is a terminal that a person watches.
    virtual bool StandardErrorIsTerminal() = 0;
};

// A host that hands every call to another one; test hosts derive from it and
// change only the calls they care about.
class ForwardingHost : public Host {
public:
    explicit ForwardingHost(Host& next) : next_(next) {}
    [[nodiscard]] NbResult Open(const char* name, bool openExisting, std::uint32_t access, std::uint32_t share,
                  std::uint32_t flags, HostHandle* out) override {
        return next_.Open(name, openExisting, access, share, flags, out);
    }
    [[nodiscard]] NbResult Close(HostHandle h) override { return next_.Close(h); }
    [[nodiscard]] NbResult Size(HostHandle h, std::uint64_t* size) override { return next_.Size(h, size); }
    [[nodiscard]] NbResult DeviceCapacity(HostHandle h, std::uint64_t* bytes) override { return next_.DeviceCapacity(h, bytes); }
    [[nodiscard]] NbResult Flush(HostHandle h) override { return next_.Flush(h); }
    [[nodiscard]] NbResult SyncDirectory(const char* name) override { return next_.SyncDirectory(name); }
    [[nodiscard]] NbResult Rename(const char* from, const char* to) override { return next_.Rename(from, to); }
    [[nodiscard]] NbResult Remove(const char* name) override { return next_.Remove(name); }
    [[nodiscard]] NbResult Replace(const char* from, const char* to) override { return next_.Replace(from, to); }
    [[nodiscard]] NbResult ReadAt(HostHandle h, std::uint64_t offset, void* b, std::uint32_t n, std::uint32_t* done) override {
        return next_.ReadAt(h, offset, b, n, done);
    }
    [[nodiscard]] NbResult WriteAt(HostHandle h, std::uint64_t offset, const void* b, std::uint32_t n, std::uint32_t* done) override {
        return next_.WriteAt(h, offset, b, n, done);
    }
    [[nodiscard]] NbResult CopyRange(HostHandle from, std::uint64_t fromOffset, HostHandle to, std::uint64_t toOffset,
                       std::uint32_t count, std::uint32_t* done) override {
        return next_.CopyRange(from, fromOffset, to, toOffset, count, done);
    }
    [[nodiscard]] NbResult ShareRange(HostHandle from, std::uint64_t fromOffset, HostHandle to, std::uint64_t toOffset,
                                      std::uint64_t count) override {
        return next_.ShareRange(from, fromOffset, to, toOffset, count);
    }
    void StartWriteback(HostHandle h, std::uint64_t offset, std::uint64_t length) override {
        next_.StartWriteback(h, offset, length);
    }
    [[nodiscard]] NbResult Truncate(HostHandle h, std::uint64_t length) override { return next_.Truncate(h, length); }
    [[nodiscard]] NbResult Identity(HostHandle h, HostFileId* id) override { return next_.Identity(h, id); }
    [[nodiscard]] NbResult Inspect(const char* name, HostFileInfo* info) override { return next_.Inspect(name, info); }
    [[nodiscard]] NbResult InspectHandle(HostHandle h, HostFileInfo* info) override { return next_.InspectHandle(h, info); }
    [[nodiscard]] NbResult OpenLocked(const char* name, HostHandle* out) override { return next_.OpenLocked(name, out); }
    [[nodiscard]] NbResult CopyOwnership(HostHandle from, HostHandle to) override { return next_.CopyOwnership(from, to); }
    [[nodiscard]] NbResult SetOwnership(HostHandle h, std::uint64_t owner, std::uint64_t group, std::uint32_t mode) override {
        return next_.SetOwnership(h, owner, group, mode);
    }
    [[nodiscard]] NbResult ResolveLink(const char* name, char* out, std::size_t size) override { return next_.ResolveLink(name, out, size); }
    [[nodiscard]] NbResult PageAlloc(std::size_t size, void** address) override { return next_.PageAlloc(size, address); }
    [[nodiscard]] NbResult PageFree(void* address) override { return next_.PageFree(address); }
    void LocalTime(HostLocalTime* time) override { next_.LocalTime(time); }
    std::uint32_t ThreadId() override { return next_.ThreadId(); }
    [[nodiscard]] NbResult CreateGuid(HostGuid* guid) override { return next_.CreateGuid(guid); }
    void KeepRunningWhenOutputCloses() override { next_.KeepRunningWhenOutputCloses(); }
    void HoldTerminationRequests(const char* notice) override { next_.HoldTerminationRequests(notice); }
    void ReleaseTerminationRequests() override { next_.ReleaseTerminationRequests(); }
    void WriteStandardError(const char* text, std::size_t length) override { next_.WriteStandardError(text, length); }
    bool StandardErrorIsTerminal() override { return next_.StandardErrorIsTerminal(); }

protected:
    Host& next_;
};

// The host in use: the real one unless a test installed another.
Host& NbHost();
// The real host of this machine.
Host& NbSystemHost();
// Installs a host (null restores the real one); returns the previous one.
Host* NbSetHost(Host* host);
