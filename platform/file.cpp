#include "platform/file.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/format.h"
#include "platform/names.h"
#include "platform/progress.h"
#include "platform/trace.h"

namespace {

[[nodiscard]] NbResult Validate(const NbFileObject* object) {
    if (object == nullptr) return NB_INVALID_ADDRESS;
    if (object->Magic != NB_FILE_OBJECT_MAGIC) return NB_TAG_NOT_PRESENT;
    if (object->Size != NB_FILE_OBJECT_SIZE) return NB_INCORRECT_SIZE;
    return NB_OK;
}

// The page of a file object: the record first, as callers see it, then what
// only these functions use. A file the object created has its name right
// behind, so that its first flush can make the name durable too.
struct ObjectPage {
    NbFileObject Record;
    std::uint64_t Position;  // where Read and Write go next
    bool NameToSync;         // created here, and its folder not yet flushed
};
static_assert(offsetof(ObjectPage, Record) == 0, "a record's address is its page's");

ObjectPage* PageOf(NbFileObject* object) { return reinterpret_cast<ObjectPage*>(object); }
const char* CreatedName(ObjectPage* page) { return reinterpret_cast<const char*>(page + 1); }

// A page of its own for the record, the handle from open, and the record
// valid only once the handle is there. A name to keep is kept behind the
// page's own fields.
template <class Open>
[[nodiscard]] NbResult CreateObject(NbFileObject** object, const char* fileName, bool keepName, Open open) {
    if (object == nullptr || *object != nullptr || fileName == nullptr) return NB_INVALID_ADDRESS;
    Host& host = NbHost();
    const std::size_t name = keepName ? std::strlen(fileName) + 1 : 0;
    void* memory = nullptr;
    NbResult code = host.PageAlloc(sizeof(ObjectPage) + name, &memory);
    if (code != NB_OK) return code;
    std::memset(memory, 0, sizeof(ObjectPage) + name);
    auto* page = static_cast<ObjectPage*>(memory);
    NbFileObject* record = &page->Record;
    *object = record;
    record->AuxiliaryHandle = kInvalidHostHandle;
    code = open(host, &record->Handle);
    if (code != NB_OK) {
        (void)NbMemoryFree(page);
        *object = nullptr;
        return code;
    }
    std::uint64_t capacity = 0;
    if (host.DeviceCapacity(record->Handle, &capacity) == NB_OK) record->DeviceFlag = 1;
    if (keepName) {
        std::memcpy(page + 1, fileName, name);
        page->NameToSync = true;
    }
    record->Size = NB_FILE_OBJECT_SIZE;
    record->Magic = NB_FILE_OBJECT_MAGIC;
    return NB_OK;
}

}  // namespace

namespace {

struct Pin {
    std::string Name;
    HostFileId Id;
    bool ThroughLink;
};
// Few entries (the image files, their backups, the journal): a list will do.
struct PinTable {
    int Scopes = 0;
    std::vector<Pin> Pins;

    Pin* Find(const char* name) {
        for (Pin& pin : Pins)
            if (pin.Name == name) return &pin;
        return nullptr;
    }
    void Set(const char* name, const HostFileId& id, bool throughLink) {
        if (Scopes == 0) return;
        if (Pin* pin = Find(name)) *pin = {name, id, throughLink};
        else Pins.push_back({name, id, throughLink});
    }
    void Forget(const char* name) {
        std::erase_if(Pins, [name](const Pin& pin) { return pin.Name == name; });
    }
};

PinTable& Pins() {
    static PinTable table;
    return table;
}

[[nodiscard]] NbResult NotThePinnedFile(const char* fileName) {
    NbTrace(NB_TRACE_ERROR, NbTraceContext, "*** NbFileObjectCreate %u [%s] is not the file this run locked\n",
            NB_FILE_INVALID, fileName);
    return NB_FILE_INVALID;
}

}  // namespace

NbFilePinScope::NbFilePinScope() { ++Pins().Scopes; }
NbFilePinScope::~NbFilePinScope() {
    if (--Pins().Scopes == 0) Pins().Pins.clear();
}

void NbFilePinAs(const char* fileName, const HostFileId& id, bool throughLink) { Pins().Set(fileName, id, throughLink); }

bool NbFilePinned(const char* fileName, HostFileId* id) {
    const Pin* pin = Pins().Find(fileName);
    if (pin != nullptr && id != nullptr) *id = pin->Id;
    return pin != nullptr;
}

NbResult NbFilePin(const char* fileName, HostFileId* id) {
    Host& host = NbHost();
    HostFileInfo info;
    NbResult code = host.Inspect(fileName, &info);
    if (code != NB_OK) return code;
    // The file itself, opened for nothing but its identity: through the link
    // when the name is one now, never through one that appears later.
    HostHandle handle = kInvalidHostHandle;
    code = host.Open(fileName, true, 0, NB_SHARE_READ_WRITE, info.Link ? 0 : NB_FLAG_NO_FOLLOW, &handle);
    if (code != NB_OK) return code;
    HostFileId found;
    code = host.Identity(handle, &found);
    (void)host.Close(handle);
    if (code != NB_OK) return code;
    Pins().Set(fileName, found, info.Link);
    if (id != nullptr) *id = found;
    return NB_OK;
}

NbResult NbFileObjectCreate(NbFileObject** object, const char* fileName, std::uint8_t openExisting,
                            std::uint32_t access, std::uint32_t share, std::uint32_t flags) {
    if (object == nullptr || *object != nullptr || fileName == nullptr) return NB_INVALID_ADDRESS;
    if (access > 3 || share > 3) return NB_INVALID_PARAMETER;
    std::uint32_t hostFlags =
        flags & (NB_FLAG_NO_BUFFERING | NB_FLAG_WRITE_THROUGH | NB_FLAG_RANDOM_ACCESS | NB_FLAG_NO_FOLLOW);
    const bool existing = openExisting == NB_OPEN_EXISTING;
    const Pin* pin = existing ? Pins().Find(fileName) : nullptr;
    const bool pinned = pin != nullptr;
    const HostFileId pinnedId = pinned ? pin->Id : HostFileId {};
    if (pinned && !pin->ThroughLink) hostFlags |= NB_FLAG_NO_FOLLOW;
    NbResult code = CreateObject(object, fileName, !existing, [&](Host& host, HostHandle* out) {
        return host.Open(fileName, existing, access, share, hostFlags, out);
    });
    // A link where the run found a file: someone put it there.
    if (pinned && code == NB_NAME_NOT_RESOLVED) return NotThePinnedFile(fileName);
    if (code != NB_OK || (!pinned && (existing || Pins().Scopes == 0))) return code;
    HostFileId found;
    code = NbHost().Identity((*object)->Handle, &found);
    if (code == NB_OK && pinned && !(found == pinnedId)) code = NotThePinnedFile(fileName);
    if (code != NB_OK) {
        (void)NbFileObjectDestroy(*object);
        *object = nullptr;
        return code;
    }
    if (!existing) Pins().Set(fileName, found, false);
    return NB_OK;
}

NbResult NbFileObjectCreateLocked(NbFileObject** object, const char* fileName) {
    return CreateObject(object, fileName, false,
                        [&](Host& host, HostHandle* out) { return host.OpenLocked(fileName, out); });
}

NbResult NbFileObjectSeek(NbFileObject* object, std::uint64_t offset) {
    if (const NbResult bad = Validate(object)) return bad;
    // A position is a signed 64-bit offset to every host.
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) NB_RETURN("NbFileObjectSeek", NB_NEGATIVE_SEEK);
    PageOf(object)->Position = offset;
    NB_RETURN("NbFileObjectSeek", NB_OK);
}

NbResult NbFileObjectRead(NbFileObject* object, void* buffer, std::uint32_t count, std::uint32_t* countRead) {
    if (const NbResult bad = Validate(object)) return bad;
    if (buffer == nullptr) return NB_INVALID_ADDRESS;
    ObjectPage* page = PageOf(object);
    std::uint32_t done = 0;
    const NbResult code = NbHost().ReadAt(object->Handle, page->Position, buffer, count, &done);
    page->Position += done;
    if (code != NB_OK) NB_RETURN("NbFileObjectRead", code);
    if (countRead != nullptr) *countRead = done;
    if (done == count || countRead != nullptr) return NB_OK;
    NB_RETURN("NbFileObjectRead", NB_IO_INCOMPLETE);
}

NbResult NbFileObjectWrite(NbFileObject* object, const void* buffer, std::uint32_t count) {
    if (const NbResult bad = Validate(object)) return bad;
    if (buffer == nullptr) return NB_INVALID_ADDRESS;
    ObjectPage* page = PageOf(object);
    std::uint32_t done = 0;
    const NbResult code = NbHost().WriteAt(object->Handle, page->Position, buffer, count, &done);
    page->Position += done;
    if (code != NB_OK) return code;
    return done == count ? NB_OK : NB_IO_INCOMPLETE;
}

NbResult NbFileObjectReadAt(NbFileObject* object, std::uint64_t offset, void* buffer, std::uint32_t count,
                            std::uint32_t* countRead) {
    if (const NbResult bad = Validate(object)) return bad;
    if (buffer == nullptr) return NB_INVALID_ADDRESS;
    std::uint32_t done = 0;
    const NbResult code = NbHost().ReadAt(object->Handle, offset, buffer, count, &done);
    if (code != NB_OK) return code;
    if (countRead != nullptr) *countRead = done;
    return done == count || countRead != nullptr ? NB_OK : NB_IO_INCOMPLETE;
}

NbResult NbFileObjectWriteAt(NbFileObject* object, std::uint64_t offset, const void* buffer, std::uint32_t count) {
    if (const NbResult bad = Validate(object)) return bad;
    if (buffer == nullptr) return NB_INVALID_ADDRESS;
    std::uint32_t done = 0;
    const NbResult code = NbHost().WriteAt(object->Handle, offset, buffer, count, &done);
    if (code != NB_OK) return code;
    return done == count ? NB_OK : NB_IO_INCOMPLETE;
}

NbResult NbFileObjectQuery(NbFileObject* object, std::uint64_t* size) {
    if (const NbResult bad = Validate(object)) return bad;
    if (size == nullptr) return NB_INVALID_ADDRESS;
    std::uint64_t value = 0;
    const NbResult code = object->DeviceFlag ? NbHost().DeviceCapacity(object->Handle, &value)
                                             : NbHost().Size(object->Handle, &value);
    *size = code == NB_OK ? value : 0;
    return code;
}

NbResult NbFileObjectFlush(NbFileObject* object) {
    if (const NbResult bad = Validate(object)) return bad;
    NbResult code = NbHost().Flush(object->Handle);
    // Data on the medium is lost all the same while no folder entry leads
    // to it. Until the folder is flushed, each flush tries again.
    ObjectPage* page = PageOf(object);
    if (code == NB_OK && page->NameToSync) {
        code = NbFileSyncDirectory(CreatedName(page));
        if (code == NB_OK) page->NameToSync = false;
    }
    return code;
}

NbResult NbFileObjectTruncate(NbFileObject* object, std::uint64_t length) {
    if (const NbResult bad = Validate(object)) return bad;
    return NbHost().Truncate(object->Handle, length);
}

NbResult NbFileObjectDestroy(NbFileObject* object) {
    if (const NbResult bad = Validate(object)) return bad;
    Host& host = NbHost();
    if (object->AuxiliaryHandle != kInvalidHostHandle) (void)host.Close(object->AuxiliaryHandle);
    const NbResult code = host.Close(object->Handle);
    object->Magic = 0;
    (void)NbMemoryFree(PageOf(object));
    return code;
}

namespace {

// A renamed file keeps its pin under its new name; the name it left is free.
void MovePin(const char* existingName, const char* newName) {
    PinTable& pins = Pins();
    const Pin* pin = pins.Find(existingName);
    if (pin == nullptr) {
        pins.Forget(newName);
        return;
    }
    const Pin moved {newName, pin->Id, pin->ThroughLink};
    pins.Forget(existingName);
    pins.Set(newName, moved.Id, moved.ThroughLink);
}

// Whether a pinned name still leads to its file, asked before the name is
// renamed: the rename itself cannot say which file it moved.
[[nodiscard]] NbResult CheckPinnedName(const char* name) {
    const Pin* pin = Pins().Find(name);
    if (pin == nullptr) return NB_OK;
    HostFileInfo info;
    const NbResult code = NbHost().Inspect(name, &info);
    if (code != NB_OK) return code;
    if (info.Link != pin->ThroughLink || (!info.Link && !(info.Id == pin->Id))) return NotThePinnedFile(name);
    return NB_OK;
}

}  // namespace

NbResult NbFileRename(const char* existingName, const char* newName) {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbFileRename\n");
    NbResult code = CheckPinnedName(existingName);
    if (code == NB_OK) code = NbHost().Rename(existingName, newName);
    if (code == NB_OK) MovePin(existingName, newName);
    NB_RETURN("NbFileRename", code);
}

NbResult NbFileReplace(const char* existingName, const char* newName) {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbFileReplace\n");
    NbResult code = CheckPinnedName(existingName);
    if (code == NB_OK) code = NbHost().Replace(existingName, newName);
    if (code == NB_OK) MovePin(existingName, newName);
    NB_RETURN("NbFileReplace", code);
}

NbResult NbFileResolveLink(const char* fileName, char* out, std::uint32_t size) {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbFileResolveLink\n");
    if (fileName == nullptr || out == nullptr) NB_RETURN("NbFileResolveLink", NB_INVALID_ADDRESS);
    NB_RETURN("NbFileResolveLink", NbHost().ResolveLink(fileName, out, size));
}

NbResult NbFileDelete(const char* fileName) {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbFileDelete\n");
    const NbResult code = NbHost().Remove(fileName);
    if (code == NB_OK) Pins().Forget(fileName);
    NB_RETURN("NbFileDelete", code);
}

NbResult NbFileSyncDirectory(const char* fileName) {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ NbFileSyncDirectory\n");
    NB_RETURN("NbFileSyncDirectory", NbHost().SyncDirectory(fileName));
}

NbResult NbFileRenameDurably(const char* existingName, const char* newName, bool replace, bool* renamed) {
    NbResult code = replace ? NbFileReplace(existingName, newName) : NbFileRename(existingName, newName);
    *renamed = code == NB_OK;
    if (code == NB_OK) code = NbFileSyncDirectory(newName);
    return code;
}

NbResult NbFileWriteAtomically(const char* fileName, const std::uint8_t* bytes, std::size_t count, bool replace) {
    static const char kName[] = "NbFileWriteAtomically";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    char newName[NB_NAME_SIZE];
    NbResult code = NbFormatName(newName, sizeof newName, "%s~", fileName);
    if (code != NB_OK) NB_RETURN(kName, code);
    CNimbraFile file;
    code = file.CreateReplacing(newName);  // a leftover is a run's that died while writing it
    if (code != NB_OK) NB_RETURN(kName, code);
    constexpr std::size_t kPiece = 0x10000;
    for (std::size_t done = 0; done < count && code == NB_OK;) {
        const auto piece = static_cast<std::uint32_t>(count - done < kPiece ? count - done : kPiece);
        code = file.Write(bytes + done, piece);
        done += piece;
    }
    if (code == NB_OK) code = file.Flush();
    (void)file.Close();
    bool renamed = false;
    if (code == NB_OK) code = NbFileRenameDurably(newName, fileName, replace, &renamed);
    if (code != NB_OK && !renamed) (void)NbFileDelete(newName);
    NB_RETURN(kName, code);
}

CNimbraFile::CNimbraFile() {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", "CNimbraFile::CNimbraFile");
    object_ = nullptr;
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "--- %s\n", "CNimbraFile::CNimbraFile");
}

CNimbraFile::~CNimbraFile() {
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ CNimbraFile::~CNimbraFile\n");
    if (object_ != nullptr) (void)Close();
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "--- CNimbraFile::~CNimbraFile\n");
}

NbResult CNimbraFile::Create(const char* fileName, std::uint8_t openExisting, std::uint32_t access,
                             std::uint32_t share, std::uint32_t flags) {
    static const char kName[] = "CNimbraFile::Create";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s( 0x%p, %u, 0x%08x, 0x%08x )\n", kName, fileName,
            static_cast<unsigned>(openExisting), access, share);
    const NbResult code = NbFileObjectCreate(&object_, fileName, openExisting, access, share, flags);
    if (code != NB_OK) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "--- %s %u NbFileObjectCreate( 0x%p, 0x%p [%s], %u, 0x%08x, 0x%08x ) %u\n",
                kName, code, static_cast<void*>(&object_), fileName, fileName != nullptr ? fileName : "",
                static_cast<unsigned>(openExisting), access, share, code);
        NB_RETURN(kName, code);
    }
    NB_RETURN(kName, NB_OK);
}

NbResult CNimbraFile::CreateReplacing(const char* fileName) {
    NbResult code = Create(fileName, NB_CREATE_NEW, NB_ACCESS_WRITE, NB_SHARE_READ, 0);
    if (code == NB_FILE_EXISTS) {
        (void)NbFileDelete(fileName);
        code = Create(fileName, NB_CREATE_NEW, NB_ACCESS_WRITE, NB_SHARE_READ, 0);
    }
    return code;
}

namespace {

// The failure of a seek, in a member that seeks: the detail line, then the
// member's exit line.
[[nodiscard]] NbResult SeekFailed(const char* kName, NbFileObject* object, std::uint64_t offset, NbResult code) {
    NbTrace(NB_TRACE_ERROR, NbTraceContext, "--- %s %u NbFileObjectSeek( 0x%p, %I64u ) %u\n", kName, code,
            static_cast<void*>(object), offset, code);
    NB_RETURN(kName, code);
}

}  // namespace

NbResult CNimbraFile::SeekRead(std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* countRead) {
    static const char kName[] = "CNimbraFile::SeekRead";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s( %I64u, 0x%p, %u )\n", kName, offset, buffer, count);
    // One positioned call: no position to set first, none left behind. It
    // stands for the seek and the read, and is traced as they would be: a
    // record that is no file object fails the seek, anything else the read.
    if (const NbResult bad = Validate(object_)) return SeekFailed(kName, object_, offset, bad);
    const NbResult code = NbFileObjectReadAt(object_, offset, buffer, count, countRead);
    if (code != NB_OK) {
        if (buffer != nullptr) NbTraceExit("NbFileObjectRead", __LINE__, code);
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "--- %s %u NbFileObjectRead( 0x%p, 0x%p, %u ) %u\n", kName, code,
                static_cast<void*>(object_), buffer, count, code);
        NB_RETURN(kName, code);
    }
    NB_RETURN(kName, NB_OK);
}

NbResult CNimbraFile::SeekWrite(std::uint64_t offset, const void* buffer, std::uint32_t count) {
    static const char kName[] = "CNimbraFile::SeekWrite";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s( %I64u, 0x%p, %u )\n", kName, offset, buffer, count);
    if (const NbResult bad = Validate(object_)) return SeekFailed(kName, object_, offset, bad);
    const NbResult code = NbFileObjectWriteAt(object_, offset, buffer, count);
    if (code != NB_OK) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "--- %s %u NbFileObjectWrite( 0x%p, 0x%p, %u ) %u\n", kName, code,
                static_cast<void*>(object_), buffer, count, code);
        NB_RETURN(kName, code);
    }
    NB_RETURN(kName, NB_OK);
}

NbResult CNimbraFile::Query(std::uint64_t* size) {
    static const char kName[] = "CNimbraFile::Query";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s( 0x%p )\n", kName, static_cast<void*>(size));
    const NbResult code = NbFileObjectQuery(object_, size);
    if (code != NB_OK) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "--- %s %u NbFileObjectQuery( 0x%p, 0x%p ) %u\n", kName, code,
                static_cast<void*>(object_), static_cast<void*>(size), code);
        NB_RETURN(kName, code);
    }
    NB_RETURN(kName, NB_OK);
}

NbResult CNimbraFile::Close() {
    static const char kName[] = "CNimbraFile::Close";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ CNimbraFile::Close\n");
    NbFileObject* object = object_;
    const NbResult code = NbFileObjectDestroy(object);
    object_ = nullptr;
    if (code != NB_OK) {
        NbTrace(NB_TRACE_WARNING, NbTraceContext, "%s NbFileObjectDestroy( 0x%p ) %u\n", kName,
                static_cast<void*>(object), code);
        NB_RETURN(kName, code);
    }
    NB_RETURN(kName, NB_OK);
}

NbResult CNimbraFile::Read(void* buffer, std::uint32_t count) {
    static const char kName[] = "CNimbraFile::Read";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s( 0x%p, %u )\n", kName, buffer, count);
    const NbResult code = NbFileObjectRead(object_, buffer, count, nullptr);
    if (code != NB_OK) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "--- %s %u NbFileObjectRead( 0x%p, 0x%p, %u ) %u\n", kName, code,
                static_cast<void*>(object_), buffer, count, code);
        NB_RETURN(kName, code);
    }
    NB_RETURN(kName, NB_OK);
}

NbResult CNimbraFile::Write(const void* buffer, std::uint32_t count) {
    static const char kName[] = "CNimbraFile::Write";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s( 0x%p, %u )\n", kName, buffer, count);
    const NbResult code = NbFileObjectWrite(object_, buffer, count);
    if (code != NB_OK) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "--- %s %u NbFileObjectWrite( 0x%p, 0x%p, %u ) %u\n", kName, code,
                static_cast<void*>(object_), buffer, count, code);
        NB_RETURN(kName, code);
    }
    NB_RETURN(kName, NB_OK);
}

NbResult CNimbraFile::Seek(std::uint64_t offset) {
    static const char kName[] = "CNimbraFile::Seek";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s( %I64u )\n", kName, offset);
    const NbResult code = NbFileObjectSeek(object_, offset);
    if (code != NB_OK) return SeekFailed(kName, object_, offset, code);
    NB_RETURN(kName, NB_OK);
}

NbResult CNimbraFile::Flush() {
    static const char kName[] = "CNimbraFile::Flush";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    const NbResult code = NbFileObjectFlush(object_);
    if (code != NB_OK) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "--- %s %u NbFileObjectFlush( 0x%p ) %u\n", kName, code,
                static_cast<void*>(object_), code);
        NB_RETURN(kName, code);
    }
    NB_RETURN(kName, NB_OK);
}

void CNimbraFile::StartWriteback(std::uint64_t offset, std::uint64_t length) {
    if (Validate(object_) == NB_OK) NbHost().StartWriteback(object_->Handle, offset, length);
}

NbResult CNimbraFile::Truncate(std::uint64_t length) {
    static const char kName[] = "CNimbraFile::Truncate";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s( %I64u )\n", kName, length);
    const NbResult code = NbFileObjectTruncate(object_, length);
    if (code != NB_OK) {
        NbTrace(NB_TRACE_ERROR, NbTraceContext, "--- %s %u NbFileObjectTruncate( 0x%p, %I64u ) %u\n", kName, code,
                static_cast<void*>(object_), length, code);
        NB_RETURN(kName, code);
    }
    NB_RETURN(kName, NB_OK);
}

NbResult CNimbraFile::Identity(HostFileId* id) {
    static const char kName[] = "CNimbraFile::Identity";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    NbResult code = Validate(object_);
    if (code == NB_OK) code = NbHost().Identity(object_->Handle, id);
    NB_RETURN(kName, code);
}

NbResult CNimbraFile::CreateLocked(const char* fileName) {
    static const char kName[] = "CNimbraFile::CreateLocked";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s( 0x%p )\n", kName, fileName);
    NB_RETURN(kName, NbFileObjectCreateLocked(&object_, fileName));
}

NbResult CNimbraFile::TakeOwnershipOf(CNimbraFile& original) {
    static const char kName[] = "CNimbraFile::TakeOwnershipOf";
    NbTrace(NB_TRACE_FLOW, NbTraceContext, "+++ %s\n", kName);
    NbResult code = Validate(object_);
    if (code == NB_OK) code = Validate(original.object_);
    if (code == NB_OK) code = NbHost().CopyOwnership(original.object_->Handle, object_->Handle);
    NB_RETURN(kName, code);
}

NbResult NbCopyFileChunks(CNimbraFile& source, std::uint64_t from, CNimbraFile& target, std::uint64_t to,
                          std::uint64_t length, const CNimbraBuffer& buffer, bool counted) {
    if (length == 0) return NB_OK;
    if (buffer.Data == nullptr || buffer.Size == 0) NB_RETURN("NbCopyFileChunks", NB_INVALID_ADDRESS);
    // The file first, then its copy, each traced as the file objects trace.
    NbResult code = source.Seek(from);
    if (code == NB_OK) code = target.Seek(to);
    while (code == NB_OK && length > 0) {
        const auto chunk = static_cast<std::uint32_t>(length < buffer.Size ? length : buffer.Size);
        code = source.Read(buffer.Data, chunk);
        if (code == NB_OK) code = target.Write(buffer.Data, chunk);
        if (code != NB_OK) break;
        if (!counted) NbProgressAdvance(chunk);
        target.StartWriteback(to, chunk);
        to += chunk;
        length -= chunk;
    }
    return code;
}

NbResult NbCopyFileRange(CNimbraFile& source, std::uint64_t from, CNimbraFile& target, std::uint64_t to,
                         std::uint64_t length, const CNimbraBuffer& buffer) {
    static const char kName[] = "NbCopyFileRange";
    if (length == 0) return NB_OK;
    NbResult code = Validate(source.Object());
    if (code == NB_OK) code = Validate(target.Object());
    if (code != NB_OK) NB_RETURN(kName, code);
    if (buffer.Data == nullptr || buffer.Size == 0) NB_RETURN(kName, NB_INVALID_ADDRESS);
    Host& host = NbHost();
    while (length > 0) {
        const auto chunk = static_cast<std::uint32_t>(length < buffer.Size ? length : buffer.Size);
        std::uint32_t done = 0;
        code = host.CopyRange(source.Object()->Handle, from, target.Object()->Handle, to, chunk, &done);
        // Whatever the system cannot copy (no such call, another file
        // system, a source that ends early, a full disk) goes on through
        // reads and writes, which then fail, if they must, as they trace.
        if (code != NB_OK || done != chunk) return NbCopyFileChunks(source, from, target, to, length, buffer);
        NbProgressAdvance(done);
        target.StartWriteback(to, done);
        from += done;
        to += done;
        length -= done;
    }
    return NB_OK;
}

NbResult NbShareFileRange(CNimbraFile& source, std::uint64_t from, CNimbraFile& target, std::uint64_t to,
                          std::uint64_t length) {
    if (length == 0) return NB_OK;
    NbResult code = Validate(source.Object());
    if (code == NB_OK) code = Validate(target.Object());
    if (code == NB_OK) code = NbHost().ShareRange(source.Object()->Handle, from, target.Object()->Handle, to, length);
    return code;
}
