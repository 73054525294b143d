#include "platform/progress.h"

#include <cstring>

#include "platform/format.h"
#include "platform/host.h"

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
// Shorter work ends in a blink (well under a second on a disk): no line that
// would only flicker, and none for the many small maps of tests and fuzzing.
constexpr std::uint64_t kShownFrom = 16 * kMiB;

struct Progress {
    bool Active = false;        // work under way, and standard error is a terminal
    const char* What = "";
    std::uint64_t Total = 0, Done = 0;
    int Percent = -1;           // last drawn; -1 before the first
    std::size_t Shown = 0;      // characters on the screen now, 0 when cleared
};
Progress g_progress;

int PercentOf(std::uint64_t done, std::uint64_t total) {
    if (done >= total) return 100;
    // done * 100 cannot overflow below 2^57 bytes; past that a coarser sum does.
    return static_cast<int>(total < (1ull << 57) ? done * 100 / total : done / (total / 100));
}

void Draw() {
    Progress& p = g_progress;
    char line[160];
    line[0] = '\r';
    std::size_t n = NbFormat(line + 1, sizeof line - 1, "%s: %3d%%  %I64u of %I64u MiB", p.What, p.Percent,
                           p.Done / kMiB, p.Total / kMiB);
    if (n > sizeof line - 2) n = sizeof line - 2;
    std::size_t length = n + 1;
    // Blanks over what a longer earlier line left behind.
    while (n < p.Shown && length < sizeof line) line[length++] = ' ', ++n;
    NbHost().WriteStandardError(line, length);
    p.Shown = n;
}

}  // namespace

void NbProgressBegin(std::uint64_t total, const char* what) {
    NbProgressEnd();
    Progress& p = g_progress;
    p.Active = total >= kShownFrom && NbHost().StandardErrorIsTerminal();
    p.What = what != nullptr ? what : "";
    p.Total = total;
    p.Done = 0;
    p.Percent = -1;
    NbProgressAdvance(0);
}

void NbProgressAdvance(std::uint64_t bytes) {
    Progress& p = g_progress;
    if (!p.Active) return;
    p.Done = bytes > p.Total - p.Done ? p.Total : p.Done + bytes;
    const int percent = PercentOf(p.Done, p.Total);
    if (percent == p.Percent) return;
    p.Percent = percent;
    Draw();
}

void NbProgressEnd() {
    NbProgressInterrupt();
    g_progress.Active = false;
}

void NbProgressInterrupt() {
    Progress& p = g_progress;
    if (p.Shown == 0) return;
    char blank[162];
    const std::size_t n = p.Shown < sizeof blank - 2 ? p.Shown : sizeof blank - 2;
    blank[0] = '\r';
    std::memset(blank + 1, ' ', n);
    blank[n + 1] = '\r';
    NbHost().WriteStandardError(blank, n + 2);
    p.Shown = 0;
}
