// The test seam: a Host that passes every call to the real one, counts the
// calls by kind, and can make a chosen call fail with an error code (or every
// call from it on, as a disk that stays broken), move fewer bytes than asked,
// or end the process at once as a crash would; a power loss also forgets
// every write not yet flushed and every name change not yet made durable.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/host.h"

// Stop: the process stops itself at the call and goes on when continued.
// TornPowerLoss: a power loss in which each write not yet flushed is lost,
// lands whole or lands in part (its first sectors), a choice seeded by the
// call the power goes at, as a real disk may leave it.
enum class FaultKind { Error, Short, Crash, PowerLoss, TornPowerLoss, Stop };

struct FaultPlan {
    // 1-based index of the call to fail, counted over every call when Kind is
    // HostCall::Count, else over the calls of that kind only. 0: no fault.
    std::uint64_t At = 0;
    HostCall Kind = HostCall::Count;
    FaultKind Fault = FaultKind::Error;
    NbResult Code = 5;
    bool Persistent = false;  // Error: every matching call from At on fails
    // ShareRange succeeds by copying the bytes, as a file system with
    // 4096-byte blocks that shares would (where tests run on one that
    // cannot); else it goes to the real host.
    bool ShareByCopying = false;
};

class FaultHost : public ForwardingHost {
public:
    explicit FaultHost(Host& real = NbSystemHost()) : ForwardingHost(real), real_(real) {}

    void Plan(const FaultPlan& plan) { plan_ = plan; fired_ = false; }
    std::uint64_t Count(HostCall kind) const { return counts_[static_cast<int>(kind)]; }
    const std::vector<HostCall>& Log() const { return log_; }  // every call, in order
    bool Fired() const { return fired_; }
    // Every range a write or an in-system copy was asked to change, by the
    // name its file was opened under, in order.
    struct Written { std::string Path; std::uint64_t Offset, Length; };
    const std::vector<Written>& Writes() const { return writes_; }

    NbResult Open(const char* name, bool openExisting, std::uint32_t access, std::uint32_t share,
                  std::uint32_t flags, HostHandle* out) override;
    NbResult Close(HostHandle h) override;
    NbResult Size(HostHandle h, std::uint64_t* size) override;
    NbResult DeviceCapacity(HostHandle h, std::uint64_t* bytes) override;
    NbResult Flush(HostHandle h) override;
    NbResult SyncDirectory(const char* fileName) override;
    NbResult Rename(const char* existingName, const char* newName) override;
    NbResult Remove(const char* name) override;
    NbResult Replace(const char* existingName, const char* newName) override;
    NbResult ReadAt(HostHandle h, std::uint64_t offset, void* buffer, std::uint32_t count,
                    std::uint32_t* done) override;
    NbResult WriteAt(HostHandle h, std::uint64_t offset, const void* buffer, std::uint32_t count,
                     std::uint32_t* done) override;
    NbResult CopyRange(HostHandle from, std::uint64_t fromOffset, HostHandle to, std::uint64_t toOffset,
                       std::uint32_t count, std::uint32_t* done) override;
    NbResult ShareRange(HostHandle from, std::uint64_t fromOffset, HostHandle to, std::uint64_t toOffset,
                        std::uint64_t count) override;
    NbResult Truncate(HostHandle h, std::uint64_t length) override;
    NbResult Identity(HostHandle h, HostFileId* id) override;
    NbResult Inspect(const char* name, HostFileInfo* info) override;
    NbResult InspectHandle(HostHandle h, HostFileInfo* info) override;
    NbResult OpenLocked(const char* name, HostHandle* out) override;
    NbResult CopyOwnership(HostHandle from, HostHandle to) override;
    NbResult SetOwnership(HostHandle h, std::uint64_t owner, std::uint64_t group, std::uint32_t mode) override;
    NbResult ResolveLink(const char* name, char* out, std::size_t size) override;
    NbResult PageAlloc(std::size_t size, void** address) override;
    NbResult PageFree(void* address) override;
    NbResult CreateGuid(HostGuid* guid) override;
    // The rest (the writeback hint, the clock, standard error, stop
    // requests) goes to the real host as it is.

private:
    // Counts the call; returns the fault to apply to it, if any.
    bool Hit(HostCall kind, FaultKind* fault);
    // What a power loss takes back: unflushed writes and truncates (their
    // old bytes), and name changes whose folder was not flushed since.
    struct Undo {
        enum What { Bytes, Create, Rename, Replace, Remove } Kind;
        std::string Path, OtherPath;
        std::uint64_t Offset = 0, OldSize = 0;
        std::vector<std::uint8_t> Old;  // bytes overwritten, or a removed or replaced file's content
        bool Durable = false;
        std::uint64_t Length = 0;  // Bytes: how many bytes the write asked for
        bool Write = false;        // Bytes: a write (which may land in part), not a truncate
    };
    void NoteBytes(HostHandle h, std::uint64_t offset, std::uint64_t count);
    void NoteWrite(HostHandle h, std::uint64_t offset, std::uint64_t count);
    void NoteName(Undo::What kind, const std::string& path, const std::string& other);
    void LosePower(bool torn);

    Host& real_;
    FaultPlan plan_;
    bool fired_ = false;
    std::uint64_t total_ = 0;
    std::array<std::uint64_t, static_cast<int>(HostCall::Count)> counts_ {};
    std::vector<HostCall> log_;
    std::map<HostHandle, std::string> paths_;
    std::vector<Undo> undo_;
    std::vector<Written> writes_;
};

// Installs a host for the life of the object.
class ScopedHost {
public:
    explicit ScopedHost(Host& host) : previous_(NbSetHost(&host)) {}
    ~ScopedHost() { NbSetHost(previous_); }
    ScopedHost(const ScopedHost&) = delete;
    ScopedHost& operator=(const ScopedHost&) = delete;

private:
    Host* previous_;
};
