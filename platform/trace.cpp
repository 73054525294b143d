#include "platform/trace.h"

#include <cstdarg>

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

NbResult Quiet(std::uint32_t, void*, const char*, ...) { return NB_OK; }

}  // namespace

NbQuietTrace::NbQuietTrace() : saved_(NbTrace) { NbTrace = Quiet; }
NbQuietTrace::~NbQuietTrace() { NbTrace = saved_; }
