// A converter whose standard output no one reads any more, and one asked to
// stop (a hangup, Ctrl-C, kill) while it changes the image: the first still
// converts, byte for byte as a run that was read; the second finishes the
// change, says so once, and only then ends as the request asked. Before the
// change begins, a request ends the run at once with the image untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/driver.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"
#include "tools/image_maker.h"

extern char** environ;

namespace {

const std::string kNotice =
    "main: A request to stop was received; the conversion goes on until it has finished or every file is reverted";
constexpr int kRequests[] = {SIGHUP, SIGINT, SIGTERM, SIGQUIT};

// Where in a clean run the driver holds and releases requests, counted as a
// FaultPlan counts reads and writes, and the first write that changes the
// image rather than the journal.
class StageProbe : public ForwardingHost {
public:
    explicit StageProbe(std::string journal) : ForwardingHost(NbSystemHost()), journal_(std::move(journal)) {}

    NbResult Open(const char* name, bool openExisting, std::uint32_t access, std::uint32_t share,
                  std::uint32_t flags, HostHandle* out) override {
        ++opens;
        const NbResult code = next_.Open(name, openExisting, access, share, flags, out);
        if (code == NB_OK) names_[*out] = name;
        return code;
    }
    NbResult ReadAt(HostHandle h, std::uint64_t offset, void* b, std::uint32_t n, std::uint32_t* done) override {
        ++reads;
        return next_.ReadAt(h, offset, b, n, done);
    }
    NbResult WriteAt(HostHandle h, std::uint64_t offset, const void* b, std::uint32_t n, std::uint32_t* done) override {
        NoteWrite(h);
        return next_.WriteAt(h, offset, b, n, done);
    }
    void KeepRunningWhenOutputCloses() override {
        ++keepRunningCalls;
        opensAtKeepRunning = opens;
        next_.KeepRunningWhenOutputCloses();
    }
    void HoldTerminationRequests(const char* text) override {
        ++holds;
        notice = text != nullptr ? text : "";
        readsAtHold = reads, writesAtHold = writes;
        next_.HoldTerminationRequests(text);
    }
    void ReleaseTerminationRequests() override {
        ++releases;
        writesAtRelease = writes;
        next_.ReleaseTerminationRequests();
    }

    std::uint64_t opens = 0, reads = 0, writes = 0;
    int keepRunningCalls = 0, holds = 0, releases = 0;
    std::uint64_t opensAtKeepRunning = 0, readsAtHold = 0, writesAtHold = 0, writesAtRelease = 0;
    std::uint64_t firstChange = 0;  // the first write after the hold to a file that is not the journal
    std::string notice;

private:
    void NoteWrite(HostHandle h) {
        ++writes;
        if (holds > 0 && releases == 0 && firstChange == 0 && !names_[h].starts_with(journal_)) firstChange = writes;
    }
    std::string journal_;
    std::map<HostHandle, std::string> names_;
};

// The signals a shell leaves as they are for a program it starts in the
// foreground, and no core file for the quit key.
void StartAsFromAShell(int ignored) {
    const struct rlimit noCore {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    sigset_t set;
    ::sigemptyset(&set);
    for (const int s : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) {
        std::signal(s, s == ignored ? SIG_IGN : SIG_DFL);
        ::sigaddset(&set, s);
    }
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// The converter's entry in a forked process whose host stops at the planned
// call, its standard output on the descriptor out; killed if still there
// when the object ends.
class ConverterProcess {
public:
    ConverterProcess(const std::vector<std::string>& args, const FaultPlan& plan, int out, int closeInChild = -1,
                     int ignored = 0) {
        pid_ = ::fork();
        if (pid_ != 0) return;
        if (closeInChild >= 0) ::close(closeInChild);
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(out, 1), ::dup2(quiet, 2);
        StartAsFromAShell(ignored);
        FaultHost host;
        host.Plan(plan);
        ScopedHost scoped(host);
        std::vector<char*> argv {const_cast<char*>("NimbraConvert")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int code = NbConvertMain(static_cast<int>(argv.size() - 1), argv.data());
        std::fflush(stdout);
        ::_exit(code & 0xFF);
    }
    ~ConverterProcess() {
        if (pid_ <= 0 || ended_) return;
        ::kill(pid_, SIGKILL);
        Wait();
    }
    ConverterProcess(const ConverterProcess&) = delete;
    ConverterProcess& operator=(const ConverterProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    // True once the child has stopped itself; false when it ended instead.
    bool WaitStopped() {
        if (ended_ || ::waitpid(pid_, &status_, WUNTRACED) != pid_) return false;
        ended_ = !WIFSTOPPED(status_);
        return !ended_;
    }
    void Send(int signal) { ::kill(pid_, signal); }
    void Continue() { ::kill(pid_, SIGCONT); }
    int Wait() {
        while (!ended_ && ::waitpid(pid_, &status_, 0) == pid_) ended_ = WIFEXITED(status_) || WIFSIGNALED(status_);
        ended_ = true;
        return status_;
    }

private:
    pid_t pid_ = -1;
    bool ended_ = false;
    int status_ = 0;
};

std::string HowItEnded(int status) {
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// The NimbraConvert binary, with its standard output (and, with the error
// joined to it, standard error) a pipe that no one will ever read, started
// as a shell starts it.
int RunIntoClosedPipe(const std::vector<std::string>& args, bool errorsToo) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
    ::close(ends[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    if (errorsToo) posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
    else posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // This test program ignores SIGPIPE once an in-process run has told it
    // to, and a child would inherit that: the converter must ask for it itself.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    ::sigemptyset(&defaults);
    for (const int s : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) ::sigaddset(&defaults, s);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> words {NB_CONVERTER_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, NB_CONVERTER_PATH, &actions, &attributes, argv.data(), environ) == 0)
        ::waitpid(pid, &status, 0);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    return status;
}

class Termination : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        originals = Snapshot(dir.Path());
        StageProbe probe(Journal());
        cleanLines = Lines((ScopedHost(probe), RunConverterInProcess(args)).Out);
        ASSERT_FALSE(cleanLines.empty());
        ASSERT_EQ(cleanLines.back(), "main: Finished successfully!");
        converted = Snapshot(dir.Path());
        // The comparisons below rest on this: the image's fixed identifiers
        // make every clean conversion give the very same bytes.
        PutBack(dir.Path(), originals);
        const RunResult again = RunConverterInProcess(args);
        ASSERT_EQ(Lines(again.Out), cleanLines);
        ASSERT_EQ(Snapshot(dir.Path()), converted) << "two clean conversions differ";
        PutBack(dir.Path(), originals);

        ASSERT_EQ(probe.keepRunningCalls, 1) << "the driver does not keep running when its output closes";
        EXPECT_EQ(probe.opensAtKeepRunning, 0u) << "output may close before the driver keeps running";
        ASSERT_EQ(probe.holds, 1) << "the driver does not hold requests to stop";
        ASSERT_EQ(probe.releases, 1);
        EXPECT_EQ(probe.notice, kNotice + "\n");
        ASSERT_GT(probe.readsAtHold, 0u);
        ASSERT_GT(probe.firstChange, probe.writesAtHold);
        ASSERT_GE(probe.writesAtRelease, probe.firstChange);
        lastReadBeforeHold = probe.readsAtHold;
        firstChange = probe.firstChange;
        lastWriteBeforeRelease = probe.writesAtRelease;
    }

    std::string Journal() const { return files[0] + ".jnl"; }
    // The image files (not their backups) hold what they held before.
    void ExpectImageFiles(const std::map<std::string, Bytes>& want, const std::string& what) {
        for (const std::string& f : files) {
            const std::string name = std::filesystem::path(f).filename().string();
            EXPECT_TRUE(Exists(f) && ReadBytes(f) == want.at(name)) << name << " is not " << what;
        }
    }
    std::string OutFile() const { return out / "stdout"; }
    std::vector<std::string> Printed() const {
        const Bytes printed = ReadBytes(OutFile());
        return Lines(std::string(printed.begin(), printed.end()));
    }
    int OpenOutFile() const { return ::open(OutFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }
    static std::size_t Notices(const std::vector<std::string>& lines) {
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), kNotice));
    }
    static std::vector<std::string> WithoutNotices(std::vector<std::string> lines) {
        lines.erase(std::remove(lines.begin(), lines.end(), kNotice), lines.end());
        return lines;
    }

    MemoryTempDirs memory;
    TempDir dir, out;
    const ImageRecipe recipe = PlaceImage(ReliabilityRecipe(4, 1, 2, 34), dir);
    const std::vector<std::string> files = ImageFiles(recipe), args = ConverterArgs(recipe);
    std::map<std::string, Bytes> originals, converted;
    std::vector<std::string> cleanLines;
    std::uint64_t lastReadBeforeHold = 0, firstChange = 0, lastWriteBeforeRelease = 0;
};

// `NimbraConvert img img img | head -0`, and `... 2>&1 | true`: no one ever
// reads a line, and the image converts all the same.
TEST_F(Termination, OutputThatNoOneReadsStopsNothing) {
    for (const bool errorsToo : {false, true}) {
        SCOPED_TRACE(errorsToo ? "standard output and error into the closed pipe" : "standard output into the closed pipe");
        PutBack(dir.Path(), originals);
        const int status = RunIntoClosedPipe(args, errorsToo);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << HowItEnded(status);
        EXPECT_EQ(Snapshot(dir.Path()), converted) << "the image is not the clean conversion's";
        EXPECT_FALSE(Exists(Journal()));
    }
}

// `NimbraConvert img img img | head -1`: the reader goes away while the
// image is being changed, and every message after that fails.
TEST_F(Termination, AReaderThatQuitsHalfWayStopsNothing) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ConverterProcess child(args, {firstChange, HostCall::Write, FaultKind::Stop, 0}, ends[1], ends[0]);
    ::close(ends[1]);
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.WaitStopped());
    ASSERT_TRUE(Exists(Journal()));
    char first[256] = {};
    ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    const ssize_t n = ::read(ends[0], first, sizeof first - 1);
    ASSERT_GT(n, 0) << "nothing was printed before the change began";
    EXPECT_EQ(std::string(first).substr(0, std::string(first).find('\n')), cleanLines[0]);
    ::close(ends[0]);
    child.Continue();
    const int status = child.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << HowItEnded(status);
    EXPECT_EQ(Snapshot(dir.Path()), converted) << "the image is not the clean conversion's";
    EXPECT_FALSE(Exists(Journal()));
}

std::string SignalName(const testing::TestParamInfo<int>& info) {
    switch (info.param) {
    case SIGHUP: return "Hangup";
    case SIGINT: return "Interrupt";
    case SIGTERM: return "Terminate";
    case SIGQUIT: return "Quit";
    default: return "Signal" + std::to_string(info.param);
    }
}

class TerminationBySignal : public Termination, public testing::WithParamInterface<int> {};

// The request comes while the image is half changed (at its first change, and
// at the run's last write): the run finishes, says so once, and then ends
// by that very signal, as a shell would report it.
TEST_P(TerminationBySignal, DuringTheChangeIsHeldUntilTheImageIsConverted) {
    const int request = GetParam();
    for (const std::uint64_t at : {firstChange, lastWriteBeforeRelease}) {
        SCOPED_TRACE("stopped at write " + std::to_string(at));
        PutBack(dir.Path(), originals);
        const int output = OpenOutFile();
        ASSERT_GE(output, 0);
        ConverterProcess child(args, {at, HostCall::Write, FaultKind::Stop, 0}, output);
        ::close(output);
        ASSERT_TRUE(child.Started());
        ASSERT_TRUE(child.WaitStopped());
        ASSERT_TRUE(Exists(Journal())) << "stopped before the journal was written";
        child.Send(request);
        child.Continue();
        const int status = child.Wait();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == request) << HowItEnded(status);
        const std::vector<std::string> lines = Printed();
        EXPECT_EQ(Notices(lines), 1u) << "the notice is not one line of its own, once";
        EXPECT_EQ(WithoutNotices(lines), cleanLines);
        EXPECT_EQ(Snapshot(dir.Path()), converted) << "the image is not the clean conversion's";
        EXPECT_FALSE(Exists(Journal()));
        if (HasFailure()) return;
    }
}

// The same request before the journal is written (at the last read before
// the hold) ends the run there and then, the image untouched.
TEST_P(TerminationBySignal, BeforeTheChangeEndsTheRunAtOnce) {
    const int request = GetParam();
    const int output = OpenOutFile();
    ASSERT_GE(output, 0);
    ConverterProcess child(args, {lastReadBeforeHold, HostCall::Read, FaultKind::Stop, 0}, output);
    ::close(output);
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.WaitStopped());
    child.Send(request);
    child.Continue();
    const int status = child.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == request) << HowItEnded(status);
    EXPECT_EQ(Notices(Printed()), 0u);
    ExpectImageFiles(originals, "the original");
    EXPECT_FALSE(Exists(Journal()));
}

INSTANTIATE_TEST_SUITE_P(Requests, TerminationBySignal, testing::ValuesIn(kRequests), SignalName);

// Two requests: the first is the one told of and the one the run ends by.
TEST_F(Termination, TheFirstOfTwoRequestsIsToldOnceAndDecidesTheEnd) {
    const int output = OpenOutFile();
    ASSERT_GE(output, 0);
    // Stopped at every write from the first change on.
    ConverterProcess child(args, {firstChange, HostCall::Write, FaultKind::Stop, 0, true}, output);
    ::close(output);
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.WaitStopped());
    child.Send(SIGTERM);
    child.Continue();
    ASSERT_TRUE(child.WaitStopped()) << "no second write";
    child.Send(SIGINT);
    do child.Continue();
    while (child.WaitStopped());
    const int status = child.Wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << HowItEnded(status);
    EXPECT_EQ(Notices(Printed()), 1u);
    EXPECT_EQ(Snapshot(dir.Path()), converted) << "the image is not the clean conversion's";
}

// Started under nohup: a hangup was to be ignored, and still is; no notice
// of a request that asked for nothing.
TEST_F(Termination, AHangupIgnoredFromTheStartStaysIgnored) {
    const int output = OpenOutFile();
    ASSERT_GE(output, 0);
    ConverterProcess child(args, {firstChange, HostCall::Write, FaultKind::Stop, 0}, output, -1, SIGHUP);
    ::close(output);
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.WaitStopped());
    child.Send(SIGHUP);
    child.Continue();
    const int status = child.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << HowItEnded(status);
    EXPECT_EQ(Printed(), cleanLines);
    EXPECT_EQ(Snapshot(dir.Path()), converted) << "the image is not the clean conversion's";
}

}  // namespace
