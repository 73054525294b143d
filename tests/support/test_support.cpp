#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "driver/driver.h"
#include "driver/undo.h"
#include "tests/support/test_platform.h"

TempDir::TempDir() : path_(MakeTempDirectory()) {}

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests make files and folders read-only; give the rights back first.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                     ignored);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);  // in one read: sweeps compare thousands of files
    Bytes bytes(in ? static_cast<std::size_t>(in.tellg()) : 0);
    in.seekg(0).read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

std::map<std::string, Bytes> Snapshot(const std::filesystem::path& dir) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.is_regular_file()) files[entry.path().filename().string()] = ReadBytes(entry.path().string());
    return files;
}

void PutBack(const std::filesystem::path& dir, const std::map<std::string, Bytes>& files) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) std::filesystem::remove(entry.path());
    for (const auto& [name, bytes] : files) WriteBytes((dir / name).string(), bytes);
}

namespace {

std::string Slurp(const std::string& path) {
    const Bytes bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workingDirectory) {
    TempDir scratch;
    const std::string out = scratch / "stdout", err = scratch / "stderr";
    RunResult result;
    result.ExitCode = RunProcess(program, args, workingDirectory, out, err);
    result.Out = Slurp(out);
    result.Err = Slurp(err);
    return result;
}

RunResult RunConverter(const std::vector<std::string>& args, const std::string& workingDirectory) {
    return RunProgram(NB_CONVERTER_PATH, args, workingDirectory);
}

namespace {

// A program's entry run in this process with its output caught.
RunResult RunEntryInProcess(int (*entry)(int, char**), const char* program, const std::vector<std::string>& args) {
    TempDir scratch;
    const std::string out = scratch / "stdout", err = scratch / "stderr";
    std::vector<std::string> words {program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    RunResult result;
    {
        RedirectedOutput redirected(out, err);
        result.ExitCode = entry(static_cast<int>(words.size()), argv.data());
    }
    result.Out = Slurp(out);
    result.Err = Slurp(err);
    return result;
}

}  // namespace

RunResult RunConverterInProcess(const std::vector<std::string>& args) {
    return RunEntryInProcess(NbConvertMain, "NimbraConvert", args);
}

RunResult RunUndo(const std::vector<std::string>& args, const std::string& workingDirectory) {
    return RunProgram(ToolPath("nbundo"), args, workingDirectory);
}

RunResult RunUndoInProcess(const std::vector<std::string>& args) { return RunEntryInProcess(NbUndoMain, "nbundo", args); }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> TerminalScreen(const std::string& output) {
    std::vector<std::string> rows(1);
    std::size_t row = 0, column = 0;
    for (const char c : output) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            if (++row == rows.size()) rows.emplace_back();
        } else {
            std::string& r = rows[row];
            if (r.size() <= column) r.resize(column + 1, ' ');
            r[column++] = c;
        }
    }
    for (std::string& r : rows) r.erase(r.find_last_not_of(' ') + 1);
    while (!rows.empty() && rows.back().empty()) rows.pop_back();
    return rows;
}

std::string ToolPath(const std::string& name) { return std::string(NB_TOOLS_DIR) + "/" + name; }

ImageRecipe ReliabilityRecipe(std::uint32_t layout, std::uint16_t mapType, std::size_t metadataFiles, std::uint32_t pages) {
    ImageRecipe s;
    s.Layout = layout;
    s.MapType = mapType;
    s.ImageGuid = 0x1122334455667788ull;
    s.DataGuid = 0x0102030405060708ull;
    s.MapPages = pages;
    s.ImageSize = pages * 1024;
    s.MapTrailingBytes = 135168;
    s.DataBytes = s.MetadataBytes = 139264;
    s.MetadataBases.resize(metadataFiles);
    return s;
}

ImageRecipe PlaceImage(ImageRecipe recipe, const TempDir& dir) {
    recipe.MapBase = recipe.DataBase = dir / "img";
    for (std::size_t i = 0; i < recipe.MetadataBases.size(); ++i)
        recipe.MetadataBases[i] = dir / (i == 0 ? std::string("img") : "img" + std::to_string(i));
    return recipe;
}

std::vector<std::string> ImageFiles(const ImageRecipe& recipe) {
    std::vector<std::string> files {MapFileName(recipe), DataFileName(recipe)};
    for (std::size_t i = 0; i < recipe.MetadataBases.size(); ++i) files.push_back(MetadataFileName(recipe, i));
    return files;
}

std::vector<std::string> ConverterArgs(const ImageRecipe& recipe) {
    std::vector<std::string> args {recipe.MapBase, recipe.DataBase};
    args.insert(args.end(), recipe.MetadataBases.begin(), recipe.MetadataBases.end());
    return args;
}

MemoryTempDirs::MemoryTempDirs() : Saved(UseMemoryTempDirectories()) {}
MemoryTempDirs::~MemoryTempDirs() { RestoreTempDirectories(Saved); }
