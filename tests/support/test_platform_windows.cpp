// The tests' platform seam on Windows (see test_platform.h). Runs natively and
// under Wine, where the Linux tree is drive Z:.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/test_platform.h"

namespace {

// The exit code of a process that CrashNow ended: no program of the project
// returns it.
constexpr DWORD kCrashExitCode = 0xDEAD;

// One argument as the C runtime's command-line parser reads it back.
std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');  // before the closing quote
    quoted += '"';
    return quoted;
}

HANDLE OpenInheritable(const std::string& name, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit {sizeof inherit, nullptr, TRUE};
    return ::CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::filesystem::path MakeTempDirectory() {
    static unsigned counter = 0;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "nbtest-%lx-%x", static_cast<unsigned long>(::GetCurrentProcessId()),
                      (++counter * 2654435761u) ^ static_cast<unsigned>(::GetTickCount()));
        const std::filesystem::path path = base / name;
        if (::CreateDirectoryW(path.c_str(), nullptr)) return path;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    throw std::runtime_error("no temporary folder could be made");
}

std::optional<std::string> UseMemoryTempDirectories() {
    std::optional<std::string> saved;
    if (const char* old = std::getenv("TMP")) saved = old;
    // Under Wine, Linux's memory folder; a Windows machine has none.
    if (std::filesystem::is_directory("Z:\\dev\\shm")) {
        ::_putenv_s("TMP", "Z:\\dev\\shm");
        ::SetEnvironmentVariableA("TMP", "Z:\\dev\\shm");
    }
    return saved;
}

void RestoreTempDirectories(const std::optional<std::string>& saved) {
    if (saved) {
        ::_putenv_s("TMP", saved->c_str());
        ::SetEnvironmentVariableA("TMP", saved->c_str());
    } else {
        ::_putenv("TMP=");
        ::SetEnvironmentVariableA("TMP", nullptr);
    }
}

namespace {

// Starts a program with its standard output and error in the named files;
// false when it could not be started.
bool Spawn(const std::string& program, const std::vector<std::string>& args, const std::string& workingDirectory,
           const std::string& outFile, const std::string& errFile, PROCESS_INFORMATION* process) {
    // The program's name without .exe is completed by the system, as a
    // command line would be.
    std::string command = Quote(program);
    for (const std::string& arg : args) {
        command += ' ';
        command += Quote(arg);
    }
    const HANDLE in = OpenInheritable("NUL", GENERIC_READ, OPEN_EXISTING);
    const HANDLE out = OpenInheritable(outFile, GENERIC_WRITE, CREATE_ALWAYS);
    const HANDLE err = OpenInheritable(errFile, GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOA startup {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    *process = PROCESS_INFORMATION {};
    // Under Wine a start fails now and then while the server is busy with
    // the processes before; a moment later it goes through.
    bool started = false;
    DWORD error = 0;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        if (attempt > 0) ::Sleep(100 * attempt);
        started = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                   workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, process);
        if (!started) error = ::GetLastError();
    }
    for (HANDLE h : {in, out, err})
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    if (started) ::CloseHandle(process->hThread);
    else std::fprintf(stderr, "CreateProcessA %s: error %lu\n", program.c_str(), static_cast<unsigned long>(error));
    return started;
}

int WaitForExit(HANDLE process) {
    ::WaitForSingleObject(process, INFINITE);
    DWORD exitCode = 0;
    return ::GetExitCodeProcess(process, &exitCode) ? static_cast<int>(exitCode) : -1;
}

// The events by which a child stopped at a Stop fault says so, and is let go on.
HANDLE StopEvent(const char* what, DWORD processId) {
    char name[64];
    std::snprintf(name, sizeof name, "Local\\nbtest-%s-%lu", what, static_cast<unsigned long>(processId));
    return ::CreateEventA(nullptr, TRUE, FALSE, name);
}

}  // namespace

int RunProcess(const std::string& program, const std::vector<std::string>& args, const std::string& workingDirectory,
               const std::string& outFile, const std::string& errFile) {
    PROCESS_INFORMATION process;
    if (!Spawn(program, args, workingDirectory, outFile, errFile, &process)) return -1;
    const int code = WaitForExit(process.hProcess);
    ::CloseHandle(process.hProcess);
    return code;
}

RedirectedOutput::RedirectedOutput(const std::string& outFile, const std::string& errFile) {
    // Standard output is the C runtime's descriptor 1; the host writes its
    // trace lines to the system's standard error handle.
    std::fflush(stdout);
    saved_[0] = ::_dup(1);
    saved_[2] = ::_open(outFile.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    ::_dup2(static_cast<int>(saved_[2]), 1);
    saved_[1] = reinterpret_cast<std::intptr_t>(::GetStdHandle(STD_ERROR_HANDLE));
    const HANDLE err = ::CreateFileA(errFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    saved_[3] = reinterpret_cast<std::intptr_t>(err);
    ::SetStdHandle(STD_ERROR_HANDLE, err);
}

RedirectedOutput::~RedirectedOutput() {
    std::fflush(stdout);
    ::_dup2(static_cast<int>(saved_[0]), 1);
    ::_close(static_cast<int>(saved_[0]));
    ::_close(static_cast<int>(saved_[2]));
    ::SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(saved_[1]));
    if (reinterpret_cast<HANDLE>(saved_[3]) != INVALID_HANDLE_VALUE) ::CloseHandle(reinterpret_cast<HANDLE>(saved_[3]));
}

void CrashNow() {
    ::TerminateProcess(::GetCurrentProcess(), kCrashExitCode);
    std::_Exit(static_cast<int>(kCrashExitCode));  // not reached
}

void StopNow() {
    const HANDLE stopped = StopEvent("stopped", ::GetCurrentProcessId()), go = StopEvent("go", ::GetCurrentProcessId());
    ::SetEvent(stopped);
    ::WaitForSingleObject(go, INFINITE);
    ::CloseHandle(stopped);
    ::CloseHandle(go);
}

ConverterChild::ConverterChild(const std::vector<std::string>& args, const FaultPlan& plan, ChildEntry entry) {
    // No fork here: a small program of the tests (crash_child_main.cpp) runs
    // the converter (or nbundo) with the planned host.
    std::vector<std::string> words {std::to_string(plan.At), std::to_string(static_cast<int>(plan.Kind)),
                                    std::to_string(static_cast<int>(plan.Fault)), std::to_string(plan.Code),
                                    std::to_string((plan.Persistent ? 1 : 0) | (plan.ShareByCopying ? 2 : 0)),
                                    std::to_string(static_cast<int>(entry))};
    words.insert(words.end(), args.begin(), args.end());
    PROCESS_INFORMATION process;
    if (!Spawn(NB_CRASH_CHILD_PATH, words, "", "NUL", "NUL", &process)) {
        ended_ = true, status_ = -1;
        return;
    }
    process_ = reinterpret_cast<std::intptr_t>(process.hProcess);
    stopped_ = reinterpret_cast<std::intptr_t>(StopEvent("stopped", process.dwProcessId));
    go_ = reinterpret_cast<std::intptr_t>(StopEvent("go", process.dwProcessId));
}

ConverterChild::~ConverterChild() {
    if (!ended_) {
        ::TerminateProcess(reinterpret_cast<HANDLE>(process_), 1);
        Wait();
    }
    for (std::intptr_t h : {process_, stopped_, go_})
        if (h != 0) ::CloseHandle(reinterpret_cast<HANDLE>(h));
}

int ConverterChild::Wait() {
    if (!ended_) {
        status_ = WaitForExit(reinterpret_cast<HANDLE>(process_));
        ended_ = true;
    }
    return status_;
}

bool ConverterChild::WaitStopped() {
    if (ended_) return false;
    const HANDLE either[2] = {reinterpret_cast<HANDLE>(stopped_), reinterpret_cast<HANDLE>(process_)};
    if (::WaitForMultipleObjects(2, either, FALSE, INFINITE) == WAIT_OBJECT_0) return true;
    Wait();
    return false;
}

void ConverterChild::Continue() { ::SetEvent(reinterpret_cast<HANDLE>(go_)); }

bool EndedByCrash(int status) { return static_cast<DWORD>(status) == kCrashExitCode; }

int ShownExitCode(unsigned code) { return static_cast<int>(code); }

std::string MakePipe(const std::string& /*path*/) {
    // Pipes live in their own namespace, not in folders. The listening end
    // stays open for the life of the process, so that an open of the name
    // reaches a pipe.
    static unsigned counter = 0;
    char name[64];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\nbtest-%lu-%u", static_cast<unsigned long>(::GetCurrentProcessId()), ++counter);
    const HANDLE pipe = ::CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                           PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    return pipe != INVALID_HANDLE_VALUE ? std::string(name) : std::string();
}

unsigned FolderCreateCode() { return 80; }  // ERROR_FILE_EXISTS
unsigned FolderDeleteCode() { return 5; }   // ERROR_ACCESS_DENIED

const char* UnreadableFileSkipReason() {
    return "Windows has no mode bits that stop reading: no permissions only sets the read-only attribute";
}

RunResult RunConverterUnprivileged(const std::vector<std::string>& args, const std::string&) {
    return RunConverter(args);
}

const char* ReadOnlyFolderSkipReason() {
    return "Windows ignores a folder's read-only attribute: files are still created in it";
}

const char* OwnershipSkipReason() {
    return "Windows files have access lists, not owner and group numbers with mode bits (host_windows_test.cpp copies them)";
}

bool SetFileOwner(const std::string& /*name*/, const FileOwner& /*owner*/) { return false; }

FileOwner GetFileOwner(const std::string& /*name*/) { return {}; }

const char* SymbolicLinkSkipReason() {
    return "making a symbolic link needs a privilege on Windows, and Wine only pretends to make one";
}

void MakeSecondName(const std::string& existing, const std::string& name) {
    std::filesystem::create_hard_link(existing, name);
}

const char* LongPathSkipReason() {
    return "the tests' own file calls stop at MAX_PATH on Windows; host_windows_test.cpp converts through long names";
}

const char* ModeBitsSkipReason() {
    return "Windows files have access lists, not mode bits: std::filesystem::permissions only sets the read-only "
           "attribute, which opens a file to no other user";
}
