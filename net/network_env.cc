#include "net/network_env.h"

#include <cstdint>

#include "app/log.h"
#include "net/socket_api.h"

namespace norv {
namespace {

std::int16_t g_startup_count = 0;

}  // namespace

void AcquireNetwork() {
  if (g_startup_count == 0) {
    int error = 0;
    if (!netsys::Startup(&error)) {
      // The service runs unattended: nobody could answer a message box.
      WriteErrorLog(error, "Winsock is not installed or Setup properly.", "Winsock Error");
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
