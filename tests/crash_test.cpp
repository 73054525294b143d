// The process dies before each write, rename or delete of a conversion takes
// effect; the backups left beside the files must bring back every byte.
#include <gtest/gtest.h>

#include <csignal>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/driver.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_support.h"
#include "tools/image_maker.h"

namespace {

// Runs the converter in a child that dies at host call n; returns its status.
int RunUntilKilled(const std::vector<std::string>& args, std::uint64_t n) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, 1), ::dup2(quiet, 2);
        FaultHost host;
        host.Plan({n, HostCall::Count, FaultKind::Crash, 0});
        ScopedHost scoped(host);
        std::vector<char*> argv {const_cast<char*>("NimbraConvert")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        NbConvertMain(static_cast<int>(argv.size() - 1), argv.data());
        ::_exit(0);  // the planned call never came
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

class CrashSafety : public testing::TestWithParam<ReliabilityImage> {};

TEST_P(CrashSafety, AKillBeforeAnyChangeLeavesBackupsThatRestoreEveryByte) {
    MemoryTempDirs memory;
    TempDir dir;
    const ImageSpec spec = PlaceImage(GetParam().Spec, dir);
    ASSERT_TRUE(WriteImage(spec, nullptr));
    const auto originals = Snapshot(dir.Path());
    const std::vector<std::string> files = ImageFiles(spec), args = ConverterArgs(spec);

    FaultHost counter;
    ASSERT_EQ(Lines((ScopedHost(counter), RunConverterInProcess(args)).Out).back(), "main: Finished successfully!");
    std::size_t kills = 0;
    for (std::uint64_t n = 1; n <= counter.Log().size(); ++n) {
        const HostCall kind = counter.Log()[n - 1];
        if (kind != HostCall::Write && kind != HostCall::Rename && kind != HostCall::Remove) continue;
        SCOPED_TRACE("killed at host call " + std::to_string(n));
        PutBack(dir.Path(), originals);

        const int status = RunUntilKilled(args, n);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
        ++kills;
        RestoreFromBackups(files);
        for (const std::string& file : files)
            ExpectOriginal(file, originals.at(std::filesystem::path(file).filename().string()), false);
        if (HasFailure()) return;
    }
    std::printf("[ crash    ] %s: %zu kills\n", GetParam().Name.c_str(), kills);
}

INSTANTIATE_TEST_SUITE_P(Images, CrashSafety, testing::ValuesIn(ReliabilityImages()),
                         testing::PrintToStringParamName());

}  // namespace
