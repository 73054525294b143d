// Every host call of a conversion fails in turn (as an error, as a short
// transfer, and as a disk that stays broken from that call on), the process
// dies before each call (killed, or by a power loss that forgets what was not
// flushed), and a second converter starts while the first is stopped at each
// call. Each run must end with the message of its stage, and the image must
// end either converted or exactly as it was; a plain rerun afterwards must
// always give the very image a clean conversion gives. nbundo is put through
// the same from the converted image: it ends converted, part-way with its
// journal kept, or undone, and a plain rerun (of nbundo, or of the converter
// after a kill) finishes what it began.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "driver/backup.h"
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

// check(plan) for every host call in turn failing as an error, as a short
// transfer (a read or a write) and as a disk that stays broken from it on;
// with crashes, for every stride-th call instead killed and without power
// (every other time with its writes torn). Stops at the first failure;
// returns how many plans were checked.
// With a stride (slow hosts), every stride-th call, from a first call that
// differs from image to image so that no kind of call is always passed over.
template <class Check>
std::size_t EveryFault(const std::vector<HostCall>& calls, bool crashes, Check check) {
    std::size_t runs = 0;
    const std::uint64_t stride = crashes ? ChildRunStride() : SweepStride();
    for (std::uint64_t n = 1 + calls.size() % stride; n <= calls.size(); n += stride) {
        const HostCall kind = calls[n - 1];
        const FaultKind loss = runs / 2 % 2 == 0 ? FaultKind::PowerLoss : FaultKind::TornPowerLoss;
        std::vector<std::pair<FaultPlan, const char*>> plans {{{n, HostCall::Count, FaultKind::Crash, 0}, "killed"},
                                                              {{n, HostCall::Count, loss, 0}, "power lost"}};
        if (loss == FaultKind::TornPowerLoss) plans[1].second = "power lost, writes torn";
        if (!crashes) plans = {{{n, HostCall::Count, FaultKind::Error, 5}, "error"},
                               {{n, HostCall::Count, FaultKind::Short, 5}, "short"},
                               {{n, HostCall::Count, FaultKind::Error, 5, true}, "every call from it on"}};
        for (const auto& [plan, what] : plans) {
            if (plan.Fault == FaultKind::Short && kind != HostCall::Read && kind != HostCall::Write) continue;
            SCOPED_TRACE("host call " + std::to_string(n) + ", " + NbHostCallName(kind) + ": " + what);
            ++runs;
            check(plan);
            if (testing::Test::HasFailure()) return runs;
        }
    }
    return runs;
}

// The images converted, each a different path through the relocation, the
// compaction and the whole-map backup.
// Shares: the host shares map pages between files (by copying them, as the
// sharing of a file system that can would leave them), so that the runs
// take the sharing path on any test folder.
struct ReliabilityImage { std::string Name; ImageRecipe Recipe; bool Shares = false; };
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
std::vector<ReliabilityImage> ConverterImages() {
    std::vector<ReliabilityImage> images(std::begin(kImages), std::end(kImages));
    // Every 50th page dropped: six groups of 49 kept pages, each shared in
    // one call, and the bytes behind the last in a seventh. Two groups span
    // the ends of the runs read at once: one ends its first run with 27
    // pages (a share that waits for the next run), one with 5 (carried into
    // the next run's buffer).
    ImageRecipe groups = ReliabilityRecipe(4, 0, 1, 300);
    groups.DropEvery = 50;
    images.push_back({"Layout4SharedPages", groups, true});
    return images;
}

// An image of the set written to a memory folder, and its clean conversion's
// output, result and host calls.
class Reliability : public testing::TestWithParam<ReliabilityImage> {
protected:
    void SetUp() override {
        ASSERT_TRUE(WriteImage(recipe, nullptr));
        originals = Snapshot(dir.Path());
        FaultHost counter;
        counter.Plan(Planned({}));
        cleanLines = Lines((ScopedHost(counter), RunConverterInProcess(args)).Out);
        ASSERT_EQ(cleanLines.back(), "main: Finished successfully!");
        calls = counter.Log();
        // Each long group shared where the host shares, else at most the one refusal.
        if (GetParam().Shares) ASSERT_EQ(counter.Count(HostCall::ShareRange), 7u);
        else ASSERT_LE(counter.Count(HostCall::ShareRange), 1u);
        converted = Snapshot(dir.Path());
    }
    // The image files (not their backups) hold what they held before.
    void ExpectImageFiles(const std::map<std::string, Bytes>& want, const std::string& what) {
        for (const std::string& f : files) {
            const std::string name = std::filesystem::path(f).filename().string();
            EXPECT_TRUE(Exists(f) && ReadBytes(f) == want.at(name)) << name << " is not " << what;
        }
    }
    // A plain rerun on the real host ends in the clean conversion's image
    // (leftover: a file that a run before left and this one leaves alone).
    void ExpectRerunConverts(const std::string& leftover = "") {
        const RunResult rerun = RunConverterInProcess(args);
        const std::vector<std::string> lines = Lines(rerun.Out);
        EXPECT_EQ(rerun.ExitCode, 0) << rerun.Out;
        EXPECT_TRUE(lines == cleanLines || (lines.size() == 2 && lines.back() == "No conversion is needed") ||
                    (lines.size() == cleanLines.size() + 1 &&
                     lines[0] == "main: A conversion that did not finish was found; every file was restored from its backup"))
            << rerun.Out;
        auto now = Snapshot(dir.Path());
        now.erase(leftover);
        EXPECT_EQ(now, converted) << "the rerun did not end in the clean conversion's image\n" << rerun.Out;
    }
    std::string Journal() const { return files[0] + ".jnl"; }
    FaultPlan Planned(FaultPlan plan) const {
        plan.ShareByCopying = GetParam().Shares;
        return plan;
    }

    MemoryTempDirs memory;
    TempDir dir;
    const ImageRecipe recipe = PlaceImage(GetParam().Recipe, dir);
    const std::vector<std::string> files = ImageFiles(recipe), args = ConverterArgs(recipe);
    std::map<std::string, Bytes> originals, converted;
    std::vector<std::string> cleanLines;
    std::vector<HostCall> calls;
};

TEST_P(Reliability, EveryFailedCallEndsInItsStageMessageAndTheNextRunConverts) {
    const std::size_t injections = EveryFault(calls, false, [&](const FaultPlan& plan) {
        PutBack(dir.Path(), originals);
        FaultHost host;
        host.Plan(Planned(plan));
        const RunResult run = (ScopedHost(host), RunConverterInProcess(args));
        ASSERT_TRUE(host.Fired());
        const Verdict v = Judge(Lines(run.Out), cleanLines, files, Journal(), run.ExitCode);
        ASSERT_EQ(v.Problem, "") << run.Out;
        if (v.Success) ExpectImageFiles(converted, "converted");
        else if (!v.RevertFailed) ExpectImageFiles(originals, "the original");
        ExpectRerunConverts();
    });
    if (HasFailure()) return;
    std::printf("[ sweep    ] %s: %zu host calls, %zu injections\n", GetParam().Name.c_str(), calls.size(), injections);
}

TEST_P(Reliability, AKillOrPowerLossAnywhereIsUndoneByThePlainRerun) {
    const std::size_t kills = EveryFault(calls, true, [&](const FaultPlan& plan) {
        PutBack(dir.Path(), originals);
        const int status = ConverterChild(args, Planned(plan)).Wait();
        ASSERT_TRUE(EndedByCrash(status)) << "status " << status;
        ExpectRerunConverts();
    });
    if (HasFailure()) return;
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
        ConverterChild first(args, Planned({n, HostCall::Count, FaultKind::Stop, 0}));
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

INSTANTIATE_TEST_SUITE_P(Images, Reliability, testing::ValuesIn(ConverterImages()), testing::PrintToStringParamName());

// nbundo, put through the same from the image a clean conversion leaves.
// What a faulted nbundo said, and so what it must have left: the image as the
// conversion left it (Kept); the files before PutBack put back, the journal
// kept (Partial); or the legacy image (Undone), the journal kept where it said
// so, but for the backups it could not make again. Problem: how the output
// breaks nbundo's rules (driver/undo.cpp, driver/recovery.cpp).
struct UndoVerdict {
    enum { Kept, Partial, Undone } End = Kept;
    std::size_t PutBack = 0;
    bool JournalKept = false;
    std::set<std::string> NotMade;
    std::string Problem;
};

UndoVerdict JudgeUndo(const std::vector<std::string>& lines, const std::vector<std::string>& files,
                      const std::string& journal, int exitCode) {
    UndoVerdict v;
    std::size_t i = 0, reasons = 0;
    unsigned code = 0, first = 0;  // the first failure's code, the one the run exits with
    const auto line = [&] { return i < lines.size() ? lines[i] : std::string(); };
    // The next line is "nbundo: " + before, or that + a code + after.
    const auto next = [&](const std::string& before, const char* after = nullptr) {
        if (after == nullptr ? line() != "nbundo: " + before : !Match(line(), "nbundo: " + before, after, &code)) return false;
        first = first == 0 && after != nullptr ? code : first;
        return ++i, true;
    };
    const char* nothing = ". Nothing was changed";
    const std::string record = files[0] + ".undo", kept = "The journal [" + journal + "] is kept: run the same command again to finish the undo";
    // Refused before any change: by the journal's write, by a failed look for
    // a journal, by the lock, by the check (a fault makes a file unreadable,
    // never changed or missing); a disk that fails every call cannot even
    // tell whether a journal is there.
    bool refused = next("Could not write the journal [" + journal + "]. Error ", nothing) ||
                   next("Whether the journal [" + journal + "] of a run that did not finish is there cannot be told. Error ",
                        nothing) ||
                   (next("The journal [" + journal + "] of a conversion that did not finish cannot be read. Error ", nothing) &&
                    next("Restore the image from its backups by hand (see the manual page), then remove the journal"));
    // A name that cannot be compared with the command line's refuses the record.
    const auto untold = [&](const std::string& f) {
        const unsigned before = first;
        if (!next("The undo record [" + record + "] is not acted on: whether the [" + f + "] it names is [" + f +
                  "] of this command line cannot be told (error ", ")"))
            return false;
        return first = before != 0 ? before : NB_UNTRUSTED_RECORD, true;
    };
    for (const std::string& f : files) {
        refused = refused || next("File [" + f + "] is in use by another program. Error ", nothing) ||
                  next("File [" + f + "] changed while the run identified it. Error ", nothing);
        while (!refused && (next("The undo record [" + record + "] cannot be read. Error ", "") ||
                            next("The backup [" + f + ".backup] cannot be read. Error ", "") ||
                            next("[" + f + "] cannot be read. Error ", "") || untold(f)))
            ++reasons;
    }
    if (!refused && !(reasons > 0 && next("The image cannot be undone. Nothing was changed"))) {
        v.End = UndoVerdict::Partial;
        while (v.PutBack < files.size() && next("File [" + files[v.PutBack] + "] put back as it was before the conversion"))
            ++v.PutBack;
        for (const std::string& f : files) {  // owner, group and mode, once every file is back
            const std::size_t at = line().find(" back. Error ");
            if (v.PutBack == files.size() && at != std::string::npos && Match(line().substr(at), " back. Error ", "", &code) &&
                line().starts_with("nbundo: [" + f + "] holds its legacy bytes again, but could not be given its owner "))
                first = first != 0 ? first : code, ++i;
        }
        if (v.PutBack < files.size() ? next("File [" + files[v.PutBack] + "] could not be put back. Error ", "")
                                     : next("The undo record [" + record + "] could not be removed. Error ", "")) {
            first = code;  // the run stops there, with that code
            if (!next(kept)) v.Problem = "unexpected line: " + line();
        } else if (v.PutBack == files.size()) {
            v.End = UndoVerdict::Undone;
            v.JournalKept = next("The journal [" + journal + "] could not be removed. Error ",
                                 ". The image is in its legacy layout; remove the journal, or the next run puts the same "
                                 "bytes back once more");
            for (const std::string& f : files)
                if (next("The backup [" + f + ".backup] could not be made again. Error ", ". The image is in its legacy layout"))
                    v.NotMade.insert(std::filesystem::path(f).filename().string() + ".backup");
            if (!next("Undone: the image is in its legacy layout again; its backups are kept")) v.Problem = "unexpected line: " + line();
        }
    }
    if (v.Problem.empty() && i < lines.size()) v.Problem = "unexpected line: " + lines[i];
    if (v.Problem.empty() && exitCode != static_cast<int>(first))
        v.Problem = "exit code " + std::to_string(exitCode) + ", not " + std::to_string(first);
    return v;
}

// The image converted cleanly (as for Reliability), then undone cleanly with
// nbundo's host calls counted: `undone` is the legacy image with its backups.
class UndoReliability : public Reliability {
protected:
    void SetUp() override {
        Reliability::SetUp();
        if (HasFatalFailure()) return;
        FaultHost counter;
        const RunResult run = (ScopedHost(counter), RunUndoInProcess(args));
        undoLines = Lines(run.Out);
        ASSERT_EQ(JudgeUndo(undoLines, files, Journal(), run.ExitCode).Problem, "") << run.Out;
        ASSERT_EQ(undoLines.size(), files.size() + 1) << run.Out;
        undoCalls = counter.Log();
        std::string kinds;
        for (int k = 0; k < static_cast<int>(HostCall::Count); ++k)
            if (const std::uint64_t n = counter.Count(static_cast<HostCall>(k)))
                kinds += " " + std::string(NbHostCallName(static_cast<HostCall>(k))) + " " + std::to_string(n);
        std::printf("[ undo     ] %s: %zu host calls:%s\n", GetParam().Name.c_str(), undoCalls.size(), kinds.c_str());
        undone = Snapshot(dir.Path());
        ExpectImageFiles(originals, "the original after a clean undo");
        for (const auto& [name, bytes] : undone) {
            if (originals.contains(name)) continue;
            EXPECT_TRUE(name.ends_with(".backup")) << name << " is left by a clean undo";
        }
        // The backups that became their whole files: nbundo renames them back
        // and makes the heads again, or copies them where the rename fails
        // (always on Windows, whose lock keeps the file from being replaced).
        for (const auto& [name, bytes] : converted)
            if (name.ends_with(".backup") && bytes == Legacy(name)) whole.insert(name);
    }
    std::string Name(const std::string& path) const { return std::filesystem::path(path).filename().string(); }
    std::string Record() const { return files[0] + ".undo"; }
    const Bytes& Legacy(const std::string& backup) const {  // the backup's file, as it was
        return originals.at(backup.substr(0, backup.size() - std::strlen(".backup")));
    }
    bool LegacyHead(const std::string& backup, const Bytes& bytes) const {
        const Bytes& file = Legacy(backup);
        return bytes.size() <= file.size() && std::equal(bytes.begin(), bytes.end(), file.begin());
    }
    // The folder is `want`, except: where `want` is undone, a whole backup
    // may be the whole file or its head made again, as either way of putting
    // it back leaves; each backup in `cut` may be missing or hold any head of
    // its legacy file (a copy that stopped); each file in `loose` may be
    // missing or hold anything.
    void ExpectFolder(std::map<std::string, Bytes> want, const std::set<std::string>& cut,
                      const std::set<std::string>& loose = {}, bool undoneWant = true) {
        auto now = Snapshot(dir.Path());
        for (const std::string& name : whole)
            if (undoneWant && now.contains(name) && want.contains(name) && LegacyHead(name, now[name]) &&
                now[name].size() >= std::min<std::size_t>(NB_BACKUP_LENGTH, Legacy(name).size()))
                now[name] = want[name];
        for (const std::string& name : cut) {
            EXPECT_TRUE(!now.contains(name) || LegacyHead(name, now[name])) << name << " is more than a head of its file";
            now.erase(name), want.erase(name);
        }
        for (const std::string& name : loose) now.erase(name), want.erase(name);
        std::string wrong;
        for (const auto& [name, bytes] : want)
            if (!now.contains(name) || now[name] != bytes) wrong += (now.contains(name) ? " changed " : " missing ") + name;
        for (const auto& [name, bytes] : now) wrong += want.contains(name) ? "" : " new " + name;
        EXPECT_EQ(wrong, "") << "the folder is not as it must be";
    }
    // The folder as the faulted run must have left it, by what it said. A
    // removal whose folder could not be flushed is said to have failed, the
    // name gone or not; a journal that could not be written may be there,
    // or its first copy (~). A file put back by renaming its whole backup has
    // none until the undo ends; the one whose put-back failed holds anything.
    void ExpectLeft(const UndoVerdict& v, bool journalWrite) {
        std::map<std::string, Bytes> want = v.End == UndoVerdict::Undone ? undone : converted;
        std::set<std::string> cut = v.NotMade, loose;
        const bool partial = v.End == UndoVerdict::Partial;
        for (std::size_t k = 0; partial && k < files.size(); ++k) {
            if (k < v.PutBack) want[Name(files[k])] = originals.at(Name(files[k]));
            if (k == v.PutBack) loose.insert(Name(files[k]));
            if (k == v.PutBack || (k < v.PutBack && whole.contains(Name(files[k]) + ".backup")))
                cut.insert(Name(files[k]) + ".backup");
        }
        EXPECT_TRUE(!partial || Exists(Journal())) << "the journal is gone";
        if (partial && v.PutBack == files.size()) loose.insert(Name(Record()));
        if (partial || v.JournalKept || journalWrite) loose.insert(Name(Journal()));
        if (journalWrite) loose.insert(Name(Journal()) + "~");
        ExpectFolder(want, cut, loose, v.End == UndoVerdict::Undone);
    }
    // A plain nbundo on the real host ends in `undone`. Where the run before
    // had finished the undo, no journal or record left, it finds nothing to
    // do, and the folder may lack a whole backup's head the run did not make
    // again (or hold it cut short): the next conversion makes it, as it must.
    void ExpectRerunUndoes() {
        const bool finished = !Exists(Journal()) && !Exists(Record());
        const RunResult rerun = RunUndoInProcess(args);
        const std::vector<std::string> lines = Lines(rerun.Out), recovered {
            "nbundo: A run that did not finish was found; every file was restored from its backup",
            "nbundo: The image is in its legacy layout again; its backups are kept"};
        EXPECT_EQ(rerun.ExitCode, finished ? 2 : 0) << rerun.Out;
        EXPECT_TRUE(finished ? lines.size() == 2 && lines[0].starts_with("nbundo: There is no undo record [" + Record() + "]")
                             : lines == undoLines || lines == recovered)
            << rerun.Out;
        ExpectFolder(undone, finished ? whole : std::set<std::string> {});
        noRecord += finished;
        if (finished && Snapshot(dir.Path()) != undone) ExpectRerunConverts();
    }

    std::vector<std::string> undoLines;
    std::vector<HostCall> undoCalls;
    std::map<std::string, Bytes> undone;
    std::set<std::string> whole;
    std::size_t noRecord = 0;
};

TEST_P(UndoReliability, EveryFailedCallEndsInItsStageMessageAndTheRerunUndoes) {
    std::size_t ends[3] = {};
    const std::size_t injections = EveryFault(undoCalls, false, [&](const FaultPlan& plan) {
        PutBack(dir.Path(), converted);
        FaultHost host;
        host.Plan(plan);
        const RunResult run = (ScopedHost(host), RunUndoInProcess(args));
        ASSERT_TRUE(host.Fired());
        SCOPED_TRACE(run.Out);
        const UndoVerdict v = JudgeUndo(Lines(run.Out), files, Journal(), run.ExitCode);
        ASSERT_EQ(v.Problem, "");
        ++ends[v.End];
        ExpectLeft(v, run.Out.find("Could not write the journal") != std::string::npos);
        ExpectRerunUndoes();
    });
    if (HasFailure()) return;
    std::printf("[ undo sweep ] %s: %zu host calls, %zu injections: %zu kept the image, %zu put part of it back, %zu "
                "undid it (%zu reruns found nothing left to do)\n", GetParam().Name.c_str(), undoCalls.size(), injections,
                ends[0], ends[1], ends[2], noRecord);
}

// Killed or without power at host call n; then, from the same leftovers, a
// plain nbundo ends in `undone` and a plain converter in `converted` (a
// journal nbundo did not finish writing may stay beside it, as `.jnl~`).
TEST_P(UndoReliability, AKillOrPowerLossAnywhereIsFinishedByNbundoOrByTheConverter) {
    const std::size_t kills = EveryFault(undoCalls, true, [&](const FaultPlan& plan) {
        PutBack(dir.Path(), converted);
        const int status = ConverterChild(args, plan, ChildEntry::Undo).Wait();
        ASSERT_TRUE(EndedByCrash(status)) << "status " << status;
        const auto left = Snapshot(dir.Path());
        ExpectRerunUndoes();
        PutBack(dir.Path(), left);
        ExpectRerunConverts(left.contains(Name(Journal()) + "~") ? Name(Journal()) + "~" : "");
    });
    if (HasFailure()) return;
    std::printf("[ undo crash ] %s: %zu kills and power losses, each finished by nbundo (%zu found nothing left to do) "
                "and by the converter\n", GetParam().Name.c_str(), kills, noRecord);
}

// A second nbundo started while the first is stopped at host call n: it stops
// with 32 and changes nothing, or (the first not yet locked) undoes the image
// alone, and the first then finds nothing to undo; the image ends `undone`.
TEST_P(UndoReliability, ASecondUndoIsRefusedOrRunsAlone) {
    std::size_t pairs = 0, refused = 0;
    for (std::uint64_t n = 1; n <= undoCalls.size(); n += 3 * ChildRunStride()) {
        SCOPED_TRACE("first nbundo stopped at host call " + std::to_string(n));
        PutBack(dir.Path(), converted);
        ConverterChild first(args, {n, HostCall::Count, FaultKind::Stop, 0}, ChildEntry::Undo);
        ASSERT_TRUE(first.WaitStopped());
        const auto during = Snapshot(dir.Path());
        const RunResult second = RunUndo(args);
        // (2: the first had finished, and was letting its last lock go.)
        refused += second.ExitCode == 32;
        EXPECT_TRUE(second.ExitCode == 32 || second.ExitCode == 0 || (second.ExitCode == 2 && during == undone)) << second.Out;
        EXPECT_EQ(Snapshot(dir.Path()), second.ExitCode == 0 ? undone : during) << second.Out;
        first.Continue();
        first.Wait();
        ++pairs;
        ExpectFolder(undone, {});
        if (HasFailure()) return;
    }
    EXPECT_GT(refused, 0u);
    std::printf("[ undo pairs ] %s: %zu pairs, %zu second runs refused\n", GetParam().Name.c_str(), pairs, refused);
}

INSTANTIATE_TEST_SUITE_P(Images, UndoReliability, testing::ValuesIn(kImages), testing::PrintToStringParamName());

}  // namespace
