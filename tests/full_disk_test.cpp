// A disk that fills up during a conversion: whenever it happens, every image
// file ends exactly as it was or exactly converted, never cut short; a whole
// map backup that cannot be copied back is renamed back, which needs no
// space; and a plain rerun, once there is room, converts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/host.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"
#include "tools/image_maker.h"

namespace {

constexpr NbResult kDiskFull = 112;

// The real host on a disk that is full from the fullAt-th call that writes
// bytes on: WriteAt, CopyRange, and a Truncate that extends (a file system
// that does not keep holes allocates the new length). Such a call still does all it can without new space, as a file system that does
// not copy on write does: it overwrites the bytes the file already holds,
// and stops with 112 at the first byte that would need space (beyond the
// end, or in a hole an earlier write left). The fullAt-th call itself finds
// room for half of the new bytes it brings. 0: the disk never fills.
// (FaultHost fails one kind of call; a full disk is several, and fails only
// the part of a call that needs space.)
class FullDiskHost : public ForwardingHost {
public:
    explicit FullDiskHost(std::uint64_t fullAt) : ForwardingHost(NbSystemHost()), fullAt_(fullAt) {}
    std::uint64_t Writes() const { return writes_; }  // calls that write bytes, so far
    bool Refused() const { return refused_; }         // some call found no room

    NbResult Open(const char* name, bool openExisting, std::uint32_t access, std::uint32_t share, std::uint32_t flags,
                  HostHandle* out) override {
        const NbResult code = next_.Open(name, openExisting, access, share, flags, out);
        if (code == NB_OK && !openExisting) holes_.erase(Key(*out));  // a new file, whatever number it reuses
        return code;
    }
    NbResult WriteAt(HostHandle h, std::uint64_t offset, const void* buffer, std::uint32_t count,
                     std::uint32_t* done) override {
        return Put(h, offset, count, done, [&](std::uint32_t n, std::uint32_t* moved) {
            return next_.WriteAt(h, offset, buffer, n, moved);
        });
    }
    NbResult CopyRange(HostHandle from, std::uint64_t fromOffset, HostHandle to, std::uint64_t toOffset,
                       std::uint32_t count, std::uint32_t* done) override {
        const NbResult code = Put(to, toOffset, count, done, [&](std::uint32_t n, std::uint32_t* moved) {
            return next_.CopyRange(from, fromOffset, to, toOffset, n, moved);
        });
        if (code == NB_NOT_SUPPORTED) --writes_;  // nothing written: the caller reads and writes instead
        return code;
    }
    NbResult Truncate(HostHandle h, std::uint64_t length) override {
        std::uint64_t size = 0;
        NbResult code = next_.Size(h, &size);
        if (code != NB_OK) return code;
        if (length > size && Full()) return refused_ = true, kDiskFull;
        code = next_.Truncate(h, length);
        if (code != NB_OK) return code;
        Extents& holes = holes_[Key(h)];
        if (length > size) holes[size] = length;
        else Cut(holes, length, UINT64_MAX);
        return NB_OK;
    }

private:
    using Extents = std::map<std::uint64_t, std::uint64_t>;  // start -> end

    using FileKey = std::pair<std::uint64_t, std::uint64_t>;
    FileKey Key(HostHandle h) {
        HostFileId id;
        if (next_.Identity(h, &id) != NB_OK) id = {~std::uint64_t {0}, ~std::uint64_t {0}};
        return {id.Volume, id.Index};
    }
    // Counts a call that writes bytes; whether the disk is full for it.
    bool Full() {
        ++writes_;
        return fullAt_ != 0 && writes_ >= fullAt_;
    }
    static void Cut(Extents& extents, std::uint64_t from, std::uint64_t to) {
        Extents kept;
        for (const auto& [start, end] : extents) {
            if (start < from) kept[start] = std::min(end, from);
            if (end > to) kept[std::max(start, to)] = end;
        }
        extents = std::move(kept);
    }

    // Writes count bytes at offset through call, as far as the disk has room.
    template <class Call>
    [[nodiscard]] NbResult Put(HostHandle h, std::uint64_t offset, std::uint32_t count, std::uint32_t* done, Call call) {
        *done = 0;
        std::uint64_t size = 0;
        NbResult code = next_.Size(h, &size);
        if (code != NB_OK) return code;
        Extents& holes = holes_[Key(h)];
        const std::uint64_t end = offset + count;
        std::uint32_t fits = count;
        if (Full()) {
            // The bytes needing space, in order: holes inside, then the tail.
            Extents needed;
            for (const auto& [start, stop] : holes)
                if (start < end && stop > offset) needed[std::max(start, offset)] = std::min(stop, end);
            if (end > size) needed[std::max(size, offset)] = end;
            std::uint64_t total = 0;
            for (const auto& [start, stop] : needed) total += stop - start;
            std::uint64_t room = writes_ == fullAt_ ? total / 2 : 0;
            for (const auto& [start, stop] : needed) {
                if (stop - start <= room) {
                    room -= stop - start;
                    continue;
                }
                fits = static_cast<std::uint32_t>(start + room - offset);
                break;
            }
        }
        if (fits > 0) code = call(fits, done);
        if (*done > 0) {
            if (offset > size) holes[size] = offset;
            Cut(holes, offset, offset + *done);
        }
        if (code == NB_OK && fits < count) code = (refused_ = true, kDiskFull);
        return code;
    }

    std::uint64_t fullAt_;
    std::uint64_t writes_ = 0;
    bool refused_ = false;
    std::map<FileKey, Extents> holes_;
};

// Which file a name stands for now.
HostFileId IdentityOf(const std::string& name) {
    Host& host = NbSystemHost();
    HostHandle h = kInvalidHostHandle;
    HostFileId id;
    if (host.Open(name.c_str(), true, 1, 3, 0, &h) != NB_OK) return id;
    (void)host.Identity(h, &id);  // a failure leaves the zero identity, which no file has
    (void)host.Close(h);
    return id;
}

// Every image file is exactly the original or exactly the clean conversion's,
// by content and length; after a failure every one is the original.
std::string CheckImage(const std::vector<std::string>& files, const std::map<std::string, Bytes>& originals,
                       const std::map<std::string, Bytes>& converted, bool finished) {
    for (const std::string& f : files) {
        const std::string name = std::filesystem::path(f).filename().string();
        if (!Exists(f)) return name + " is missing";
        const Bytes now = ReadBytes(f);
        if (now == originals.at(name)) continue;
        if (now != converted.at(name)) {
            return name + " is neither the original nor converted (" + std::to_string(now.size()) + " bytes of " +
                   std::to_string(originals.at(name).size()) + ")";
        }
        if (!finished) return name + " is converted after a failed run";
    }
    return "";
}

struct DiskImage {
    std::string Name;
    ImageRecipe Recipe;
    bool WholeMapBackup;  // the relocation or the rebuild moves the whole map to its backup name
};
void PrintTo(const DiskImage& image, std::ostream* out) { *out << image.Name; }

const DiskImage kDiskImages[] = {{"Layout2", ReliabilityRecipe(2, 0, 1, 34), true},
                                 {"Layout3Plain", ReliabilityRecipe(3, 0, 1, 34), true},
                                 {"Layout3Extended", ReliabilityRecipe(3, 1, 2, 34), true},
                                 {"Layout4Plain", ReliabilityRecipe(4, 0, 1, 99), true},
                                 {"Layout4Extended", ReliabilityRecipe(4, 1, 2, 34), false}};

// An image in a memory folder and its clean conversion.
class FullDisk : public testing::TestWithParam<DiskImage> {
protected:
    void SetUp() override {
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        originals = Snapshot(dir.Path());
        FullDiskHost counter(0);
        const RunResult clean = (ScopedHost(counter), RunConverterInProcess(args));
        cleanLines = Lines(clean.Out);
        ASSERT_EQ(cleanLines.back(), "main: Finished successfully!") << clean.Out;
        writes = counter.Writes();
        converted = Snapshot(dir.Path());
    }

    MemoryTempDirs memory;
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(GetParam().Recipe, dir);
    const std::vector<std::string> files = ImageFiles(recipe), args = ConverterArgs(recipe);
    std::map<std::string, Bytes> originals, converted;
    std::vector<std::string> cleanLines;
    std::uint64_t writes = 0;
};

TEST_P(FullDisk, WhereverTheDiskFillsNoFileIsLeftCutShortAndTheRerunConverts) {
    // Every write of the clean run in turn, or an even spread of some 150 of
    // them: the sweep stays short however many writes a conversion makes.
    const std::uint64_t stride = std::max<std::uint64_t>(1, writes / 150);
    std::size_t runs = 0, renamed = 0;
    for (std::uint64_t n = 1; n <= writes; n += stride) {
        SCOPED_TRACE("disk full from write " + std::to_string(n) + " of " + std::to_string(writes));
        PutBack(dir.Path(), originals);
        const HostFileId mapId = IdentityOf(files[0]);
        FullDiskHost host(n);
        const RunResult run = (ScopedHost(host), RunConverterInProcess(args));
        ++runs;
        const std::vector<std::string> lines = Lines(run.Out);
        const bool finished = !lines.empty() && lines.back() == "main: Finished successfully!";
        // A backup of the map or data file that cannot be made ends the run
        // with its code; everything after it ends with 0.
        const bool backupFailed = run.Out.find("Could not create backup file") != std::string::npos;
        EXPECT_TRUE(run.ExitCode == 0 || (backupFailed && run.ExitCode == kDiskFull)) << run.Out;
        EXPECT_EQ(run.Out.find("revertion failed"), std::string::npos) << run.Out;
        EXPECT_FALSE(Exists(files[0] + ".jnl")) << "the journal stayed\n" << run.Out;
        const std::string problem = CheckImage(files, originals, converted, finished);
        EXPECT_EQ(problem, "") << run.Out;
        // A map back from its renamed backup is the very file it was.
        if (!Exists(files[0] + ".backup")) {
            ++renamed;
            EXPECT_TRUE(IdentityOf(files[0]) == mapId) << "the map's backup is gone, and the map is another file";
            EXPECT_NE(run.Out.find("main: File [" + files[0] + "] reverted successfully"), std::string::npos) << run.Out;
        }

        // Once there is room, a plain rerun converts as a first run would.
        const RunResult rerun = RunConverterInProcess(args);
        const std::vector<std::string> again = Lines(rerun.Out);
        EXPECT_EQ(rerun.ExitCode, 0) << rerun.Out;
        EXPECT_TRUE(again == cleanLines || (finished && again.size() == 2 && again.back() == "No conversion is needed"))
            << rerun.Out;
        EXPECT_EQ(Snapshot(dir.Path()), converted) << "the rerun did not end in the clean conversion's image";
        if (HasFailure()) return;
    }
    if (GetParam().WholeMapBackup) {
        EXPECT_GT(renamed, 0u) << "no run put a whole map back by renaming it";
    } else {
        EXPECT_EQ(renamed, 0u);
    }
    std::printf("[ full     ] %s: %llu writes, %zu runs, %zu maps renamed back\n", GetParam().Name.c_str(),
                static_cast<unsigned long long>(writes), runs, renamed);
}

INSTANTIATE_TEST_SUITE_P(Images, FullDisk, testing::ValuesIn(kDiskImages), testing::PrintToStringParamName());

// A real file system of a few megabytes, filled to leave less and less room:
// the converter as a process, on the real host.
class MountedTmpfs {
public:
    explicit MountedTmpfs(const std::string& path) : path_(path) {
        const RunResult r = RunProgram("/bin/mount", {"-t", "tmpfs", "-o", "size=4m", "nbfull", path});
        mounted_ = r.ExitCode == 0;
        why_ = r.Out + r.Err;
    }
    ~MountedTmpfs() {
        if (mounted_) RunProgram("/bin/umount", {path_});
    }
    MountedTmpfs(const MountedTmpfs&) = delete;
    MountedTmpfs& operator=(const MountedTmpfs&) = delete;
    bool Mounted() const { return mounted_; }
    const std::string& Why() const { return why_; }

private:
    std::string path_;
    bool mounted_ = false;
    std::string why_;
};

// Takes all but room bytes of the free space, in a folder of its own.
void Fill(const std::filesystem::path& disk, std::uint64_t room) {
    const std::filesystem::path folder = disk / "filler";
    std::filesystem::create_directory(folder);
    const std::uint64_t free = std::filesystem::space(disk).available;
    std::ofstream out(folder / "f", std::ios::binary);
    const std::vector<char> chunk(65536, 'x');
    for (std::uint64_t left = free > room ? free - room : 0; left > 0 && out;) {
        const std::uint64_t n = std::min<std::uint64_t>(left, chunk.size());
        out.write(chunk.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
}

TEST(FullTmpfs, AConversionThatRunsOutOfRoomLeavesTheImageAsItWas) {
    if (const char* why = OwnershipSkipReason()) GTEST_SKIP() << "mounting a file system needs root: " << why;
    TempDir dir;
    const std::filesystem::path disk = dir.Path() / "disk";
    std::filesystem::create_directory(disk);
    const MountedTmpfs mount(disk.string());
    if (!mount.Mounted()) GTEST_SKIP() << "no tmpfs could be mounted here: " << mount.Why();

    for (const std::uint32_t layout : {4u, 2u}) {
        SCOPED_TRACE("layout " + std::to_string(layout));
        for (const auto& entry : std::filesystem::directory_iterator(disk)) std::filesystem::remove_all(entry.path());
        ImageRecipe recipe = ReliabilityRecipe(layout, 0, 1, 99);
        recipe.MapBase = recipe.DataBase = (disk / "img").string();
        recipe.MetadataBases = {(disk / "img").string()};
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        const std::vector<std::string> files = ImageFiles(recipe), args = ConverterArgs(recipe);
        const auto originals = Snapshot(disk);
        const RunResult clean = RunConverter(args);
        ASSERT_EQ(Lines(clean.Out).back(), "main: Finished successfully!") << clean.Out;
        const auto converted = Snapshot(disk);

        std::size_t failed = 0, renamed = 0;
        bool finished = false;
        for (std::uint64_t room = 0; !finished; room += 24576) {
            SCOPED_TRACE(std::to_string(room) + " bytes free");
            ASSERT_LT(room, 4u << 20) << "the conversion never found room";
            std::filesystem::remove_all(disk / "filler");
            PutBack(disk, originals);
            const HostFileId mapId = IdentityOf(files[0]);
            Fill(disk, room);
            const RunResult run = RunConverter(args);
            const std::vector<std::string> lines = Lines(run.Out);
            finished = !lines.empty() && lines.back() == "main: Finished successfully!";
            failed += !finished;
            EXPECT_EQ(run.Out.find("revertion failed"), std::string::npos) << run.Out;
            EXPECT_EQ(CheckImage(files, originals, converted, finished), "") << run.Out;
            if (!Exists(files[0] + ".backup")) {
                ++renamed;
                EXPECT_TRUE(IdentityOf(files[0]) == mapId) << "the map's backup is gone, and the map is another file";
            }
            std::filesystem::remove_all(disk / "filler");
            const RunResult rerun = RunConverter(args);
            EXPECT_EQ(Snapshot(disk), converted) << "the rerun did not convert\n" << rerun.Out;
            if (HasFailure()) return;
        }
        EXPECT_GT(failed, 0u);
        EXPECT_GT(renamed, 0u) << "the disk never filled while the map was rebuilt";
        std::printf("[ tmpfs    ] layout %u: %zu runs out of room, %zu maps renamed back\n", layout, failed, renamed);
    }
}

}  // namespace
