#include "platform/trace.h"

#include <cstdarg>
#include <utility>

#include "platform/format.h"
#include "platform/host.h"
#include "platform/progress.h"

std::uint32_t NbTraceLevel = 1;
void* NbTraceContext = nullptr;
NbTraceRoutine NbTrace = NbTraceWrite;

NbResult NbTraceWrite(std::uint32_t level, void* /*context*/, const char* format, ...) {
    if (level > 3) return NB_INVALID_PARAMETER;
    if (format == nullptr) return NB_INVALID_ADDRESS;
    if (level > NbTraceLevel) return NB_OK;

    NbProgressInterrupt();  // a line starts at the left edge, never behind a progress line
    Host& host = NbHost();
    HostLocalTime now {};
    host.LocalTime(&now);
    char line[4096];
    const std::size_t prefix = NbFormat(line, sizeof line, "%d/%d %d:%02d:%02d.%03d %x %s: ", now.Month, now.Day,
                                            now.Hour, now.Minute, now.Second, now.Millisecond, host.ThreadId(), "Nb");
    host.WriteStandardError(line, prefix < sizeof line ? prefix : sizeof line - 1);

    va_list args;
    va_start(args, format);
    std::size_t n = NbVFormat(line, sizeof line, format, args);
    va_end(args);
    if (n >= sizeof line) {
        n = sizeof line - 1;  // cut: written as it stands, no line-end conversion
    } else if (n >= 2 && line[n - 1] == '\n' && line[n - 2] != '\r') {
        // The terminating zero's place takes the LF; the line ends in CR LF.
        line[n - 1] = '\r';
        line[n] = '\n';
        ++n;
    }
    host.WriteStandardError(line, n);
    return NB_OK;
}

NbResult NbTraceExit(const char* name, int line, NbResult code) {
    NbTrace(code == NB_OK ? NB_TRACE_FLOW : NB_TRACE_ERROR, NbTraceContext, "--- %s (line #%d) %u\n", name, line, code);
    return code;
}

namespace {

[[nodiscard]] NbResult Quiet(std::uint32_t, void*, const char*, ...) { return NB_OK; }

}  // namespace

NbQuietTrace::NbQuietTrace() : saved_(NbTrace) { NbTrace = Quiet; }
NbQuietTrace::~NbQuietTrace() { NbTrace = saved_; }

namespace {

NbTraceRecorder* g_recorder = nullptr;
NbRefusalCollector* g_collector = nullptr;

}  // namespace

NbResult NbTraceRecord(std::uint32_t level, void*, const char* format, ...) {
    if (g_recorder == nullptr || format == nullptr) return NB_OK;
    char line[4096];
    va_list args;
    va_start(args, format);
    NbVFormat(line, sizeof line, format, args);
    va_end(args);
    g_recorder->lines_.push_back({level, line});
    return NB_OK;
}

NbTraceRecorder::NbTraceRecorder() : saved_(NbTrace), outer_(g_recorder) {
    g_recorder = this;
    NbTrace = NbTraceRecord;
}

NbTraceRecorder::~NbTraceRecorder() { Stop(); }

void NbTraceRecorder::Stop() {
    if (!recording_) return;
    recording_ = false;
    NbTrace = saved_;
    g_recorder = outer_;
}

void NbTraceRecorder::Replay() {
    Stop();
    for (const Line& line : std::exchange(lines_, {})) NbTrace(line.Level, NbTraceContext, "%s", line.Text.c_str());
}

NbResult NbRefuse(std::uint32_t level, const char* routine, NbResult code, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    NbVFormat(text, sizeof text, format, args);
    va_end(args);
    NbTrace(level, NbTraceContext, "*** %s %u %s\n", routine, code, text);
    if (g_collector != nullptr) g_collector->refusals_.push_back({routine, code, text});
    return code;
}

NbRefusalCollector::NbRefusalCollector() : outer_(g_collector) { g_collector = this; }
NbRefusalCollector::~NbRefusalCollector() { g_collector = outer_; }
