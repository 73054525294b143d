// What a run believes of the files it finds: the image's files, locked and
// pinned before anything is read; the records (a journal, an undo record)
// and backups found beside them, acted on only when provably ours. The
// converter and nbundo judge them by the same rules.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/host.h"
#include "platform/result.h"

// Every image file is identified (and pinned, platform/file.h) and locked
// before anything is read or changed, so that each later step works on the
// files the user named or stops, and a second run (or a disk-image tool that
// locks) stops before it reads, creates or deletes anything. A file that
// cannot be opened is left to the steps that report it; a file named twice
// is locked once. Quiet: the steps that follow report failures.
class NbRunLock {
public:
    NbRunLock() = default;
    NbRunLock(const NbRunLock&) = delete;
    NbRunLock& operator=(const NbRunLock&) = delete;
    ~NbRunLock();

    // 1006 when the name turned into another file (or a link) while it was
    // looked at; 32 when another holder has the lock.
    [[nodiscard]] NbResult Take(const char* name);

private:
    std::vector<HostFileId> ids_;
    std::vector<NbFileObject*> objects_;
};

// Whether a name taken from a record stands for the command line's file:
// the same file, or, where neither exists, the same name in the same folder.
// A link is the same only as the very link the command line names. 0 when
// it does, 1006 when it does not, the code of a look that failed otherwise.
[[nodiscard]] NbResult NbSameImageFile(const std::string& recorded, const char* named);

// The owners of the image's files: whoever owns one could change it anyway.
std::vector<std::uint64_t> NbImageOwners(const std::vector<const char*>& files);

// Why a record found on disk is not acted on ("" when it may be), in words
// that follow "is not acted on: ". Asked of the name before it is read (a
// link, not a file) ...
std::string NbRecordNameDistrust(const char* recordName);
// ... and of the very file read, with the names it gives, which must be
// exactly the command line's files, in order. The names are then set to the
// command line's, by which the run locked them.
std::string NbRecordDistrust(const HostFileInfo& read, const std::vector<std::uint64_t>& owners,
                             const std::vector<std::string*>& names, const std::vector<const char*>& files);
// Every backup of these files that exists must be a regular file of a
// trusted owner; each is pinned as it is found.
std::string NbBackupsDistrust(const std::vector<const char*>& files, const std::vector<std::uint64_t>& owners);

// The map file's name from the command line's base: "<base>.nbbitmap", or,
// when that is a symbolic link, the file it finally names (the link stays,
// and what lies beside the map lies beside that file). 206 when it does not
// fit a name, the link's target included.
[[nodiscard]] NbResult NbMapFileName(const char* base, char* out, std::uint32_t size);
