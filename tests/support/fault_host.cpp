#include "tests/support/fault_host.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "tests/support/test_platform.h"

bool FaultHost::Hit(HostCall kind, FaultKind* fault) {
    ++total_;
    const std::uint64_t n = ++counts_[static_cast<int>(kind)];
    log_.push_back(kind);
    if (plan_.At == 0 || (fired_ && !plan_.Persistent)) return false;
    if (plan_.Kind != HostCall::Count && plan_.Kind != kind) return false;
    const std::uint64_t at = plan_.Kind == HostCall::Count ? total_ : n;
    if (plan_.Persistent ? at < plan_.At : at != plan_.At) return false;
    fired_ = true;
    *fault = plan_.Fault;
    const bool powerLoss = plan_.Fault == FaultKind::PowerLoss || plan_.Fault == FaultKind::TornPowerLoss;
    if (powerLoss) LosePower(plan_.Fault == FaultKind::TornPowerLoss);
    if (powerLoss || plan_.Fault == FaultKind::Crash) CrashNow();
    if (plan_.Fault == FaultKind::Stop) return StopNow(), false;
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
    const NbResult code = real_.Open(name, openExisting, access, share, flags, out);
    if (code == NB_OK) {
        paths_[*out] = name;
        if (!openExisting) NoteName(Undo::Create, name, "");
    }
    return code;
}

NbResult FaultHost::Close(HostHandle h) {
    FaultKind fault;
    const bool hit = Hit(HostCall::Close, &fault);
    paths_.erase(h);
    const NbResult code = real_.Close(h);  // a failed close still gives the handle back
    return hit ? plan_.Code : code;
}

NbResult FaultHost::Size(HostHandle h, std::uint64_t* size) { NB_FAULT_OR(HostCall::Size, real_.Size(h, size)); }
NbResult FaultHost::DeviceCapacity(HostHandle h, std::uint64_t* bytes) {
    NB_FAULT_OR(HostCall::DeviceCapacity, real_.DeviceCapacity(h, bytes));
}
NbResult FaultHost::Flush(HostHandle h) {
    FaultKind fault;
    if (Hit(HostCall::Flush, &fault)) return plan_.Code;
    const NbResult code = real_.Flush(h);
    if (code == NB_OK)
        for (Undo& u : undo_)
            if (u.Kind == Undo::Bytes && u.Path == paths_[h]) u.Durable = true;
    return code;
}
NbResult FaultHost::SyncDirectory(const char* fileName) {
    FaultKind fault;
    if (Hit(HostCall::SyncDirectory, &fault)) return plan_.Code;
    const NbResult code = real_.SyncDirectory(fileName);
    const auto folder = std::filesystem::path(fileName).parent_path();
    if (code == NB_OK)
        for (Undo& u : undo_)
            if (u.Kind != Undo::Bytes && std::filesystem::path(u.Path).parent_path() == folder) u.Durable = true;
    return code;
}
NbResult FaultHost::Rename(const char* existingName, const char* newName) {
    FaultKind fault;
    if (Hit(HostCall::Rename, &fault)) return plan_.Code;
    const NbResult code = real_.Rename(existingName, newName);
    if (code == NB_OK) NoteName(Undo::Rename, newName, existingName);
    return code;
}
NbResult FaultHost::Remove(const char* name) {
    FaultKind fault;
    if (Hit(HostCall::Remove, &fault)) return plan_.Code;
    NoteName(Undo::Remove, name, "");
    const NbResult code = real_.Remove(name);
    if (code != NB_OK) undo_.pop_back();
    return code;
}
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
    FaultKind fault;
    if (Hit(HostCall::Replace, &fault)) return plan_.Code;
    NoteName(Undo::Replace, newName, existingName);
    const NbResult code = real_.Replace(existingName, newName);
    if (code != NB_OK) undo_.pop_back();
    return code;
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
    const bool hit = Hit(HostCall::Write, &fault);
    NoteWrite(h, offset, count);
    if (!hit) return real_.WriteAt(h, offset, buffer, count, done);
    if (fault == FaultKind::Short && count > 0) return real_.WriteAt(h, offset, buffer, count / 2, done);
    return *done = 0, plan_.Code;
}
NbResult FaultHost::CopyRange(HostHandle from, std::uint64_t fromOffset, HostHandle to, std::uint64_t toOffset,
                             std::uint32_t count, std::uint32_t* done) {
    FaultKind fault;
    *done = 0;
    const bool hit = Hit(HostCall::CopyRange, &fault);
    NoteWrite(to, toOffset, count);
    if (!hit) return real_.CopyRange(from, fromOffset, to, toOffset, count, done);
    if (fault == FaultKind::Short && count > 1) return real_.CopyRange(from, fromOffset, to, toOffset, count / 2, done);
    return plan_.Code;
}

NbResult FaultHost::ShareRange(HostHandle from, std::uint64_t fromOffset, HostHandle to, std::uint64_t toOffset,
                              std::uint64_t count) {
    FaultKind fault;
    if (Hit(HostCall::ShareRange, &fault)) return plan_.Code;
    if (!plan_.ShareByCopying) return real_.ShareRange(from, fromOffset, to, toOffset, count);
    constexpr std::uint64_t kBlock = 4096;
    if (fromOffset % kBlock != 0 || toOffset % kBlock != 0 || count % kBlock != 0) return NB_NOT_SUPPORTED;
    NoteWrite(to, toOffset, count);
    std::vector<std::uint8_t> bytes(64 * 1024);
    for (std::uint64_t at = 0; at < count;) {
        const auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes.size(), count - at));
        std::uint32_t done = 0;
        NbResult code = real_.ReadAt(from, fromOffset + at, bytes.data(), piece, &done);
        if (code == NB_OK && done != piece) code = NB_INVALID_PARAMETER;  // beyond the source's end
        if (code == NB_OK) code = real_.WriteAt(to, toOffset + at, bytes.data(), piece, &done);
        if (code == NB_OK && done != piece) code = 112;
        if (code != NB_OK) return code;
        at += piece;
    }
    return NB_OK;
}

NbResult FaultHost::Truncate(HostHandle h, std::uint64_t length) {
    FaultKind fault;
    if (Hit(HostCall::Truncate, &fault)) return plan_.Code;
    std::uint64_t size = 0;
    if (real_.Size(h, &size) == NB_OK && length < size) NoteBytes(h, length, size - length);
    else NoteBytes(h, length, 0);
    return real_.Truncate(h, length);
}

namespace {

std::vector<std::uint8_t> Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Put(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

void FaultHost::NoteWrite(HostHandle h, std::uint64_t offset, std::uint64_t count) {
    if (const auto path = paths_.find(h); path != paths_.end()) writes_.push_back({path->second, offset, count});
    const std::size_t before = undo_.size();
    NoteBytes(h, offset, count);
    if (undo_.size() > before) undo_.back().Length = count, undo_.back().Write = true;
}

void FaultHost::NoteBytes(HostHandle h, std::uint64_t offset, std::uint64_t count) {
    const auto path = paths_.find(h);
    if (path == paths_.end()) return;
    Undo u {Undo::Bytes, path->second, "", offset, 0, {}, false};
    if (real_.Size(h, &u.OldSize) != NB_OK) return;
    if (offset < u.OldSize) {
        u.Old.resize(std::min<std::uint64_t>(count, u.OldSize - offset));
        std::uint32_t got = 0;
        (void)real_.ReadAt(h, offset, u.Old.data(), static_cast<std::uint32_t>(u.Old.size()), &got);
        u.Old.resize(got);
    }
    undo_.push_back(std::move(u));
}

void FaultHost::NoteName(Undo::What kind, const std::string& path, const std::string& other) {
    Undo u {kind, path, other, 0, 0, {}, false};
    if (kind == Undo::Remove || kind == Undo::Replace) {
        if (!std::filesystem::exists(path)) u.Kind = kind == Undo::Replace ? Undo::Rename : Undo::Create;
        else u.Old = Contents(path);
        if (kind == Undo::Remove && u.Kind == Undo::Create) return;  // nothing there to remove
    }
    undo_.push_back(std::move(u));
}

// The medium as it would be found after the power came back: what was not
// made durable is taken back, newest first.
void FaultHost::LosePower(bool torn) {
    // The run's handles go with the power; Windows share modes would keep the
    // files below from being put back while they are open.
    for (const auto& open : paths_) (void)real_.Close(open.first);
    paths_.clear();
    std::mt19937_64 choose(plan_.At);
    // Per file, what later writes left that landed: taking back an earlier
    // write leaves those bytes (and the length they need) alone.
    std::map<std::string, std::vector<std::pair<std::uint64_t, std::uint64_t>>> landed;
    for (auto u = undo_.rbegin(); u != undo_.rend(); ++u) {
        if (u->Durable) continue;
        std::error_code ignored;
        switch (u->Kind) {
        case Undo::Bytes: {
            if (!std::filesystem::exists(u->Path)) break;
            // How much of the write reached the medium: none, all, or its
            // first whole sectors.
            std::uint64_t kept = 0;
            if (torn && u->Write) {
                const std::uint64_t pick = choose() % 3;
                kept = pick == 0 ? 0 : pick == 1 ? u->Length : (choose() % (u->Length + 1)) / 512 * 512;
            }
            auto& safe = landed[u->Path];
            if (kept > 0) safe.push_back({u->Offset, u->Offset + kept});
            if (kept >= u->Length && u->Write) break;
            std::vector<std::uint8_t> now = Contents(u->Path);
            if (now.size() < u->Offset + u->Old.size()) now.resize(u->Offset + u->Old.size());
            const auto old = u->Old.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(kept, u->Old.size()));
            if (safe.empty()) {
                std::copy(old, u->Old.end(), now.begin() + static_cast<std::ptrdiff_t>(u->Offset + kept));
            } else {
                for (auto b = old; b != u->Old.end(); ++b) {
                    const std::uint64_t at = u->Offset + static_cast<std::uint64_t>(b - u->Old.begin());
                    if (std::none_of(safe.begin(), safe.end(), [&](const auto& r) { return r.first <= at && at < r.second; }))
                        now[at] = *b;
                }
            }
            std::uint64_t size = u->OldSize;
            for (const auto& r : safe) size = std::max(size, r.second);
            now.resize(size);
            Put(u->Path, now);
            break;
        }
        case Undo::Create: std::filesystem::remove(u->Path, ignored); break;
        case Undo::Rename: std::filesystem::rename(u->Path, u->OtherPath, ignored); break;
        case Undo::Replace:
            std::filesystem::rename(u->Path, u->OtherPath, ignored);
            Put(u->Path, u->Old);
            break;
        case Undo::Remove: Put(u->Path, u->Old); break;
        }
    }
}
NbResult FaultHost::Identity(HostHandle h, HostFileId* id) { NB_FAULT_OR(HostCall::Identity, real_.Identity(h, id)); }
NbResult FaultHost::Inspect(const char* name, HostFileInfo* info) {
    NB_FAULT_OR(HostCall::Inspect, real_.Inspect(name, info));
}
NbResult FaultHost::InspectHandle(HostHandle h, HostFileInfo* info) {
    NB_FAULT_OR(HostCall::Inspect, real_.InspectHandle(h, info));
}
NbResult FaultHost::OpenLocked(const char* name, HostHandle* out) {
    FaultKind fault;
    if (Hit(HostCall::Lock, &fault)) return *out = kInvalidHostHandle, plan_.Code;
    return real_.OpenLocked(name, out);
}
NbResult FaultHost::CopyOwnership(HostHandle from, HostHandle to) {
    NB_FAULT_OR(HostCall::Ownership, real_.CopyOwnership(from, to));
}
NbResult FaultHost::SetOwnership(HostHandle h, std::uint64_t owner, std::uint64_t group, std::uint32_t mode) {
    NB_FAULT_OR(HostCall::Ownership, real_.SetOwnership(h, owner, group, mode));
}
NbResult FaultHost::ResolveLink(const char* name, char* out, std::size_t size) {
    NB_FAULT_OR(HostCall::ResolveLink, real_.ResolveLink(name, out, size));
}
