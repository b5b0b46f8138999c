#include "net/network_env.h"

#include <cstdint>
#include <cstdio>

#include "net/socket_api.h"

namespace norv {
namespace {

std::int16_t g_startup_count = 0;

}  // namespace

void AcquireNetwork() {
  if (g_startup_count == 0) {
    int error = 0;
    if (!netsys::Startup(&error)) {
      // The service runs unattended: nobody could answer a message box, and
      // the network layer has no log of its own; the service manager's
      // journal keeps what goes to the standard error.
      std::fprintf(stderr, "Winsock Error %d: Winsock is not installed or Setup properly.\n",
                   error);
    }
  }
  ++g_startup_count;
}

void ReleaseNetwork() {
  if (g_startup_count <= 0) return;
  if (--g_startup_count == 0) netsys::Cleanup();
}

int NetworkStartupCount() { return g_startup_count; }

}  // namespace norv
