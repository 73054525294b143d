// A file system of its own for a test: a sparse file made into an XFS or a
// btrfs by its mkfs and mounted through a loop device under a new temporary
// folder; unmounted and removed, file and folder, with the object.
#pragma once
#include <filesystem>
#include <string>

class LoopFileSystem {
public:
    explicit LoopFileSystem(const std::string& type);  // "xfs" or "btrfs"
    ~LoopFileSystem();
    LoopFileSystem(const LoopFileSystem&) = delete;
    LoopFileSystem& operator=(const LoopFileSystem&) = delete;
    // Why there is no mount (not root, no mkfs, no loop device...), or "".
    const std::string& SkipReason() const { return skip_; }
    const std::filesystem::path& MountPoint() const { return mount_; }

private:
    std::filesystem::path folder_, mount_;
    std::string skip_;
    long owner_;  // the process that made it
    bool mounted_ = false;
};
