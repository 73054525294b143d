// The trace log: every routine reports entry, exit and failures here, as
// lines of a level; lines above NbTraceLevel are dropped, the rest go to
// standard error with a time-stamped prefix.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"

using NbTraceRoutine = NbResult (*)(std::uint32_t level, void* context, const char* format, ...);

inline constexpr std::uint32_t NB_TRACE_ERROR = 0;   // failures, inconsistent data
inline constexpr std::uint32_t NB_TRACE_WARNING = 1; // failures the caller tolerates
inline constexpr std::uint32_t NB_TRACE_FLOW = 2;    // entry and exit lines
inline constexpr std::uint32_t NB_TRACE_DETAIL = 3;  // parameters a step proceeds with

extern std::uint32_t NbTraceLevel;
extern void* NbTraceContext;
extern NbTraceRoutine NbTrace;

NbResult NbTraceWrite(std::uint32_t level, void* context, const char* format, ...);

// Writes "--- name (line #n) code": at the flow level for success, as an
// error otherwise; returns the code so that a return can wrap it.
// (It hands back its argument, as NbRefuse does: neither result needs a
// look, so neither is [[nodiscard]].)
NbResult NbTraceExit(const char* name, int line, NbResult code);

// Writes no trace line while it lives, and puts the routine back after:
// for the project's own probes, whose failures a later step reports.
class NbQuietTrace {
public:
    NbQuietTrace();
    ~NbQuietTrace();
    NbQuietTrace(const NbQuietTrace&) = delete;
    NbQuietTrace& operator=(const NbQuietTrace&) = delete;

private:
    NbTraceRoutine saved_;
};

// Keeps the trace lines written while it lives instead of writing them, for
// a step whose report belongs later in the run; Replay writes them then (at
// the levels they were written at), and what is not replayed is dropped.
class NbTraceRecorder {
public:
    NbTraceRecorder();
    ~NbTraceRecorder();
    NbTraceRecorder(const NbTraceRecorder&) = delete;
    NbTraceRecorder& operator=(const NbTraceRecorder&) = delete;
    // Ends the recording; what was kept stays for Replay.
    void Stop();
    // Ends the recording (when it has not ended) and writes what it kept.
    void Replay();

private:
    friend NbResult NbTraceRecord(std::uint32_t, void*, const char*, ...);
    struct Line {
        std::uint32_t Level;
        std::string Text;
    };
    NbTraceRoutine saved_;
    NbTraceRecorder* outer_;
    bool recording_ = true;
    std::vector<Line> lines_;
};

// Why a step refuses what it was given, as a value: the routine, its code,
// and the words of its trace line.
struct NbRefusal {
    std::string Routine;
    NbResult Code;
    std::string Text;
};

// Refuses: writes "*** routine code text" at level and hands the refusal to
// the innermost collector alive, if any. Returns code. The format is the
// system's own (platform/format.h).
NbResult NbRefuse(std::uint32_t level, const char* routine, NbResult code, const char* format, ...);

// While it lives, every refusal is kept in its list (the innermost one of
// nested collectors keeps it), whether or not the trace writes it.
class NbRefusalCollector {
public:
    NbRefusalCollector();
    ~NbRefusalCollector();
    NbRefusalCollector(const NbRefusalCollector&) = delete;
    NbRefusalCollector& operator=(const NbRefusalCollector&) = delete;
    std::vector<NbRefusal>& Refusals() { return refusals_; }

private:
    friend NbResult NbRefuse(std::uint32_t, const char*, NbResult, const char*, ...);
    NbRefusalCollector* outer_;
    std::vector<NbRefusal> refusals_;
};

#define NB_RETURN(name, code) return NbTraceExit((name), __LINE__, (code))
