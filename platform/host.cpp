#include "platform/host.h"

namespace {

Host* g_host = nullptr;  // null: the real host of this machine

}  // namespace

Host& NbHost() { return g_host != nullptr ? *g_host : NbSystemHost(); }

Host* NbSetHost(Host* host) {
    Host* previous = &NbHost();
    g_host = host;
    return previous;
}
