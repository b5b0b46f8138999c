#include "app/alive.h"

#include "net/socket.h"

namespace norv {

void SendAlive(const Settings& settings, Log& log) {
  try {
    // A fresh socket each time: no state survives from one datagram to the
    // next, and the network is held only while the datagram is sent.
    Socket socket;
    socket.Protocol = 1;
    socket.SendDataTo(settings.Caption, "127.0.0.1", settings.UDP);
  } catch (...) {
    log.LogCaughtError("SendAlive");
  }
}

}  // namespace norv
