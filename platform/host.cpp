#include "platform/host.h"

namespace {

Host* g_host = nullptr;  // null: the real host of this machine

}  // namespace

namespace {

// In the order of HostCall.
const char* const kCallNames[] = {"Open", "Close", "Read", "Write", "Size", "DeviceCapacity", "Flush",
                                  "SyncDirectory", "Rename", "Remove", "PageAlloc", "PageFree", "CreateGuid",
                                  "Truncate", "Lock", "Identity", "Ownership", "ResolveLink", "Replace",
                                  "CopyRange", "Inspect", "ShareRange"};
static_assert(sizeof kCallNames / sizeof kCallNames[0] == static_cast<std::size_t>(HostCall::Count),
              "every kind of host call has its name");

}  // namespace

const char* NbHostCallName(HostCall kind) {
    const auto i = static_cast<std::size_t>(kind);
    return i < static_cast<std::size_t>(HostCall::Count) ? kCallNames[i] : "?";
}

Host& NbHost() { return g_host != nullptr ? *g_host : NbSystemHost(); }

Host* NbSetHost(Host* host) {
    Host* previous = &NbHost();
    g_host = host;
    return previous;
}
