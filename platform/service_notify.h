// Tells the service manager how the service is doing (systemd's notify
// protocol when the service runs under it; nothing otherwise).
#ifndef NORV_PLATFORM_SERVICE_NOTIFY_H_
#define NORV_PLATFORM_SERVICE_NOTIFY_H_

namespace norv {

// Start-up has finished; the service is working.
void NotifyReady();
// The service is alive (resets the manager's watchdog).
void NotifyWatchdog();
// The service is shutting down.
void NotifyStopping();
// The settings are being reloaded; NotifyReady() ends the reload.
void NotifyReloading();

}  // namespace norv

#endif  // NORV_PLATFORM_SERVICE_NOTIFY_H_
