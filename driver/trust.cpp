#include "driver/trust.h"

#include "platform/format.h"
#include "platform/names.h"

NbRunLock::~NbRunLock() {
    for (NbFileObject* object : objects_) (void)NbFileObjectDestroy(object);
}

NbResult NbRunLock::Take(const char* name) {
    HostFileId id;
    NbResult code = NbFilePin(name, &id);
    // A name that turned into a link while it was looked at.
    if (code == NB_NAME_NOT_RESOLVED) return NB_FILE_INVALID;
    if (code != NB_OK) return NB_OK;
    // A second handle's lock on a file already held would meet our own.
    for (const HostFileId& held : ids_)
        if (held == id) return NB_OK;
    NbFileObject* object = nullptr;
    code = NbFileObjectCreateLocked(&object, name);
    // Whatever else keeps the lock from being taken (a file system
    // without such locks) leaves the run unlocked, not stopped.
    if (code != NB_OK) return code == NB_SHARING_VIOLATION ? code : NB_OK;
    HostFileId locked;
    code = NbHost().Identity(object->Handle, &locked);
    if (code == NB_OK && !(locked == id)) code = NB_FILE_INVALID;  // swapped between the two opens
    if (code != NB_OK) {
        (void)NbFileObjectDestroy(object);
        return code;
    }
    objects_.push_back(object);
    ids_.push_back(id);
    return NB_OK;
}

NbResult NbSameImageFile(const std::string& recorded, const char* named) {
    Host& host = NbHost();
    HostFileInfo a, b;
    const NbResult ca = host.Inspect(recorded.c_str(), &a), cb = host.Inspect(named, &b);
    const auto same = [](bool yes) { return yes ? NB_OK : NB_FILE_INVALID; };
    if (ca == NB_OK && cb == NB_OK) {
        HostFileId pinned;
        if (a.Link || b.Link) return same(a.Link && b.Link && a.Id == b.Id);
        return same(a.Id == b.Id && (!NbFilePinned(named, &pinned) || pinned == a.Id));
    }
    if (ca != NB_OK && ca != NB_FILE_NOT_FOUND) return ca;
    if (cb != NB_OK && cb != NB_FILE_NOT_FOUND) return cb;
    if (ca != cb) return NB_FILE_INVALID;  // one of them is there
    const std::string fa = NbFolderOf(recorded), fb = NbFolderOf(named);
    if (NbLeafOf(recorded) != NbLeafOf(named)) return NB_FILE_INVALID;
    NbResult code = host.Inspect(fa.empty() ? "." : fa.c_str(), &a);
    if (code == NB_OK) code = host.Inspect(fb.empty() ? "." : fb.c_str(), &b);
    return code == NB_OK ? same(a.Id == b.Id) : code;
}

std::vector<std::uint64_t> NbImageOwners(const std::vector<const char*>& files) {
    std::vector<std::uint64_t> owners;
    for (const char* name : files) {
        NbFileObject* object = nullptr;
        HostFileInfo file;
        if (NbFileObjectCreate(&object, name, NB_OPEN_EXISTING, NB_ACCESS_READ, NB_SHARE_READ, 0) != NB_OK) continue;
        if (NbHost().InspectHandle(object->Handle, &file) == NB_OK) owners.push_back(file.Owner);
        (void)NbFileObjectDestroy(object);
    }
    return owners;
}

namespace {

// Whether the record (or a backup it leads to) may have been written by
// someone who could not have changed the image anyway.
bool TrustedOwner(const HostFileInfo& info, const std::vector<std::uint64_t>& imageOwners) {
    if (info.OwnerTrusted) return true;
    for (std::uint64_t owner : imageOwners)
        if (owner == info.Owner) return true;
    return false;
}

}  // namespace

std::string NbRecordNameDistrust(const char* recordName) {
    HostFileInfo found;
    const NbResult code = NbHost().Inspect(recordName, &found);
    if (code == NB_OK && found.Link) return "it is a symbolic link";
    if (code == NB_OK && !found.Regular) return "it is not a regular file";
    return "";
}

std::string NbRecordDistrust(const HostFileInfo& read, const std::vector<std::uint64_t>& owners,
                             const std::vector<std::string*>& names, const std::vector<const char*>& files) {
    if (!read.Regular) return "it is not a regular file";
    if (!TrustedOwner(read, owners)) return "it is owned by another user";
    if (read.WritableByOthers) return "users other than its owner may write it";
    if (names.size() != files.size())
        return NbText("it names %u files, and this command line %u", static_cast<unsigned>(names.size()),
                      static_cast<unsigned>(files.size()));
    for (std::size_t k = 0; k < files.size(); ++k) {
        const NbResult code = NbSameImageFile(*names[k], files[k]);
        if (code == NB_FILE_INVALID)
            return NbText("it names [%s], which is not [%s] of this command line", names[k]->c_str(), files[k]);
        if (code != NB_OK)
            return NbText("whether the [%s] it names is [%s] of this command line cannot be told (error %u)",
                          names[k]->c_str(), files[k], code);
    }
    // From here on the run works on the files it locked, by its own names.
    for (std::size_t k = 0; k < files.size(); ++k) *names[k] = files[k];
    return "";
}

std::string NbBackupsDistrust(const std::vector<const char*>& files, const std::vector<std::uint64_t>& owners) {
    for (const char* name : files) {
        char backupName[NB_NAME_SIZE];
        HostFileInfo backup;
        NbResult code = NbBackupName(name, backupName, sizeof backupName);
        if (code == NB_OK) code = NbHost().Inspect(backupName, &backup);
        if (code != NB_OK) continue;  // a missing backup is reported where it is needed, with the way back by hand
        if (backup.Link) return NbText("the backup [%s] is a symbolic link", backupName);
        if (!backup.Regular) return NbText("the backup [%s] is not a regular file", backupName);
        if (!TrustedOwner(backup, owners)) return NbText("the backup [%s] is owned by another user", backupName);
        NbFilePinAs(backupName, backup.Id, false);
    }
    return "";
}

NbResult NbMapFileName(const char* base, char* out, std::uint32_t size) {
    NbResult code = NbFormatString(out, size, "%s.nbbitmap", base);
    if (code != NB_OK) return code;
    char resolved[NB_NAME_SIZE];
    code = NbFileResolveLink(out, resolved, sizeof resolved);
    if (code == NB_OK) return NbFormatString(out, size, "%s", resolved);
    // A target that does not fit a name is refused like any other name that
    // does not: renaming the link itself would leave the map behind it.
    return code == NB_NAME_TOO_LONG ? code : NB_OK;
}
