// The trace line format and filter, and the formatter every name and line
// goes through.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "platform/format.h"
#include "platform/host.h"
#include "platform/trace.h"
#include "tests/support/fault_host.h"

namespace {

// Records what reaches standard error and answers the clock and thread
// questions with fixed values; everything else goes to the real host.
class CaptureHost final : public Host {
public:
    std::vector<std::string> Writes;
    int ClockReads = 0;
    HostLocalTime Time {7, 9, 8, 5, 3, 42};
    std::uint32_t Thread = 300;

    NbResult Open(const char* n, bool e, std::uint32_t a, std::uint32_t s, std::uint32_t f, HostHandle* o) override { return r_.Open(n, e, a, s, f, o); }
    NbResult Close(HostHandle h) override { return r_.Close(h); }
    NbResult Read(HostHandle h, void* b, std::uint32_t c, std::uint32_t* d) override { return r_.Read(h, b, c, d); }
    NbResult Write(HostHandle h, const void* b, std::uint32_t c, std::uint32_t* d) override { return r_.Write(h, b, c, d); }
    NbResult Seek(HostHandle h, std::uint64_t o) override { return r_.Seek(h, o); }
    NbResult Size(HostHandle h, std::uint64_t* s) override { return r_.Size(h, s); }
    NbResult DeviceCapacity(HostHandle h, std::uint64_t* b) override { return r_.DeviceCapacity(h, b); }
    NbResult Flush(HostHandle h) override { return r_.Flush(h); }
    NbResult SyncDirectory(const char* n) override { return r_.SyncDirectory(n); }
    NbResult Rename(const char* a, const char* b) override { return r_.Rename(a, b); }
    NbResult Remove(const char* n) override { return r_.Remove(n); }
    NbResult PageAlloc(std::size_t s, void** a) override { return r_.PageAlloc(s, a); }
    NbResult PageFree(void* a) override { return r_.PageFree(a); }
    NbResult CreateGuid(HostGuid* g) override { return r_.CreateGuid(g); }
    void LocalTime(HostLocalTime* t) override { ++ClockReads; *t = Time; }
    std::uint32_t ThreadId() override { return Thread; }
    void WriteStandardError(const char* text, std::size_t length) override { Writes.emplace_back(text, length); }

private:
    Host& r_ = NbSystemHost();
};

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override { NbTraceLevel = 1; }
    void TearDown() override { NbTraceLevel = 1; }
    CaptureHost host_;
    ScopedHost scope_ {host_};
};

TEST_F(TraceTest, PrefixShowsUnpaddedDateAndHourAndHexThread) {
    struct Row { HostLocalTime time; std::uint32_t thread; const char* prefix; };
    const Row rows[] = {
        {{7, 9, 8, 5, 3, 42}, 300, "7/9 8:05:03.042 12c Nb: "},
        {{12, 31, 23, 59, 59, 999}, 0xABCDEF, "12/31 23:59:59.999 abcdef Nb: "},
        {{1, 1, 0, 0, 0, 0}, 0, "1/1 0:00:00.000 0 Nb: "},
    };
    for (const Row& row : rows) {
        host_.Writes.clear();
        host_.Time = row.time;
        host_.Thread = row.thread;
        EXPECT_EQ(NbTrace(0, NbTraceContext, "x %u\n", 5u), NB_OK);
        ASSERT_EQ(host_.Writes.size(), 2u);  // prefix and message: two writes
        EXPECT_EQ(host_.Writes[0], row.prefix);
        EXPECT_EQ(host_.Writes[1], "x 5\r\n");
    }
}

struct TraceCase {
    const char* name;
    std::uint32_t level;
    bool nullFormat;
    std::string message;
    NbResult code;
    bool written;
    std::string expected;  // what follows the prefix
};

class TraceLine : public TraceTest, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(TraceLine, WritesOnlyWhatTheLevelAndLineEndRulesAllow) {
    const TraceCase& c = GetParam();
    const NbResult code = c.nullFormat ? NbTrace(c.level, NbTraceContext, nullptr)
                                       : NbTrace(c.level, NbTraceContext, "%s", c.message.c_str());
    EXPECT_EQ(code, c.code);
    if (!c.written) {
        EXPECT_TRUE(host_.Writes.empty());
        EXPECT_EQ(host_.ClockReads, 0) << "a dropped line must not read the clock";
        return;
    }
    ASSERT_EQ(host_.Writes.size(), 2u);
    EXPECT_EQ(host_.Writes[0], "7/9 8:05:03.042 12c Nb: ");
    EXPECT_EQ(host_.Writes[1].size(), c.expected.size());
    EXPECT_TRUE(host_.Writes[1] == c.expected);
}

const std::string k4094(4094, 'x');
INSTANTIATE_TEST_SUITE_P(Trace, TraceLine, ::testing::Values(
    TraceCase {"FinalLfBecomesCrLf", 0, false, "abc\n", 0, true, "abc\r\n"},
    TraceCase {"CrLfStays", 1, false, "abc\r\n", 0, true, "abc\r\n"},
    TraceCase {"LoneLfStays", 0, false, "\n", 0, true, "\n"},
    TraceCase {"NoLineEndStaysNone", 0, false, "abc", 0, true, "abc"},
    TraceCase {"InnerLfStays", 0, false, "a\nb\n", 0, true, "a\nb\r\n"},
    TraceCase {"CrLfInsideOnlyFinalConverted", 0, false, "a\r\n\n", 0, true, "a\r\n\r\n"},
    TraceCase {"Full4095EndingLfGrowsTo4096", 0, false, k4094 + "\n", 0, true, k4094 + "\r\n"},
    TraceCase {"Exactly4095NoLf", 0, false, k4094 + "y", 0, true, k4094 + "y"},
    TraceCase {"LongerIsCutTo4095Unconverted", 0, false, k4094 + "y\n", 0, true, k4094 + "y"},
    TraceCase {"MuchLongerIsCut", 0, false, std::string(9000, 'z') + "\n", 0, true, std::string(4095, 'z')},
    TraceCase {"FilteredLevel2", 2, false, "abc\n", 0, false, ""},
    TraceCase {"FilteredLevel3", 3, false, "abc\n", 0, false, ""},
    TraceCase {"Level4Refused", 4, false, "abc\n", 87, false, ""},
    TraceCase {"LargestLevelRefused", 0xFFFFFFFFu, false, "abc\n", 87, false, ""},
    TraceCase {"NullFormat", 0, true, "", 487, false, ""},
    TraceCase {"NullFormatAtFilteredLevel", 2, true, "", 487, false, ""},
    TraceCase {"LevelTestBeforeFormatTest", 9, true, "", 87, false, ""}),
    [](const ::testing::TestParamInfo<TraceCase>& info) { return std::string(info.param.name); });

TEST_F(TraceTest, RaisedLevelLetsFlowLinesThrough) {
    NbTraceLevel = 3;
    EXPECT_EQ(NbTrace(3, NbTraceContext, "+++ %s\n", "f"), NB_OK);
    ASSERT_EQ(host_.Writes.size(), 2u);
    EXPECT_EQ(host_.Writes[1], "+++ f\r\n");
}

std::string Format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    NbVFormat(text, sizeof text, format, args);
    va_end(args);
    return text;
}

TEST(Format, ConversionsPrintAlikeOnEveryHost) {
    struct Row { std::string got; const char* want; };
    const Row rows[] = {
        {Format("%I64u", std::uint64_t {18446744073709551615ull}), "18446744073709551615"},
        {Format("%I64d", std::int64_t {-5}), "-5"},
        {Format("%I64d", std::int64_t {INT64_MIN}), "-9223372036854775808"},
        {Format("%I64d %u", std::int64_t {1} << 40, 7u), "1099511627776 7"},  // 64-bit argument fully consumed
        {Format("%p", reinterpret_cast<void*>(std::uintptr_t {0x1234abcd})), "000000001234ABCD"},
        {Format("0x%p", static_cast<void*>(nullptr)), "0x0000000000000000"},
        {Format("[%s]", static_cast<const char*>(nullptr)), "[(null)]"},
        {Format("%02d:%02d", 5, 42), "05:42"},
        {Format("%03d", 7), "007"},
        {Format("%02d", 123), "123"},
        {Format("%08x", 0xBEEFu), "0000beef"},
        {Format("%x", 0xFFFFFFFFu), "ffffffff"},
        {Format("%d", -1), "-1"},
        {Format("%u", 0xFFFFFFFFu), "4294967295"},
        {Format("100%% %s.nbbitmap", "img"), "100% img.nbbitmap"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.got, row.want);
}

TEST(Format, FormatStringCutsAtSizeMinusOneAndNeverWritesPast) {
    char buffer[520];
    std::fill(std::begin(buffer), std::end(buffer), 'Z');
    const std::string text(600, 'a');
    EXPECT_EQ(NbFormatString(buffer, 512, "%s", text.c_str()), NB_OK);
    EXPECT_EQ(std::string(buffer), std::string(511, 'a'));
    for (int i = 512; i < 520; ++i) EXPECT_EQ(buffer[i], 'Z') << i;
    EXPECT_EQ(NbFormatString(buffer, 1, "%s", "abc"), NB_OK);
    EXPECT_EQ(buffer[0], '\0');
}

TEST(Format, NullBufferOrFormatIs487AndStoresNothing) {
    char buffer[8] = "keep";
    EXPECT_EQ(NbFormatString(nullptr, 8, "%s", "x"), NB_INVALID_ADDRESS);
    EXPECT_EQ(NbFormatString(buffer, 8, nullptr), NB_INVALID_ADDRESS);
    EXPECT_EQ(NbFormatName(nullptr, 8, "%s", "x"), NB_INVALID_ADDRESS);
    EXPECT_EQ(NbFormatName(buffer, 8, nullptr), NB_INVALID_ADDRESS);
    EXPECT_STREQ(buffer, "keep");
}

TEST(Format, NameThatDoesNotFitIs206) {
    char buffer[512];
    EXPECT_EQ(NbFormatName(buffer, 512, "%s.backup", std::string(504, 'n').c_str()), NB_OK);  // 511 chars fit
    EXPECT_EQ(std::string(buffer).size(), 511u);
    EXPECT_EQ(NbFormatName(buffer, 512, "%s.backup", std::string(505, 'n').c_str()), NB_NAME_TOO_LONG);
}

}  // namespace
