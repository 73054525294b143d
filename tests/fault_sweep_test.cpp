// Every host call of a conversion fails in turn (as an error, as a short
// transfer, and as a disk that stays broken from that call on), the process
// dies before each call (killed, or by a power loss that forgets what was not
// flushed), and a second converter starts while the first is stopped at each
// call. Each run must end with the message of its stage, and the image must
// end either converted or exactly as it was; a plain rerun afterwards must
// always give the very image a clean conversion gives.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_platform.h"
#include "tests/support/test_support.h"
#include "tools/image_maker.h"

namespace {


// line == before + a decimal code + after.
bool Match(const std::string& line, const std::string& before, const std::string& after, unsigned* code) {
    const std::size_t end = line.size() - after.size();
    if (line.size() <= before.size() + after.size() || !line.starts_with(before) || !line.ends_with(after) ||
        line.find_first_not_of("0123456789", before.size()) < end)
        return false;
    *code = static_cast<unsigned>(std::stoul(line.substr(before.size(), end - before.size())));
    return true;
}

// What a faulted run said: Success, or a failure whose image files must be
// exactly the originals unless a revert failed (then the journal is kept for
// the next run); Problem tells how the output breaks the driver's rules.
struct Verdict { bool Success = false, RevertFailed = false; std::string Problem; };

Verdict Judge(const std::vector<std::string>& lines, const std::vector<std::string>& clean,
              const std::vector<std::string>& files, const std::string& journal, int exitCode) {
    Verdict v;
    std::size_t k = 0;
    while (k < lines.size() && k < clean.size() && lines[k] == clean[k]) ++k;
    std::vector<std::string> tail(lines.begin() + static_cast<std::ptrdiff_t>(k), lines.end());
    if ((v.Success = lines == clean) || tail.empty()) {
        if (exitCode != 0 || !v.Success) v.Problem = "a run that printed no failure, exit code " + std::to_string(exitCode);
        return v;
    }
    unsigned code = 0;
    // Converted, but the journal stayed: the user is told, and the next run
    // starts again from the backups.
    if (tail.size() == 2 && tail[1] == "main: Finished successfully!" &&
        Match(tail[0], "main: The journal [" + journal + "] could not be removed. Error ",
              ". The image is converted; remove the journal, or the next run restores the legacy image from the "
              "backups and converts it again", &code)) {
        v.Success = true;
        if (exitCode != 0) v.Problem = "exit code " + std::to_string(exitCode);
        return v;
    }
    // An undo record that cannot be kept fails the run as a failed rewrite does.
    if (tail.size() > 1 && Match(tail[0], "main: The undo record [" + files[0] + ".undo] could not be written. Error ", "",
                                 &code)) {
        if (!tail[1].starts_with("main: Failed. Error ")) return v.Problem = "no revert after the undo record", v;
        tail.erase(tail.begin());
    }
    std::size_t reverts = 0, expected = 1;  // revert lines for files[0..reverts); lines in all
    int expectedExit = 0;
    for (std::size_t i = 0; i < files.size() && !expectedExit && expected == 1; ++i) {
        if (Match(tail[0], "main: Could not create backup file [" + files[i] + ".backup]. Error ", "", &code)) {
            if (k == 0 && i < 2) expectedExit = static_cast<int>(code);
            expected = 2;
        } else if (Match(tail[0], "main: File [" + files[i] + "] is in use by another program. Error ", "", &code) ||
                   Match(tail[0], "main: File [" + files[i] + "] cannot be written. Error ",
                         ". No changes to the image were made", &code) ||
                   Match(tail[0], "main: File [" + files[i] + "] changed while the run identified it. Error ",
                         ". No changes to the image were made", &code)) {
            expectedExit = static_cast<int>(code);
            expected = 1;
            break;
        } else if (tail[0].starts_with("main: The backup [" + files[i] +
                                       ".backup] is kept, as it may be the only copy of the legacy file: ") &&
                   tail[0].ends_with(". No changes to the image were made")) {
            // A backup that cannot be proved redundant (a file that cannot
            // be read to tell) is kept, and the run stops before any change.
            if (tail.size() != 2 || !tail[1].starts_with("main: Check the names on the command line."))
                v.Problem = "kept-backup message malformed";
            expectedExit = 183;
            expected = 3;  // two lines, told apart from the backup's own message
            break;
        }
    }
    if (expected == 3) {
        expected = 2;
    } else if (expected == 2) {
        if (tail.size() != 2 || tail[1] != "Check if it already exists") v.Problem = "backup message malformed";
    } else if (Match(tail[0], "main: The journal [" + journal + "] of a conversion that did not finish cannot be read. Error ",
                     ". Nothing was changed", &code)) {
        // A disk that fails every call cannot even say whether a journal is there.
        expectedExit = static_cast<int>(code);
        expected = 2;
    } else if (expectedExit != 0 || Match(tail[0], "main: Could not get correct version. Error ", "", &code) ||
               Match(tail[0], "main: Error while parsing headers. Error ", ". No changes to the image were made", &code) ||
               Match(tail[0], "main: Error while converting. Error ", "", &code) ||
               Match(tail[0], "main: Could not write the journal [" + journal + "]. Error ", ". No changes to the image were made", &code)) {
    } else if (Match(tail[0], "main: Error while converting map file " + files[0] + ". Error ", "", &code)) {
        reverts = 1;
    } else if (Match(tail[0], "main: Failed. Error ", ". Now reverting to backup", &code)) {
        reverts = files.size();
    } else {
        return v.Problem = "unexpected line: " + tail[0], v;
    }
    if (exitCode != expectedExit) v.Problem = "exit code " + std::to_string(exitCode);
    for (std::size_t i = 0; i < reverts && i + 1 < tail.size(); ++i) {
        if (Match(tail[i + 1], "main: File [" + files[i] + "] revertion failed. Error ", ". Consider reverting it manually", &code))
            v.RevertFailed = true;
        else if (tail[i + 1] != "main: File [" + files[i] + "] reverted successfully")
            v.Problem = "bad revert line: " + tail[i + 1];
    }
    expected = reverts > 0 ? 1 + reverts : expected;
    const std::string kept = "main: The journal [" + journal + "] is kept: run the same command again to restore the image from the backups";
    const std::string notRemoved = "main: Every file was reverted, but the journal [" + journal +
                                   "] could not be removed; the next run restores the image from the backups again";
    if (reverts > 0 && tail.size() == expected + 1 && tail.back() == (v.RevertFailed ? kept : notRemoved)) ++expected;
    if (v.RevertFailed && tail.back() != kept) v.Problem = "a failed revert without the journal kept";
    if (tail.size() != expected && v.Problem.empty()) v.Problem = "wrong number of lines after the failure";
    return v;
}

// The images converted, each a different path through the relocation, the
// compaction and the whole-map backup.
struct ReliabilityImage { std::string Name; ImageRecipe Recipe; };
void PrintTo(const ReliabilityImage& image, std::ostream* out) { *out << image.Name; }
ImageRecipe PartialDataBlock() {
    // The last whole data block ends on 64 KiB, so the first data superblock
    // lands in the trailing partial block, beyond the head backup.
    ImageRecipe r = ReliabilityRecipe(3, 0, 1, 34);
    r.BlockSize = 65536;
    r.DataBytes = 3 * 65536 + 40000;
    return r;
}
const ReliabilityImage kImages[] = {{"Layout2", ReliabilityRecipe(2, 0, 1, 34)},
                                    {"Layout3Plain", ReliabilityRecipe(3, 0, 1, 34)},
                                    {"Layout3Extended", ReliabilityRecipe(3, 1, 2, 34)},
                                    {"Layout3PartialDataBlock", PartialDataBlock()},
                                    {"Layout4Extended", ReliabilityRecipe(4, 1, 2, 34)},
                                    {"Layout4WholeMapBackup", ReliabilityRecipe(4, 0, 1, 99)}};

// An image of the set written to a memory folder, and its clean conversion's
// output, result and host calls.
class Reliability : public testing::TestWithParam<ReliabilityImage> {
protected:
    void SetUp() override {
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        originals = Snapshot(dir.Path());
        FaultHost counter;
        cleanLines = Lines((ScopedHost(counter), RunConverterInProcess(args)).Out);
        ASSERT_EQ(cleanLines.back(), "main: Finished successfully!");
        calls = counter.Log();
        converted = Snapshot(dir.Path());
    }
    // The image files (not their backups) hold what they held before.
    void ExpectImageFiles(const std::map<std::string, Bytes>& want, const std::string& what) {
        for (const std::string& f : files) {
            const std::string name = std::filesystem::path(f).filename().string();
            EXPECT_TRUE(Exists(f) && ReadBytes(f) == want.at(name)) << name << " is not " << what;
        }
    }
    // A plain rerun on the real host ends in the clean conversion's image.
    void ExpectRerunConverts() {
        const RunResult rerun = RunConverterInProcess(args);
        const std::vector<std::string> lines = Lines(rerun.Out);
        EXPECT_EQ(rerun.ExitCode, 0) << rerun.Out;
        EXPECT_TRUE(lines == cleanLines || (lines.size() == 2 && lines.back() == "No conversion is needed") ||
                    (lines.size() == cleanLines.size() + 1 &&
                     lines[0] == "main: A conversion that did not finish was found; every file was restored from its backup"))
            << rerun.Out;
        EXPECT_EQ(Snapshot(dir.Path()), converted) << "the rerun did not end in the clean conversion's image\n" << rerun.Out;
    }
    std::string Journal() const { return files[0] + ".jnl"; }

    MemoryTempDirs memory;
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(GetParam().Recipe, dir);
    const std::vector<std::string> files = ImageFiles(recipe), args = ConverterArgs(recipe);
    std::map<std::string, Bytes> originals, converted;
    std::vector<std::string> cleanLines;
    std::vector<HostCall> calls;
};

TEST_P(Reliability, EveryFailedCallEndsInItsStageMessageAndTheNextRunConverts) {
    std::size_t injections = 0;
    for (std::uint64_t n = 1; n <= calls.size(); ++n) {
        const HostCall kind = calls[n - 1];
        for (int mode = 0; mode < 3; ++mode) {
            const FaultKind fault = mode == 1 ? FaultKind::Short : FaultKind::Error;
            const bool persistent = mode == 2;
            if (fault == FaultKind::Short && kind != HostCall::Read && kind != HostCall::Write) continue;
            SCOPED_TRACE("call " + std::to_string(n) + ", " + NbHostCallName(kind) +
                         (persistent ? ", every call from it on" : fault == FaultKind::Short ? ", short" : ", error"));
            PutBack(dir.Path(), originals);
            FaultHost host;
            host.Plan({n, HostCall::Count, fault, 5, persistent});
            const RunResult run = (ScopedHost(host), RunConverterInProcess(args));
            ++injections;
            ASSERT_TRUE(host.Fired());
            const Verdict v = Judge(Lines(run.Out), cleanLines, files, Journal(), run.ExitCode);
            ASSERT_EQ(v.Problem, "") << run.Out;
            if (v.Success) ExpectImageFiles(converted, "converted");
            else if (!v.RevertFailed) ExpectImageFiles(originals, "the original");
            ExpectRerunConverts();
            if (HasFailure()) return;
        }
    }
    std::printf("[ sweep    ] %s: %zu host calls, %zu injections\n", GetParam().Name.c_str(), calls.size(), injections);
}

TEST_P(Reliability, AKillOrPowerLossAnywhereIsUndoneByThePlainRerun) {
    std::size_t kills = 0;
    for (std::uint64_t n = 1; n <= calls.size(); n += ChildRunStride()) {
        // Every other power loss leaves the unflushed writes torn: lost,
        // landed or landed in part, each as its seed says.
        const FaultKind loss = kills / 2 % 2 == 0 ? FaultKind::PowerLoss : FaultKind::TornPowerLoss;
        for (FaultKind fault : {FaultKind::Crash, loss}) {
            SCOPED_TRACE(std::string(fault == FaultKind::Crash ? "killed" : fault == FaultKind::PowerLoss ? "power lost"
                                                                                                     : "power lost, writes torn") +
                         " at host call " + std::to_string(n) + ", " + NbHostCallName(calls[n - 1]));
            PutBack(dir.Path(), originals);
            const int status = ConverterChild(args, {n, HostCall::Count, fault, 0}).Wait();
            ASSERT_TRUE(EndedByCrash(status)) << "status " << status;
            ++kills;
            ExpectRerunConverts();
            if (HasFailure()) return;
        }
    }
    std::printf("[ crash    ] %s: %zu kills and power losses\n", GetParam().Name.c_str(), kills);
}

// A second converter started while the first is stopped at host call n: it
// stops with 32 before it changes anything, or (when the first has not yet
// taken its locks) runs as a run of its own; the first then goes on, and the
// image ends converted.
TEST_P(Reliability, ASecondConverterNeverCostsTheFirstOneItsBackups) {
    std::size_t pairs = 0, refused = 0;
    for (std::uint64_t n = 1; n <= calls.size(); n += 3 * ChildRunStride()) {
        SCOPED_TRACE("first run stopped at host call " + std::to_string(n));
        PutBack(dir.Path(), originals);
        ConverterChild first(args, {n, HostCall::Count, FaultKind::Stop, 0});
        ASSERT_TRUE(first.WaitStopped());
        const auto during = Snapshot(dir.Path());
        const RunResult second = RunConverter(args);
        if (second.ExitCode == 32) {
            ++refused;
            EXPECT_EQ(Snapshot(dir.Path()), during) << "the refused run changed something";
        }
        first.Continue();
        first.Wait();
        ++pairs;
        ExpectRerunConverts();
        if (HasFailure()) return;
    }
    EXPECT_GT(refused, 0u);
    std::printf("[ pairs    ] %s: %zu pairs, %zu second runs refused\n", GetParam().Name.c_str(), pairs, refused);
}

INSTANTIATE_TEST_SUITE_P(Images, Reliability, testing::ValuesIn(kImages), testing::PrintToStringParamName());

}  // namespace
