// The progress line of long work (moving, backing up and compacting a map):
// one line on standard error, rewritten in place with CR as whole percents
// pass, and cleared when the work ends or before any other output. Only when
// standard error is a terminal; otherwise nothing is written, so logs and the
// trace lines stay as they are.
#pragma once
#include <cstdint>

// Starts the line for work of total bytes, named by what ("Moving map");
// work of less than 16 MiB shows none.
void NbProgressBegin(std::uint64_t total, const char* what);
// Counts bytes done; redraws the line when the whole percent changes, so a
// run writes at most about a hundred lines however small its steps.
void NbProgressAdvance(std::uint64_t bytes);
// Clears the line and ends the work; nothing when no work is under way.
void NbProgressEnd();
// Clears the line, if one is shown, so that other output starts at the left
// edge; the work goes on and its next percent draws the line again.
void NbProgressInterrupt();

// Begins on construction and ends on destruction: every return of a step
// clears its line.
class NbProgressScope {
public:
    NbProgressScope(std::uint64_t total, const char* what) { NbProgressBegin(total, what); }
    ~NbProgressScope() { NbProgressEnd(); }
    NbProgressScope(const NbProgressScope&) = delete;
    NbProgressScope& operator=(const NbProgressScope&) = delete;
};
