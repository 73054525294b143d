// The conversion table once more on XFS and on btrfs, file systems that can
// share extents: every byte must come out as anywhere else, and a layout 4
// plain map's long groups of retained pages must share the storage of its
// backup (the old map) instead of taking room of their own. Layouts 2 and 3
// move the pages by 4,064 bytes, which no file system can share: their bytes
// alone are checked.
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include "tests/support/conversion_rows.h"
#include "tests/support/loop_fs_posix.h"
#include "tests/support/test_platform.h"
#include "version6/records.h"
#include "version6/version6.h"

namespace {

// One mount of each kind per test program, gone when the program ends.
const LoopFileSystem& Mounted(const std::string& type) {
    static std::map<std::string, std::unique_ptr<LoopFileSystem>> mounts;
    std::unique_ptr<LoopFileSystem>& mount = mounts[type];
    if (!mount) mount = std::make_unique<LoopFileSystem>(type);
    return *mount;
}

// New temporary folders (TempDir) under a folder for the life of the object.
struct TempDirsUnder {
    explicit TempDirsUnder(const std::filesystem::path& folder) {
        if (const char* old = std::getenv("TMPDIR")) Saved = old;
        ::setenv("TMPDIR", folder.c_str(), 1);
    }
    ~TempDirsUnder() { RestoreTempDirectories(Saved); }
    std::optional<std::string> Saved;
};

// How the bytes [offset, offset + length) of a file lie: in extents shared
// with another file, in extents of its own, or in no extent (a hole).
struct Sharing {
    bool Read = false;
    std::uint64_t Shared = 0, Own = 0;
};
Sharing SharingOf(const std::string& name, std::uint64_t offset, std::uint64_t length) {
    Sharing sharing;
    const int fd = ::open(name.c_str(), O_RDONLY);
    if (fd < 0) return sharing;
    constexpr std::uint32_t kExtents = 256;
    std::vector<std::uint8_t> buffer(sizeof(fiemap) + kExtents * sizeof(fiemap_extent));
    auto* map = reinterpret_cast<fiemap*>(buffer.data());
    const std::uint64_t end = offset + length;
    for (std::uint64_t at = offset; at < end;) {
        *map = fiemap {};
        map->fm_start = at;
        map->fm_length = end - at;
        map->fm_flags = FIEMAP_FLAG_SYNC;
        map->fm_extent_count = kExtents;
        if (::ioctl(fd, FS_IOC_FIEMAP, map) != 0) {
            ::close(fd);
            return sharing;
        }
        bool last = map->fm_mapped_extents == 0;
        for (std::uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
            const fiemap_extent& e = map->fm_extents[i];
            const std::uint64_t from = std::max<std::uint64_t>(e.fe_logical, at);
            const std::uint64_t to = std::min<std::uint64_t>(e.fe_logical + e.fe_length, end);
            if (to > from) (e.fe_flags & FIEMAP_EXTENT_SHARED ? sharing.Shared : sharing.Own) += to - from;
            last = last || (e.fe_flags & FIEMAP_EXTENT_LAST) != 0;
            at = e.fe_logical + e.fe_length;
        }
        if (last) break;
    }
    ::close(fd);
    sharing.Read = true;
    return sharing;
}

// The bytes the converter shares: the retained pages that lie in groups of
// enough neighbours, however many of its runs a group spans; shorter groups
// cost less written than shared.
std::uint64_t SharedBytes(const ImageRecipe& recipe) {
    const std::uint32_t pages = MapPageCount(recipe);
    std::uint64_t shared = 0, group = 0;
    for (std::uint32_t i = 0; i <= pages; ++i) {
        if (i < pages && !MapPageDropped(recipe, i)) {
            ++group;
            continue;
        }
        if (group >= NB_SHARE_FEWEST_PAGES) shared += group * NB_MAP_PAGE;
        group = 0;
    }
    return shared;
}

class SharedExtents : public ::testing::TestWithParam<std::tuple<const char*, ConversionRow>> {};

TEST_P(SharedExtents, EveryByteAsElsewhereAndALayout4PlainMapSharesItsKeptPagesWithTheBackup) {
    const auto& [type, row] = GetParam();
    const LoopFileSystem& mount = Mounted(type);
    if (!mount.SkipReason().empty()) GTEST_SKIP() << mount.SkipReason();
    const TempDirsUnder onTheMount(mount.MountPoint());
    const TempDir dir;
    const ImageRecipe recipe = MakeRecipe(row, dir);
    ExpectEveryVersion6RecordAndAnIdleSecondRun(recipe, dir);
    if (HasFatalFailure() || recipe.Layout != 4 || recipe.MapType != 0) return;

    std::uint64_t kept = 0;
    for (std::uint32_t i = 0; i < MapPageCount(recipe); ++i) kept += MapPageDropped(recipe, i) ? 0 : 1;
    const std::uint64_t bytes = kept * NB_MAP_PAGE;
    const Sharing pages = SharingOf(MapFileName(recipe), recipe.MapDataOffset, bytes);
    ASSERT_TRUE(pages.Read) << "FIEMAP refused on " << MapFileName(recipe);
    EXPECT_EQ(pages.Shared + pages.Own, bytes) << "the retained pages are not all in extents";
    EXPECT_EQ(pages.Shared, SharedBytes(recipe))
        << "of the " << bytes << " bytes of the " << kept << " retained pages, " << pages.Shared
        << " share the backup's extents, " << pages.Own << " were written anew";
}

INSTANTIATE_TEST_SUITE_P(
    OnXfsAndBtrfs, SharedExtents, ::testing::Combine(::testing::Values("xfs", "btrfs"), ::testing::ValuesIn(ConversionRows())),
    [](const auto& info) { return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).Name; });

}  // namespace
