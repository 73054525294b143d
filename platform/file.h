// File objects: every file the system touches is opened, positioned, read,
// written, measured and closed through these, plain files and storage devices
// alike (a device's size is its capacity).
#pragma once
#include <cstdint>

#include "platform/buffer.h"
#include "platform/host.h"
#include "platform/result.h"

inline constexpr std::uint32_t NB_FILE_OBJECT_MAGIC = 0x2A46624E;  // "NbF*" in memory

// One per open file, at the start of a page of its own that also holds the
// object's private state (its file position; the name of a file it created);
// validated on every call.
struct NbFileObject {
    std::uint32_t Magic;
    std::uint32_t Size;
    HostHandle Handle;
    HostHandle AuxiliaryHandle;  // closed first by destroy when set; nothing sets it
    std::uint8_t DeviceFlag;     // the handle answered the capacity query at open
};
// The value a valid record's Size field holds: the record's size on this
// target, pinned where the pointer size fixes it, so a change of the record
// (or a record from other code) is caught at build time as well as at run time.
inline constexpr std::uint32_t NB_FILE_OBJECT_SIZE = sizeof(NbFileObject);
static_assert(sizeof(void*) != 8 || NB_FILE_OBJECT_SIZE == 32, "64-bit targets check the record's size field against 32");
static_assert(sizeof(void*) != 4 || NB_FILE_OBJECT_SIZE == 20, "32-bit targets check the record's size field against 20");

// Access and share are 2-bit masks: bit 0 read, bit 1 write.
inline constexpr std::uint32_t NB_ACCESS_READ = 1;
inline constexpr std::uint32_t NB_ACCESS_WRITE = 2;
inline constexpr std::uint32_t NB_ACCESS_READ_WRITE = 3;
inline constexpr std::uint32_t NB_SHARE_READ = 1;
inline constexpr std::uint32_t NB_SHARE_READ_WRITE = 3;
inline constexpr std::uint8_t NB_OPEN_EXISTING = 1;
inline constexpr std::uint8_t NB_CREATE_NEW = 0;

[[nodiscard]] NbResult NbFileObjectCreate(NbFileObject** object, const char* fileName, std::uint8_t openExisting,
                            std::uint32_t access, std::uint32_t share, std::uint32_t flags);
// Opens an existing file only to hold an exclusive lock on it while the
// object lives: 32 when another holder has one.
[[nodiscard]] NbResult NbFileObjectCreateLocked(NbFileObject** object, const char* fileName);
// The object keeps the file's position, which starts at 0: a seek only sets
// it (131 past the largest position a file may have), and Read and Write
// move it on by what they moved.
[[nodiscard]] NbResult NbFileObjectSeek(NbFileObject* object, std::uint64_t offset);
[[nodiscard]] NbResult NbFileObjectRead(NbFileObject* object, void* buffer, std::uint32_t count, std::uint32_t* countRead);
[[nodiscard]] NbResult NbFileObjectWrite(NbFileObject* object, const void* buffer, std::uint32_t count);
// Positioned: the object's position is neither used nor changed.
[[nodiscard]] NbResult NbFileObjectReadAt(NbFileObject* object, std::uint64_t offset, void* buffer, std::uint32_t count,
                            std::uint32_t* countRead);
[[nodiscard]] NbResult NbFileObjectWriteAt(NbFileObject* object, std::uint64_t offset, const void* buffer, std::uint32_t count);
[[nodiscard]] NbResult NbFileObjectQuery(NbFileObject* object, std::uint64_t* size);
// Makes the file's data durable; the first flush that succeeds on a file
// the object created also makes its name durable (NbFileSyncDirectory).
[[nodiscard]] NbResult NbFileObjectFlush(NbFileObject* object);
[[nodiscard]] NbResult NbFileObjectTruncate(NbFileObject* object, std::uint64_t length);
[[nodiscard]] NbResult NbFileObjectDestroy(NbFileObject* object);

// Fails when a file of the new name exists.
[[nodiscard]] NbResult NbFileRename(const char* existingName, const char* newName);
// Renames over a file of the new name in one step.
[[nodiscard]] NbResult NbFileReplace(const char* existingName, const char* newName);
// The name of the file a symbolic link finally stands for, or the name itself.
[[nodiscard]] NbResult NbFileResolveLink(const char* fileName, char* out, std::uint32_t size);
[[nodiscard]] NbResult NbFileDelete(const char* fileName);
// Makes the directory entry of a file just created or renamed durable.
[[nodiscard]] NbResult NbFileSyncDirectory(const char* fileName);
// NbFileRename (or, with replace, NbFileReplace), then NbFileSyncDirectory
// on the new name. *renamed tells whether the name moved, which the result
// alone does not: a folder that cannot be flushed leaves it moved.
[[nodiscard]] NbResult NbFileRenameDurably(const char* existingName, const char* newName, bool replace, bool* renamed);
// Writes a small file whole or not at all: the bytes go into "<name>~" (a
// leftover of that name is replaced), which is flushed and durably renamed
// to name. Fails, leaving nothing behind, when name exists, unless replace
// is set: then a file of that name is replaced in the same step.
[[nodiscard]] NbResult NbFileWriteAtomically(const char* fileName, const std::uint8_t* bytes, std::size_t count,
                                             bool replace = false);

// The files of one run, by the names the run uses. While a scope lives,
// every open of an existing file under a pinned name must lead to the file
// pinned, and through a link only when the name was one at pinning; any
// other file fails the open with 1006. A file the run creates is pinned
// under its name as it is made, and renames and deletes carry the pins.
class NbFilePinScope {
public:
    NbFilePinScope();
    ~NbFilePinScope();
    NbFilePinScope(const NbFilePinScope&) = delete;
    NbFilePinScope& operator=(const NbFilePinScope&) = delete;
};
// Pins name to the file it now names: through a link when the name is one,
// else never through one. 2 when nothing has the name; no trace line.
[[nodiscard]] NbResult NbFilePin(const char* fileName, HostFileId* id = nullptr);
// Pins name to a file identified beforehand.
void NbFilePinAs(const char* fileName, const HostFileId& id, bool throughLink);
// The file a name is pinned to, if it is.
bool NbFilePinned(const char* fileName, HostFileId* id);

class CNimbraFile : public CNimbraBase {
public:
    CNimbraFile();
    ~CNimbraFile() override;

    [[nodiscard]] virtual NbResult Create(const char* fileName, std::uint8_t openExisting, std::uint32_t access,
                            std::uint32_t share, std::uint32_t flags);
    [[nodiscard]] virtual NbResult SeekRead(std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* countRead);
    [[nodiscard]] virtual NbResult SeekWrite(std::uint64_t offset, const void* buffer, std::uint32_t count);
    [[nodiscard]] virtual NbResult Query(std::uint64_t* size);
    [[nodiscard]] virtual NbResult Close();

    [[nodiscard]] NbResult Read(void* buffer, std::uint32_t count);
    [[nodiscard]] NbResult Write(const void* buffer, std::uint32_t count);
    [[nodiscard]] NbResult Seek(std::uint64_t offset);
    // Creates a new file for writing, shared for reading; when one of that
    // name exists, deletes it (whatever that gives) and creates once more.
    [[nodiscard]] NbResult CreateReplacing(const char* fileName);
    // Writes what the file holds through to the medium (and, the first time,
    // the name of a file this object created).
    [[nodiscard]] NbResult Flush();
    // Lets the bytes just written start on their way to the medium.
    void StartWriteback(std::uint64_t offset, std::uint64_t length);
    // Cuts the file to length bytes, or extends it with zeros.
    [[nodiscard]] NbResult Truncate(std::uint64_t length);
    [[nodiscard]] NbResult Identity(HostFileId* id);
    // Opens the file only to hold an exclusive lock on it until Close.
    [[nodiscard]] NbResult CreateLocked(const char* fileName);
    // Gives this file the owner, group and permissions of another open file.
    [[nodiscard]] NbResult TakeOwnershipOf(CNimbraFile& original);

    NbFileObject* Object() const { return object_; }

private:
    NbFileObject* object_ = nullptr;
};

// Copies length bytes from offset from of source to offset to of target
// through the buffer, in pieces of at most its size: a seek of each file,
// then a read and a write per piece, each failure traced by the file object
// that met it (a source that ends early fails the read with 996). Each piece
// counts on the progress line (platform/progress.h) while one is under way,
// unless counted says its bytes were counted already.
[[nodiscard]] NbResult NbCopyFileChunks(CNimbraFile& source, std::uint64_t from, CNimbraFile& target, std::uint64_t to,
                                        std::uint64_t length, const CNimbraBuffer& buffer, bool counted = false);
// The same bytes, copied inside the system where the host can: for long
// runs, where that pays. From the first piece the system does not copy whole,
// the rest goes through NbCopyFileChunks, so a failure is traced as there.
[[nodiscard]] NbResult NbCopyFileRange(CNimbraFile& source, std::uint64_t from, CNimbraFile& target, std::uint64_t to,
                         std::uint64_t length, const CNimbraBuffer& buffer);
// Makes length bytes of target at to share the storage of source's bytes at
// from (Host::ShareRange), untraced: on any failure the caller writes the
// bytes itself, and a failure that matters fails again there, traced.
[[nodiscard]] NbResult NbShareFileRange(CNimbraFile& source, std::uint64_t from, CNimbraFile& target, std::uint64_t to,
                                        std::uint64_t length);
