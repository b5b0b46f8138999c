// The process-wide start-up of the network layer, shared by every socket
// object and look-up: the layer is started when the first user arrives and
// cleaned up when the last one leaves. Single-threaded (the loop's thread).
#ifndef NORV_NET_NETWORK_ENV_H_
#define NORV_NET_NETWORK_ENV_H_

namespace norv {

// Counts one more user, starting the network layer when the count was 0. A
// failed start is written to the standard error ("Winsock is not installed
// or Setup properly.") and the count still goes up, so the caller goes on
// and fails at socket creation.
void AcquireNetwork();
// Counts one user less; the layer is cleaned up when the count reaches 0.
void ReleaseNetwork();
// The number of current users: 0 means the layer is not started.
int NetworkStartupCount();

// Holds the network layer for the life of the object.
class ScopedNetwork {
 public:
  ScopedNetwork() { AcquireNetwork(); }
  ~ScopedNetwork() { ReleaseNetwork(); }
  ScopedNetwork(const ScopedNetwork&) = delete;
  ScopedNetwork& operator=(const ScopedNetwork&) = delete;
};

}  // namespace norv

#endif  // NORV_NET_NETWORK_ENV_H_
