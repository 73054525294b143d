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

struct HostLocalTime {
    int Month, Day, Hour, Minute, Second, Millisecond;
};

struct HostGuid {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

// The kinds of call, so that a test host can count and select them.
enum class HostCall : int {
    Open, Close, Read, Write, Seek, Size, DeviceCapacity, Flush, SyncDirectory,
    Rename, Remove, PageAlloc, PageFree, CreateGuid, Count
};

class Host {
public:
    virtual ~Host() = default;

    // Opens (openExisting) or creates a new file; access and share are the
    // 2-bit read/write masks of the file objects. On failure *out is invalid.
    virtual NbResult Open(const char* name, bool openExisting, std::uint32_t access,
                          std::uint32_t share, std::uint32_t flags, HostHandle* out) = 0;
    virtual NbResult Close(HostHandle h) = 0;
    // Reads or writes up to count bytes at the current position; *done gets
    // what moved. A read that stops short at the end of the file succeeds.
    virtual NbResult Read(HostHandle h, void* buffer, std::uint32_t count, std::uint32_t* done) = 0;
    virtual NbResult Write(HostHandle h, const void* buffer, std::uint32_t count, std::uint32_t* done) = 0;
    virtual NbResult Seek(HostHandle h, std::uint64_t offset) = 0;
    virtual NbResult Size(HostHandle h, std::uint64_t* size) = 0;
    // Capacity in bytes of a storage device; a plain file answers with an error.
    virtual NbResult DeviceCapacity(HostHandle h, std::uint64_t* bytes) = 0;
    // Makes the file's data durable on the medium.
    virtual NbResult Flush(HostHandle h) = 0;
    // Makes the directory entry of the named file durable.
    virtual NbResult SyncDirectory(const char* fileName) = 0;
    // Fails with 183 when the new name exists.
    virtual NbResult Rename(const char* existingName, const char* newName) = 0;
    virtual NbResult Remove(const char* name) = 0;

    // Whole, zero-filled pages; released by their start address alone.
    virtual NbResult PageAlloc(std::size_t size, void** address) = 0;
    virtual NbResult PageFree(void* address) = 0;

    virtual void LocalTime(HostLocalTime* time) = 0;
    virtual std::uint32_t ThreadId() = 0;
    virtual NbResult CreateGuid(HostGuid* guid) = 0;
    // Standard error, unbuffered; failures are of no interest to the caller.
    virtual void WriteStandardError(const char* text, std::size_t length) = 0;
};

// The host in use: the real one unless a test installed another.
Host& NbHost();
// The real host of this machine.
Host& NbSystemHost();
// Installs a host (null restores the real one); returns the previous one.
Host* NbSetHost(Host* host);
