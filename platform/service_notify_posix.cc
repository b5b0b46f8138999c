#include "platform/service_notify.h"

#include <systemd/sd-daemon.h>

namespace norv {

// sd_notify does nothing (returns 0) when NOTIFY_SOCKET is not set, so these
// are safe to call from a service started by hand or from the tests.
void NotifyReady() { sd_notify(0, "READY=1"); }
void NotifyWatchdog() { sd_notify(0, "WATCHDOG=1"); }
void NotifyStopping() { sd_notify(0, "STOPPING=1"); }
void NotifyReloading() { sd_notify(0, "RELOADING=1"); }

}  // namespace norv
