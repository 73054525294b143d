// The tests' platform seam on Linux (see test_platform.h).
#include "tests/support/test_platform.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/undo.h"
#include "tests/support/fault_host.h"

extern char** environ;

std::filesystem::path MakeTempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nbtest-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

std::optional<std::string> UseMemoryTempDirectories() {
    std::optional<std::string> saved;
    if (const char* old = std::getenv("TMPDIR")) saved = old;
    if (std::filesystem::is_directory("/dev/shm")) ::setenv("TMPDIR", "/dev/shm", 1);
    return saved;
}

void RestoreTempDirectories(const std::optional<std::string>& saved) {
    saved ? ::setenv("TMPDIR", saved->c_str(), 1) : ::unsetenv("TMPDIR");
}

int RunProcess(const std::string& program, const std::vector<std::string>& args, const std::string& workingDirectory,
               const std::string& outFile, const std::string& errFile) {
    std::vector<std::string> words {program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!workingDirectory.empty()) posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    pid_t pid = 0;
    int code = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    return code;
}

RedirectedOutput::RedirectedOutput(const std::string& outFile, const std::string& errFile) {
    std::fflush(stdout);
    saved_[0] = ::dup(1);
    saved_[1] = ::dup(2);
    saved_[2] = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    saved_[3] = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(static_cast<int>(saved_[2]), 1);
    ::dup2(static_cast<int>(saved_[3]), 2);
}

RedirectedOutput::~RedirectedOutput() {
    std::fflush(stdout);
    ::dup2(static_cast<int>(saved_[0]), 1);
    ::dup2(static_cast<int>(saved_[1]), 2);
    for (std::intptr_t fd : saved_) ::close(static_cast<int>(fd));
}

void CrashNow() {
    std::raise(SIGKILL);
    std::_Exit(128 + SIGKILL);  // not reached
}

void StopNow() { std::raise(SIGSTOP); }

ConverterChild::ConverterChild(const std::vector<std::string>& args, const FaultPlan& plan, ChildEntry entry) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, 1), ::dup2(quiet, 2);
        FaultHost host;
        host.Plan(plan);
        ScopedHost scoped(host);
        const bool undo = entry == ChildEntry::Undo;
        std::vector<char*> argv {const_cast<char*>(undo ? "nbundo" : "NimbraConvert")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        (undo ? NbUndoMain : NbConvertMain)(static_cast<int>(argv.size() - 1), argv.data());
        ::_exit(0);  // the planned call never came
    }
    process_ = pid;
    ended_ = pid < 0;
}

ConverterChild::~ConverterChild() {
    if (ended_) return;
    ::kill(static_cast<pid_t>(process_), SIGKILL);
    Wait();
}

int ConverterChild::Wait() {
    if (!ended_) {
        ::waitpid(static_cast<pid_t>(process_), &status_, 0);
        ended_ = true;
    }
    return status_;
}

bool ConverterChild::WaitStopped() {
    int status = 0;
    if (ended_ || ::waitpid(static_cast<pid_t>(process_), &status, WUNTRACED) < 0) return false;
    if (WIFSTOPPED(status)) return true;
    status_ = status, ended_ = true;
    return false;
}

void ConverterChild::Continue() { ::kill(static_cast<pid_t>(process_), SIGCONT); }

bool EndedByCrash(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }

int ShownExitCode(unsigned code) { return static_cast<int>(code & 0xFF); }

unsigned FolderCreateCode() { return 80; }  // EEXIST
unsigned FolderDeleteCode() { return 5; }   // EISDIR

std::string MakePipe(const std::string& path) { return ::mkfifo(path.c_str(), 0644) == 0 ? path : std::string(); }

namespace {

constexpr const char* kSetpriv = "/usr/bin/setpriv";
constexpr unsigned kNobody = 65534;

}  // namespace

const char* UnreadableFileSkipReason() {
    return ::geteuid() == 0 && ::access(kSetpriv, X_OK) != 0
               ? "root reads a file whatever its mode, and setpriv is not installed to run the converter as nobody"
               : nullptr;
}

RunResult RunConverterUnprivileged(const std::vector<std::string>& args, const std::string& folder) {
    if (::geteuid() != 0) return RunConverter(args);
    if (::chmod(folder.c_str(), 0777) != 0) throw std::runtime_error("cannot open " + folder + " to nobody");
    const std::string id = std::to_string(kNobody);
    std::vector<std::string> words {"--reuid=" + id, "--regid=" + id, "--clear-groups", "--", NB_CONVERTER_PATH};
    words.insert(words.end(), args.begin(), args.end());
    return RunProgram(kSetpriv, words);
}

const char* ReadOnlyFolderSkipReason() {
    return ::geteuid() == 0 ? "root: permissions do not stop its writes, and no read-only mount is at hand" : nullptr;
}

const char* OwnershipSkipReason() {
    return ::geteuid() != 0 ? "only root can give files to another owner" : nullptr;
}

bool SetFileOwner(const std::string& name, const FileOwner& owner) {
    return ::chown(name.c_str(), owner.User, owner.Group) == 0 && ::chmod(name.c_str(), owner.Mode) == 0;
}

FileOwner GetFileOwner(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0) return {};
    return {st.st_uid, st.st_gid, static_cast<unsigned>(st.st_mode & 07777)};
}

const char* SymbolicLinkSkipReason() { return nullptr; }

void MakeSecondName(const std::string& existing, const std::string& name) { std::filesystem::create_symlink(existing, name); }

const char* LongPathSkipReason() { return nullptr; }

const char* ModeBitsSkipReason() { return nullptr; }
