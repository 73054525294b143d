// The progress line as a person at a terminal sees it: the real converter
// runs with standard error (and standard output) on a pseudo-terminal. POSIX
// only; a Windows build leaves this file out. With standard error not a
// terminal nothing extra appears: clean_run_test.cpp checks that.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <regex>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/test_support.h"
#include "tools/image_maker.h"

namespace {

struct PtyRun { int ExitCode = -1; std::string Terminal, Out; };

// Runs the converter with standard error on a new pseudo-terminal, and
// standard output there too or (outToTerminal false) in a file.
PtyRun RunOnTerminal(const std::vector<std::string>& args, bool outToTerminal) {
    PtyRun run;
    TempDir scratch;
    const std::string outName = scratch / "stdout";
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal: errno " << errno;
        return run;
    }
    const std::string slaveName = ::ptsname(master);
    std::vector<std::string> words {NB_CONVERTER_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        const int slave = ::open(slaveName.c_str(), O_RDWR);
        const int out = outToTerminal ? slave : ::open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (slave < 0 || out < 0 || ::dup2(slave, 2) < 0 || ::dup2(out, 1) < 0) ::_exit(126);
        ::close(master);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    // Read while it runs (a full terminal would stop it) until every end of
    // the terminal is closed.
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0) run.Terminal.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (!outToTerminal) {
        const Bytes out = ReadBytes(outName);
        run.Out.assign(out.begin(), out.end());
    }
    return run;
}

struct ProgressCase { const char* Name; std::uint32_t Layout; std::uint16_t MapType; std::vector<std::string> Steps; };
void PrintTo(const ProgressCase& c, std::ostream* out) { *out << c.Name; }
class ProgressOnTerminal : public ::testing::TestWithParam<ProgressCase> {
protected:
    void SetUp() override { ASSERT_TRUE(WriteImage(recipe, nullptr)); }
    TempDir dir;
    // 18 MiB of map, past the 16 MiB from which a step shows its line: 4608
    // pages, or an extended map's table with 18 MiB behind it.
    static ImageRecipe Recipe(const ProgressCase& c) {
        ImageRecipe r = ReliabilityRecipe(c.Layout, c.MapType, 1, 4608);
        if (c.MapType == 1) r.MapTrailingBytes = 18u << 20;
        return r;
    }
    const ImageRecipe recipe = PlaceImage(Recipe(GetParam()), dir);
};

TEST_P(ProgressOnTerminal, EachMapStepCountsUpInOneLineAndClearsIt) {
    const PtyRun run = RunOnTerminal(ConverterArgs(recipe), false);
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_TRUE(run.Out.ends_with("main: Finished successfully!\n")) << run.Out;
    // Every draw rewrites the line from its start; each step counts up from
    // 0 to 100 percent of the bytes it moves, once per percent at most.
    const std::regex draw("\r([A-Za-z ]+): +([0-9]+)%  ([0-9]+) of ([0-9]+) MiB");
    struct Step { std::string Name; int First, Last; std::string Total; };
    std::vector<Step> steps;
    int draws = 0;
    for (auto it = std::sregex_iterator(run.Terminal.begin(), run.Terminal.end(), draw); it != std::sregex_iterator(); ++it) {
        const int percent = std::stoi((*it)[2]);
        if (steps.empty() || steps.back().Name != (*it)[1]) steps.push_back({(*it)[1], percent, percent - 1, ""});
        Step& step = steps.back();
        EXPECT_GT(percent, step.Last) << step.Name << " went back to " << percent;
        step.Last = percent, step.Total = (*it)[4], ++draws;
    }
    std::vector<std::string> seen;
    for (const Step& s : steps)
        seen.push_back(s.Name + ": " + std::to_string(s.First) + "% to " + std::to_string(s.Last) + "% of " + s.Total + " MiB");
    EXPECT_EQ(seen, GetParam().Steps);
    EXPECT_LE(draws, 101 * static_cast<int>(steps.size())) << "at most one draw per percent";
    EXPECT_TRUE(TerminalScreen(run.Terminal).empty()) << "the screen keeps: " << run.Terminal;
}

TEST_P(ProgressOnTerminal, MessagesOnTheSameTerminalStartOnAClearedLine) {
    const PtyRun run = RunOnTerminal(ConverterArgs(recipe), true);
    EXPECT_EQ(run.ExitCode, 0);
    const std::vector<std::string> expected {
        "main: Version of image headers is " + std::to_string(GetParam().Layout), "main: Starting conversion.",
        "main: Parsing image headers", "main: Image size 4718592 blocks, block size 512",
        "main: Replacing headers with new...", "main: Finished successfully!"};
    EXPECT_EQ(TerminalScreen(run.Terminal), expected) << run.Terminal;
}

INSTANTIATE_TEST_SUITE_P(Layouts, ProgressOnTerminal, ::testing::Values(
    // A plain map is built in one pass over its whole backup; an extended
    // map of layout 3 is moved.
    ProgressCase {"Layout2", 2, 0, {"Building map: 0% to 100% of 18 MiB"}},
    ProgressCase {"Layout3Extended", 3, 1, {"Moving map: 0% to 100% of 18 MiB"}},
    ProgressCase {"Layout4PlainLongMap", 4, 0, {"Building map: 0% to 100% of 18 MiB"}}),
    ::testing::PrintToStringParamName());

}  // namespace
