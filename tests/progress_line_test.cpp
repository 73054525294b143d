// The progress line on its own, through a host whose standard error is (or
// is not) a terminal: trace lines never start behind it, and short work or a
// redirected standard error shows none. progress_test.cpp watches it on a
// real terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/progress.h"
#include "platform/trace.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_support.h"

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

class TerminalHost final : public ForwardingHost {
public:
    explicit TerminalHost(bool terminal) : ForwardingHost(NbSystemHost()), terminal_(terminal) {}
    void WriteStandardError(const char* text, std::size_t length) override { Writes.emplace_back(text, length); }
    bool StandardErrorIsTerminal() override { return terminal_; }
    std::string All() const {
        std::string all;
        for (const std::string& w : Writes) all += w;
        return all;
    }
    std::vector<std::string> Writes;

private:
    bool terminal_;
};

TEST(ProgressLine, ATraceLineStartsAtTheLeftEdgeAndTheLineComesBack) {
    TerminalHost host(true);
    ScopedHost scope(host);
    NbProgressBegin(100 * kMiB, "Moving map");
    NbProgressAdvance(50 * kMiB);
    NbTrace(NB_TRACE_ERROR, NbTraceContext, "failed\n");
    NbProgressAdvance(kMiB);
    std::vector<std::string> screen = TerminalScreen(host.All());
    ASSERT_EQ(screen.size(), 2u) << host.All();
    EXPECT_TRUE(screen[0].ends_with(" Nb: failed") && screen[0].find("map") == std::string::npos) << screen[0];
    EXPECT_EQ(screen[1], "Moving map:  51%  51 of 100 MiB");
    NbProgressEnd();
    screen = TerminalScreen(host.All());
    EXPECT_EQ(screen.size(), 1u) << "the progress line is cleared, the trace line stays";
}

TEST(ProgressLine, NothingWhenStandardErrorIsNoTerminalOrTheWorkIsShort) {
    for (const auto& [terminal, total] : {std::pair {false, 100 * kMiB}, {true, 16 * kMiB - 1}}) {
        TerminalHost host(terminal);
        ScopedHost scope(host);
        NbProgressBegin(total, "Moving map");
        NbProgressAdvance(total / 2);
        NbProgressAdvance(total);
        NbProgressEnd();
        EXPECT_TRUE(host.Writes.empty()) << terminal << " " << total;
    }
}

}  // namespace
