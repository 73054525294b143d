// The trace log: every routine reports entry, exit and failures here, as
// lines of a level; lines above NbTraceLevel are dropped, the rest go to
// standard error with a time-stamped prefix.
#pragma once
#include <cstdint>

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

#define NB_RETURN(name, code) return NbTraceExit((name), __LINE__, (code))
