// The converter with a host that meets a planned fault, for the tests that
// need it in a process of its own where no fork is at hand (Windows):
//   nb_crash_child AT KIND FAULT CODE PERSISTENT MAPBASE DATABASE METADATABASE...
// (the fields of a FaultPlan, enums as numbers). A crash ends the process by
// CrashNow, a stop waits for the parent; a run that never meets the fault
// exits with 0.
#include <cstdlib>

#include "driver/driver.h"
#include "tests/support/fault_host.h"

int main(int argc, char** argv) {
    if (argc < 6) return 87;
    FaultPlan plan;
    plan.At = std::strtoull(argv[1], nullptr, 10);
    plan.Kind = static_cast<HostCall>(std::atoi(argv[2]));
    plan.Fault = static_cast<FaultKind>(std::atoi(argv[3]));
    plan.Code = static_cast<NbResult>(std::strtoul(argv[4], nullptr, 10));
    plan.Persistent = std::atoi(argv[5]) != 0;
    FaultHost host;
    host.Plan(plan);
    ScopedHost scoped(host);
    argv[5] = argv[0];
    NbConvertMain(argc - 5, argv + 5);
    return 0;
}
