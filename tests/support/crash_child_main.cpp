// The converter (or nbundo) with a host that meets a planned fault, for the
// tests that need it in a process of its own where no fork is at hand (Windows):
//   nb_crash_child AT KIND FAULT CODE FLAGS ENTRY MAPBASE DATABASE METADATABASE...
// (the fields of a FaultPlan, FLAGS 1 for Persistent and 2 for ShareByCopying,
// then the ChildEntry, enums as numbers). A crash
// ends the process by CrashNow, a stop waits for the parent; a run that never
// meets the fault exits with 0.
#include <cstdlib>

#include "driver/driver.h"
#include "driver/undo.h"
#include "tests/support/fault_host.h"
#include "tests/support/test_platform.h"

int main(int argc, char** argv) {
    if (argc < 7) return 87;
    FaultPlan plan;
    plan.At = std::strtoull(argv[1], nullptr, 10);
    plan.Kind = static_cast<HostCall>(std::atoi(argv[2]));
    plan.Fault = static_cast<FaultKind>(std::atoi(argv[3]));
    plan.Code = static_cast<NbResult>(std::strtoul(argv[4], nullptr, 10));
    plan.Persistent = (std::atoi(argv[5]) & 1) != 0;
    plan.ShareByCopying = (std::atoi(argv[5]) & 2) != 0;
    const bool undo = static_cast<ChildEntry>(std::atoi(argv[6])) == ChildEntry::Undo;
    FaultHost host;
    host.Plan(plan);
    ScopedHost scoped(host);
    argv[6] = argv[0];
    (undo ? NbUndoMain : NbConvertMain)(argc - 6, argv + 6);
    return 0;
}
