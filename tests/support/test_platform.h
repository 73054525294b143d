// What the tests ask of the operating system beyond the host layer: new
// temporary folders, programs run as processes, this process's output caught
// in files, a crash on purpose. One implementation per platform
// (test_platform_posix.cpp, test_platform_windows.cpp), chosen by CMake; the
// tests themselves stay free of system headers and #ifdef.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/fault_host.h"
#include "tests/support/test_support.h"

// A new, empty folder with a unique name in the temporary folder.
std::filesystem::path MakeTempDirectory();

// Points new temporary folders at a memory file system where there is one
// (Linux's /dev/shm; under Wine, the same folder as Z:\dev\shm); returns
// what the setting was, to be given back to RestoreTempDirectories.
std::optional<std::string> UseMemoryTempDirectories();
void RestoreTempDirectories(const std::optional<std::string>& saved);

// Runs a program with its standard output and error in the named files.
// Returns its exit code as its parent sees it, or -signal on POSIX.
int RunProcess(const std::string& program, const std::vector<std::string>& args, const std::string& workingDirectory,
               const std::string& outFile, const std::string& errFile);

// Sends this process's standard output (the C runtime's) and standard error
// (what the host writes there) to two files for the life of the object.
class RedirectedOutput {
public:
    RedirectedOutput(const std::string& outFile, const std::string& errFile);
    ~RedirectedOutput();
    RedirectedOutput(const RedirectedOutput&) = delete;
    RedirectedOutput& operator=(const RedirectedOutput&) = delete;

private:
    std::intptr_t saved_[4] {};
};

// Ends this process at once, as a power cut or SIGKILL would: no destructor
// runs, nothing buffered is written.
[[noreturn]] void CrashNow();
// Stops this process until its parent continues it (ConverterChild::Continue),
// as SIGSTOP and SIGCONT do.
void StopNow();

// The program a child runs: the converter (NbConvertMain) or nbundo
// (NbUndoMain); the number is the one nb_crash_child reads.
enum class ChildEntry { Converter = 0, Undo = 1 };

// The converter (or nbundo) run with these arguments in a process of its own,
// whose host meets the plan there (a crash, a power loss, a stop); its output
// goes nowhere. A child still running when the object ends is killed.
class ConverterChild {
public:
    ConverterChild(const std::vector<std::string>& args, const FaultPlan& plan,
                   ChildEntry entry = ChildEntry::Converter);
    ~ConverterChild();
    ConverterChild(const ConverterChild&) = delete;
    ConverterChild& operator=(const ConverterChild&) = delete;
    // Waits for the end; how the process ended (see EndedByCrash).
    int Wait();
    // Waits until the child stopped itself; false when it ended instead.
    bool WaitStopped();
    void Continue();

private:
    std::intptr_t process_ = 0;
    // The stop and go events of a Windows child; a POSIX child uses signals.
    [[maybe_unused]] std::intptr_t stopped_ = 0, go_ = 0;
    bool ended_ = false;
    int status_ = 0;
};
bool EndedByCrash(int status);

// Which host calls the fault tests take: every N-th only when told to, as
// scripts/test.sh does for the builds where each run is slow (sanitizers,
// Wine, where a child process costs a fifth of a second). NB_CHILD_STRIDE=N
// for the tests that run a child process per call (kills, power losses,
// pairs of programs), NB_SWEEP_STRIDE=N for the in-process fault sweeps;
// unset, 0 or 1, every call.
inline std::uint64_t StrideFrom(const char* variable) {
    const char* text = std::getenv(variable);
    const unsigned long long stride = text != nullptr ? std::strtoull(text, nullptr, 10) : 1;
    return stride > 0 ? stride : 1;
}
inline std::uint64_t ChildRunStride() { return StrideFrom("NB_CHILD_STRIDE"); }
inline std::uint64_t SweepStride() { return StrideFrom("NB_SWEEP_STRIDE"); }

// The exit code a parent sees for a process that returned code: Linux keeps
// the low 8 bits (996 shows as 228), Windows all 32.
int ShownExitCode(unsigned code);

// What the host says of a folder where a file is meant: to the creation of a
// new file under its name, and to deleting it as a file.
unsigned FolderCreateCode();
unsigned FolderDeleteCode();

// A pipe in a file's place, named by the path returned ("" when none could
// be made): a FIFO at path on Linux, a named pipe with a listener on Windows.
std::string MakePipe(const std::string& path);

// Why a test of file permissions cannot run here, or null when it can: root
// reads and writes whatever the mode bits say; Windows has no mode bits, only
// a read-only attribute, which keeps no one from reading a file or from
// creating files in a folder.
// (As root on POSIX, a file is unreadable to the converter run by
// RunConverterUnprivileged.)
const char* UnreadableFileSkipReason();
const char* ReadOnlyFolderSkipReason();
// The converter, run where mode bits stop it: as root on POSIX, as the user
// nobody (through setpriv), with folder opened to it (the files it must read
// or write are the caller's to open to others); elsewhere as it is.
RunResult RunConverterUnprivileged(const std::vector<std::string>& args, const std::string& folder);
// Owner, group and permission bits of a file, where files have them.
struct FileOwner { unsigned User = 0, Group = 0, Mode = 0; };
// Why files cannot be given to another owner here, or null (POSIX as root).
const char* OwnershipSkipReason();
bool SetFileOwner(const std::string& name, const FileOwner& owner);
FileOwner GetFileOwner(const std::string& name);
// Why symbolic links cannot be made by the tests here, or null.
const char* SymbolicLinkSkipReason();
// Makes name a second name of the existing file: a symbolic link where the
// tests can make one, else a hard link.
void MakeSecondName(const std::string& existing, const std::string& name);
// Why names longer than the platform's short path limit cannot be made by the
// tests' own file calls (fopen, std::filesystem) here, or null.
const char* LongPathSkipReason();
// Why a file's mode bits do not decide who may write it here, or null: on
// POSIX they do (chmod 0666 opens a file to every user); Windows files have
// access lists, and std::filesystem::permissions only sets the read-only
// attribute.
const char* ModeBitsSkipReason();
