// The MLLP server: accepts TCP (or TLS) connections from the addresses the
// allow list names, cuts each connection's bytes into messages, stores them
// through the inbound spool and answers each with an HL7 acknowledgement
// once its file is durable. Several connections at once; messages pipelined
// on one connection are answered in the order they arrived. Messages that
// arrive together (on one connection or several) are stored as one batch,
// sharing the folder sync.
//
// Runs on the EventLoop it is given, single-threaded, on non-blocking
// sockets through the socket library's system layer and its TLS calls (the
// Socket object suits single connections: its sends spin while the peer
// does not read, its TLS accept blocks the loop for the whole hand-shake,
// and its listener always binds every address). Nothing is raised to the
// owner; what happens is told through ReceiverLog.
#ifndef NORV_RECEIVE_RECEIVER_H_
#define NORV_RECEIVE_RECEIVER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "net/address_allow_list.h"
#include "net/network_env.h"
#include "platform/event_loop.h"
#include "receive/inbound_spool.h"

namespace norv {

struct ReceiverConfig {
  std::uint32_t bind_address = 0x7F000001;  // host order; 127.0.0.1
  std::uint16_t port = 0;                   // 0: any free port
  AddressAllowList allow;                   // peers outside it are closed at once
  std::size_t max_message = 16 * 1024 * 1024;  // larger messages: AR and close
  // A connection that completes no message for this long is closed (this
  // also bounds the TLS hand-shake and peers that send a byte now and then).
  std::chrono::milliseconds idle_timeout{300000};
  // TLS when the certificate is set: PEM texts of certificate (and chain)
  // and key; a PEM trust file makes client certificates mandatory.
  std::string tls_certificate, tls_key, tls_client_ca_file;
  // Further connections, in all or from one address, are closed at once.
  std::size_t max_connections = 32;
  std::size_t max_per_peer = 8;
  // For the log: the hours the spool's record counts a message as seen.
  std::int64_t duplicate_window_hours = 0;
};

// One answered message: who sent it, what it was, what it was answered and
// the inbound file it became (empty when it was not stored).
struct ReceivedMessage {
  std::int64_t at = 0;  // Unix seconds of the answer
  std::string peer;     // "address:port"
  std::string sending_application, sending_facility, event, control_id;  // MSH-3, -4, -9, -10
  std::string answer;   // "AA", "AE" or "AR"
  std::string reason;   // why not AA
  std::string file;
};

// Where the receiver reports; any may be empty. Error lines are for the
// error log (number, description, source), debug lines for the debug log;
// `received` is told of every answer, `answered` once after each batch of
// answers (what they throw is ignored).
struct ReceiverLog {
  std::function<void(std::int32_t number, const std::string& description,
                     const std::string& source)> error;
  std::function<void(const std::string& text)> debug;
  std::function<void(const ReceivedMessage& message)> received;
  std::function<void()> answered;
};

class Receiver {
 public:
  // `loop` and `spool` must outlive the receiver.
  Receiver(EventLoop& loop, ReceiverConfig config, InboundSpool& spool, ReceiverLog log);
  // Closes every connection without answering what is still pending.
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Binds and listens. False, with the reason in *error, when the address
  // cannot be bound.
  bool Start(std::string* error);
  // The port listened on (after Start).
  std::uint16_t port() const { return port_; }

  // Stops accepting; stores and acknowledges every complete message already
  // received (including what waits in the system's buffers), runs the loop
  // until the acknowledgements are sent or `limit` has passed, and closes
  // every connection.
  void Shutdown(std::chrono::milliseconds limit);

  std::size_t connection_count() const { return connections_.size(); }
  // Messages answered AA without being written, as stored before.
  std::uint64_t duplicates() const { return duplicates_; }

 private:
  using SteadyTime = std::chrono::steady_clock::time_point;
  struct Connection;
  struct Pending;

  void OnListenerReady();
  void OnConnectionReady(std::uint64_t id, unsigned events);
  void Handshake(Connection& c);
  // Each returns false when it closed the connection.
  bool ReadAvailable(Connection& c);
  bool Flush(Connection& c);
  void UpdateWatch(Connection& c);
  void Close(std::uint64_t id, const std::string& why);
  void ScheduleCommit();
  void Commit();
  void SweepIdle();
  void ResumeReading();
  std::string NextAckId();
  void LogLimited(std::uint32_t address, const std::string& text);
  void Error(std::int32_t number, const std::string& text);
  void Debug(const std::string& text);

  EventLoop& loop_;
  ReceiverConfig config_;
  InboundSpool& spool_;
  ReceiverLog log_;
  ScopedNetwork network_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::map<std::uint64_t, std::unique_ptr<Connection>> connections_;
  std::uint64_t next_id_ = 1;
  EventLoop::TimerId commit_timer_ = 0;
  EventLoop::TimerId retry_timer_ = 0;
  EventLoop::TimerId sweep_timer_ = 0;
  bool shutting_down_ = false;
  std::set<std::uint32_t> refused_logged_;
  std::map<std::uint32_t, std::size_t> per_peer_;  // open connections by address
  // By address: when a limit refusal was last logged, refusals since.
  std::map<std::uint32_t, std::pair<SteadyTime, std::uint64_t>> limit_logged_;
  std::string ack_prefix_;
  std::uint64_t ack_sequence_ = 0;
  std::uint64_t duplicates_ = 0;
};

}  // namespace norv

#endif  // NORV_RECEIVE_RECEIVER_H_
