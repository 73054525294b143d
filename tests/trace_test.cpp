// The trace line's format and filter, and the formatter that names and lines go through.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/format.h"
#include "platform/host.h"
#include "platform/trace.h"
#include "tests/support/fault_host.h"

namespace {

// Records standard error and answers the clock and thread questions with fixed values.
class CaptureHost final : public FaultHost {
public:
    std::vector<std::string> Writes;
    int ClockReads = 0;
    HostLocalTime Time {7, 9, 8, 5, 3, 42};
    std::uint32_t Thread = 300;
    void LocalTime(HostLocalTime* t) override { ++ClockReads; *t = Time; }
    std::uint32_t ThreadId() override { return Thread; }
    void WriteStandardError(const char* text, std::size_t length) override { Writes.emplace_back(text, length); }
};

class TraceTest : public ::testing::Test {
protected:
    CaptureHost host_;  // the level stays at its initial 1
    ScopedHost scope_ {host_};
};

TEST_F(TraceTest, PrefixShowsUnpaddedDateAndHourAndHexThread) {
    host_.Time = {12, 31, 0, 59, 9, 999};  // the rows below show 7/9 8:05:03.042 and thread 300
    host_.Thread = 0;
    EXPECT_EQ(NbTrace(0, NbTraceContext, "x %u\n", 5u), NB_OK);
    EXPECT_EQ(host_.Writes, (std::vector<std::string> {"12/31 0:59:09.999 0 Nb: ", "x 5\r\n"}));  // two writes
}

// The message, what the call returns, and what follows the prefix ("" when nothing may be written).
struct TraceCase { const char* name; std::uint32_t level; bool nullFormat; std::string message; NbResult code; std::string written; };
void PrintTo(const TraceCase& c, std::ostream* out) { *out << c.name; }
class TraceLine : public TraceTest, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(TraceLine, WritesOnlyWhatTheLevelAndLineEndRulesAllow) {
    const TraceCase& c = GetParam();
    EXPECT_EQ(c.nullFormat ? NbTrace(c.level, NbTraceContext, nullptr) : NbTrace(c.level, NbTraceContext, "%s", c.message.c_str()), c.code);
    const auto expected = c.written.empty() ? std::vector<std::string> {} : std::vector<std::string> {"7/9 8:05:03.042 12c Nb: ", c.written};
    EXPECT_TRUE(host_.Writes == expected) << (host_.Writes.empty() ? "" : host_.Writes.back().substr(0, 80));
    EXPECT_EQ(host_.ClockReads, c.written.empty() ? 0 : 1) << "a dropped line must not even read the clock";
}

const std::string k4094(4094, 'x');
INSTANTIATE_TEST_SUITE_P(Trace, TraceLine, ::testing::Values(
    TraceCase {"FinalLfBecomesCrLf", 0, false, "abc\n", 0, "abc\r\n"},
    TraceCase {"CrLfStays", 1, false, "abc\r\n", 0, "abc\r\n"},
    TraceCase {"LoneLfStays", 0, false, "\n", 0, "\n"},
    TraceCase {"NoLineEndStaysNone", 0, false, "abc", 0, "abc"},
    TraceCase {"OnlyTheFinalLfConverted", 0, false, "a\nb\r\n\n", 0, "a\nb\r\n\r\n"},
    TraceCase {"Full4095EndingLfGrowsTo4096", 0, false, k4094 + "\n", 0, k4094 + "\r\n"},
    TraceCase {"LongerIsCutTo4095Unconverted", 0, false, k4094 + "y\n", 0, k4094 + "y"},
    TraceCase {"FilteredLevel2", 2, false, "abc\n", 0, ""},
    TraceCase {"Level4Refused", 4, false, "abc\n", 87, ""},
    TraceCase {"LargestLevelRefused", 0xFFFFFFFFu, false, "abc\n", 87, ""},
    TraceCase {"NullFormatAtFilteredLevel", 2, true, "", 487, ""},
    TraceCase {"LevelTestBeforeFormatTest", 9, true, "", 87, ""}),
    ::testing::PrintToStringParamName());

// A recorder holds lines back and writes them, at their own levels, where the
// run replays them; a refusal is traced as ever and kept by the innermost
// collector; and however a scope ends, the trace routine is the one before it.
TEST_F(TraceTest, RecordedLinesAndRefusalsArriveWhereAndAsTheyShould) {
    const NbTraceRoutine before = NbTrace;
    NbRefusalCollector outer;
    {
        NbTraceRecorder recorder;
        NbTrace(0, NbTraceContext, "first %u\n", 1u);
        NbTrace(2, NbTraceContext, "filtered\n");
        {
            NbRefusalCollector inner;
            EXPECT_EQ(NbRefuse(3, "NbReader", 13, "Field [%s] is %I64u", "x", std::uint64_t {1} << 33), 13u);
            ASSERT_EQ(inner.Refusals().size(), 1u);
            EXPECT_EQ(inner.Refusals()[0].Routine, "NbReader");
            EXPECT_EQ(inner.Refusals()[0].Code, 13u);
            EXPECT_EQ(inner.Refusals()[0].Text, "Field [x] is 8589934592");
        }
        NbRefuse(0, "NbCheck", 13, "too large");
        { NbTraceRecorder dropped; NbTrace(0, NbTraceContext, "never\n"); }  // ends without a replay
        EXPECT_TRUE(host_.Writes.empty()) << host_.Writes[0];
        recorder.Stop();
        NbTrace(0, NbTraceContext, "after the stop\n");
        recorder.Replay();
        recorder.Replay();  // once only
    }
    EXPECT_EQ(NbTrace, before);
    std::vector<std::string> lines;
    for (std::size_t i = 1; i < host_.Writes.size(); i += 2) lines.push_back(host_.Writes[i]);
    EXPECT_EQ(lines, (std::vector<std::string> {"after the stop\r\n", "first 1\r\n", "*** NbCheck 13 too large\r\n"}));
    ASSERT_EQ(outer.Refusals().size(), 1u);
    EXPECT_EQ(outer.Refusals()[0].Text, "too large");
}

template <class... Args> std::string Format(const char* format, Args... args) {
    char text[256];
    EXPECT_EQ(NbFormatString(text, sizeof text, format, args...), NB_OK);
    return text;
}

TEST(Format, ConversionsPrintAlikeOnEveryHost) {
    struct Row { std::string got; const char* want; };
    const Row rows[] = {
        {Format("%I64u", std::uint64_t {18446744073709551615ull}), "18446744073709551615"},
        {Format("%I64d", std::int64_t {INT64_MIN}), "-9223372036854775808"}, {Format("%03d", 7), "007"},
        {Format("%I64d %u", std::int64_t {1} << 40, 7u), "1099511627776 7"},  // 64-bit argument fully consumed
        {Format("%p", reinterpret_cast<void*>(std::uintptr_t {0x1234abcd})), "000000001234ABCD"},
        {Format("[%s]", static_cast<const char*>(nullptr)), "[(null)]"}, {Format("%02d:%02d", 5, 42), "05:42"},
        {Format("0x%p", static_cast<void*>(nullptr)), "0x0000000000000000"}, {Format("%08x", 0xBEEFu), "0000beef"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.got, row.want);
}

// (Names cut at 511 characters give 206: the driver and path tests.)
TEST(Format, FormatStringCutsSilentlyAndNeverWritesPastTheBuffer) {
    char buffer[520];
    std::memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(NbFormatString(buffer, 512, "%s", std::string(600, 'a').c_str()), NB_OK);
    EXPECT_EQ(std::string(buffer), std::string(511, 'a'));
    EXPECT_EQ(std::string(buffer + 512, 8), "ZZZZZZZZ") << "written past the buffer";
}

}  // namespace
