// Shared pieces of the tests: a temporary directory, whole-file reads, and
// runs of the converter, as a real process or in this one.
#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/image_maker.h"

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

// Every regular file of a directory, by name, with its content; and the
// directory made to hold exactly such files again.
std::map<std::string, Bytes> Snapshot(const std::filesystem::path& dir);
void PutBack(const std::filesystem::path& dir, const std::map<std::string, Bytes>& files);

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
// The same for nbundo: the binary (tools/nbundo), and its entry in this process.
RunResult RunUndo(const std::vector<std::string>& args, const std::string& workingDirectory = "");
RunResult RunUndoInProcess(const std::vector<std::string>& args);

// The standard output lines, without their line ends.
std::vector<std::string> Lines(const std::string& text);

// What a terminal shows after this output, one string per row, trailing
// blanks trimmed: CR goes back to the row's start, LF down a row (keeping
// the column, as a terminal does), and other characters overwrite.
std::vector<std::string> TerminalScreen(const std::string& output);

// The path of a companion program under test (nbinfo, nbmkimage).
std::string ToolPath(const std::string& name);

// A small image whose every file is at least as long as its head backup,
// with identifiers in every header, so that runs repeat exactly.
ImageRecipe ReliabilityRecipe(std::uint32_t layout, std::uint16_t mapType, std::size_t metadataFiles, std::uint32_t pages);
// The image's files in dir: "img" for the first of each kind, "img1"... for further metadata files.
ImageRecipe PlaceImage(ImageRecipe recipe, const TempDir& dir);
// The files in the converter's order (map, data, metadata...), and its arguments.
std::vector<std::string> ImageFiles(const ImageRecipe& recipe);
std::vector<std::string> ConverterArgs(const ImageRecipe& recipe);


// Temporary directories on a memory file system, where there is one, for the
// life of the object: thousands of conversions that sync their files cost nothing there.
struct MemoryTempDirs {
    MemoryTempDirs();
    ~MemoryTempDirs();
    std::optional<std::string> Saved;
};
