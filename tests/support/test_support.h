// Shared pieces of the tests: a temporary directory, whole-file reads, and
// runs of the converter, as a real process or in this one.
#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

Bytes ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const Bytes& bytes);
bool Exists(const std::string& path);

// Every regular file of a directory, by name, with its content.
std::map<std::string, Bytes> Snapshot(const std::filesystem::path& dir);

struct RunResult {
    int ExitCode = -1;     // the status the process exited with, or -signal
    std::string Out;       // standard output
    std::string Err;       // standard error (the trace lines)
};

// Runs the NimbraConvert binary with these arguments (after the program name).
RunResult RunConverter(const std::vector<std::string>& args, const std::string& workingDirectory = "");
// Runs a program by path.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workingDirectory = "");
// Runs the converter's entry in this process, with its output captured.
RunResult RunConverterInProcess(const std::vector<std::string>& args);

// The standard output lines, without their line ends.
std::vector<std::string> Lines(const std::string& text);

// The path of the converter and of the companion programs under test.
std::string ConverterPath();
std::string ToolPath(const std::string& name);
