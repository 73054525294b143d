#include "tests/support/loop_fs_posix.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "tests/support/test_platform.h"

namespace {

// A shell command with its output dropped; true when it exits with 0. The
// paths it is given come from mkdtemp and need no quoting beyond '...'.
bool Quietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

LoopFileSystem::LoopFileSystem(const std::string& type) : owner_(::getpid()) {
    const std::string mkfs = "mkfs." + type;
    if (::geteuid() != 0) {
        skip_ = "mounting " + type + " needs root";
        return;
    }
    if (!Quietly("command -v " + mkfs)) {
        skip_ = mkfs + " is not installed (or not on PATH)";
        return;
    }
    folder_ = MakeTempDirectory();
    mount_ = folder_ / "mnt";
    const std::string image = (folder_ / "fs.img").string();
    std::filesystem::create_directory(mount_);
    std::ofstream {image};
    // XFS takes no less than 300 MiB; btrfs would take 110.
    std::filesystem::resize_file(image, (type == "xfs" ? 300u : 320u) << 20);
    if (!Quietly(mkfs + " -q -f '" + image + "'")) {
        skip_ = mkfs + " failed on " + image;
    } else if (!Quietly("mount -t " + type + " -o loop '" + image + "' '" + mount_.string() + "'")) {
        skip_ = "mount -o loop refused " + type + " (no loop device, or no such file system in this kernel?)";
    } else {
        mounted_ = true;
    }
}

LoopFileSystem::~LoopFileSystem() {
    // A forked child that ends through exit leaves its parent's mount alone.
    if (owner_ != ::getpid()) return;
    // mount -o loop marks its device to detach itself at the unmount; a lazy
    // unmount, should something still hold a file, detaches it as it ends.
    if (mounted_ && !Quietly("umount '" + mount_.string() + "'")) (void)Quietly("umount -l '" + mount_.string() + "'");
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}
