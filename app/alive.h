// The alive heartbeat: one UDP datagram carrying the Caption setting, sent to
// 127.0.0.1 on the UDP setting's port, so that a supervising process on the
// same host can tell that this instance is running. MainForm's TimerAlive
// sends it every five seconds. Runs on the loop's thread.
#ifndef NORV_APP_ALIVE_H_
#define NORV_APP_ALIVE_H_

#include "core/log.h"
#include "core/settings.h"

namespace norv {

// Sends one alive datagram: the Caption bytes exactly, nothing added. An
// empty Caption sends nothing; a missing receiver or a refused send goes
// unnoticed. Errors are logged with the source "SendAlive", never raised.
void SendAlive(const Settings& settings, Log& log);

}  // namespace norv

#endif  // NORV_APP_ALIVE_H_
