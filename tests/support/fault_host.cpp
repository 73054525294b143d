#include "tests/support/fault_host.h"

#include <csignal>

bool FaultHost::Hit(HostCall kind, FaultKind* fault) {
    ++total_;
    const std::uint64_t n = ++counts_[static_cast<int>(kind)];
    log_.push_back(kind);
    if (plan_.At == 0 || fired_) return false;
    if (plan_.Kind == HostCall::Count ? total_ != plan_.At : (plan_.Kind != kind || n != plan_.At)) return false;
    fired_ = true;
    *fault = plan_.Fault;
    if (plan_.Fault == FaultKind::Crash) std::raise(SIGKILL);
    return true;
}

#define NB_FAULT_OR(kind, call)                   \
    do {                                          \
        FaultKind fault;                          \
        if (Hit(kind, &fault)) return plan_.Code; \
        return call;                              \
    } while (0)

NbResult FaultHost::Open(const char* name, bool openExisting, std::uint32_t access, std::uint32_t share,
                         std::uint32_t flags, HostHandle* out) {
    FaultKind fault;
    if (Hit(HostCall::Open, &fault)) return *out = kInvalidHostHandle, plan_.Code;
    return real_.Open(name, openExisting, access, share, flags, out);
}

NbResult FaultHost::Close(HostHandle h) {
    FaultKind fault;
    const bool hit = Hit(HostCall::Close, &fault);
    const NbResult code = real_.Close(h);  // a failed close still gives the handle back
    return hit ? plan_.Code : code;
}

NbResult FaultHost::Read(HostHandle h, void* buffer, std::uint32_t count, std::uint32_t* done) {
    FaultKind fault;
    if (!Hit(HostCall::Read, &fault)) return real_.Read(h, buffer, count, done);
    if (fault == FaultKind::Short && count > 0) return real_.Read(h, buffer, count / 2, done);
    return *done = 0, plan_.Code;
}

NbResult FaultHost::Write(HostHandle h, const void* buffer, std::uint32_t count, std::uint32_t* done) {
    FaultKind fault;
    if (!Hit(HostCall::Write, &fault)) return real_.Write(h, buffer, count, done);
    if (fault == FaultKind::Short && count > 0) return real_.Write(h, buffer, count / 2, done);
    return *done = 0, plan_.Code;
}

NbResult FaultHost::Seek(HostHandle h, std::uint64_t offset) { NB_FAULT_OR(HostCall::Seek, real_.Seek(h, offset)); }
NbResult FaultHost::Size(HostHandle h, std::uint64_t* size) { NB_FAULT_OR(HostCall::Size, real_.Size(h, size)); }
NbResult FaultHost::DeviceCapacity(HostHandle h, std::uint64_t* bytes) {
    NB_FAULT_OR(HostCall::DeviceCapacity, real_.DeviceCapacity(h, bytes));
}
NbResult FaultHost::Flush(HostHandle h) { NB_FAULT_OR(HostCall::Flush, real_.Flush(h)); }
NbResult FaultHost::SyncDirectory(const char* fileName) { NB_FAULT_OR(HostCall::SyncDirectory, real_.SyncDirectory(fileName)); }
NbResult FaultHost::Rename(const char* existingName, const char* newName) {
    NB_FAULT_OR(HostCall::Rename, real_.Rename(existingName, newName));
}
NbResult FaultHost::Remove(const char* name) { NB_FAULT_OR(HostCall::Remove, real_.Remove(name)); }
NbResult FaultHost::PageAlloc(std::size_t size, void** address) {
    FaultKind fault;
    if (Hit(HostCall::PageAlloc, &fault)) return *address = nullptr, plan_.Code;
    return real_.PageAlloc(size, address);
}
NbResult FaultHost::PageFree(void* address) {
    FaultKind fault;
    const bool hit = Hit(HostCall::PageFree, &fault);
    const NbResult code = real_.PageFree(address);  // a reported failure still must not leak the pages
    return hit ? plan_.Code : code;
}
NbResult FaultHost::CreateGuid(HostGuid* guid) { NB_FAULT_OR(HostCall::CreateGuid, real_.CreateGuid(guid)); }
NbResult FaultHost::Replace(const char* existingName, const char* newName) {
    NB_FAULT_OR(HostCall::Replace, real_.Replace(existingName, newName));
}
NbResult FaultHost::ReadAt(HostHandle h, std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* done) {
    FaultKind fault;
    if (!Hit(HostCall::Read, &fault)) return real_.ReadAt(h, offset, buffer, count, done);
    if (fault == FaultKind::Short && count > 0) return real_.ReadAt(h, offset, buffer, count / 2, done);
    return *done = 0, plan_.Code;
}
NbResult FaultHost::WriteAt(HostHandle h, std::uint64_t offset, const void* buffer, std::uint32_t count,
                            std::uint32_t* done) {
    FaultKind fault;
    if (!Hit(HostCall::Write, &fault)) return real_.WriteAt(h, offset, buffer, count, done);
    if (fault == FaultKind::Short && count > 0) return real_.WriteAt(h, offset, buffer, count / 2, done);
    return *done = 0, plan_.Code;
}
NbResult FaultHost::Truncate(HostHandle h, std::uint64_t length) { NB_FAULT_OR(HostCall::Truncate, real_.Truncate(h, length)); }
NbResult FaultHost::Identity(HostHandle h, HostFileId* id) { NB_FAULT_OR(HostCall::Identity, real_.Identity(h, id)); }
NbResult FaultHost::LockExclusive(HostHandle h) { NB_FAULT_OR(HostCall::Lock, real_.LockExclusive(h)); }
NbResult FaultHost::CopyOwnership(HostHandle from, HostHandle to) {
    NB_FAULT_OR(HostCall::Ownership, real_.CopyOwnership(from, to));
}
NbResult FaultHost::ResolveLink(const char* name, char* out, std::size_t size) {
    NB_FAULT_OR(HostCall::ResolveLink, real_.ResolveLink(name, out, size));
}
