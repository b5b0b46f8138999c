#include "receive/receiver.h"

#include <algorithm>
#include <ctime>
#include <deque>
#include <limits>
#include <vector>

#include "core/error.h"
#include "core/seen_messages.h"
#include "net/lookup.h"
#include "net/socket_api.h"
#include "net/socket_errors.h"
#include "net/tls.h"
#include "platform/system.h"
#include "receive/hl7_ack.h"
#include "receive/mllp_framer.h"

namespace norv {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 65536;
// Per connection: complete messages not yet answered, and answers not yet
// sent, before the connection is no longer read from.
constexpr std::size_t kMaxPendingMessages = 256;
constexpr std::size_t kMaxUnsentBytes = 1 << 20;
// What the acknowledgement of a refused, oversized message needs of it.
constexpr std::size_t kOversizeHeaderBytes = 65536;
// Deep enough for a burst of connections (a flood, or every sender of a site
// reconnecting after a restart): a full queue drops an allowed sender's
// connect, which the sender's system retries only a second later. Those
// beyond the limits are accepted and closed at once, so the queue drains fast.
constexpr int kListenBacklog = 1024;
constexpr int kAcceptsPerEvent = 32;
constexpr std::size_t kRefusedLogLimit = 1024;
constexpr std::chrono::minutes kLimitLogInterval{1};
constexpr std::chrono::milliseconds kWaitingRetry{1000};
constexpr std::chrono::milliseconds kAcceptPause{1000};
constexpr std::int32_t kErrReceiver = -1;

std::string TlsText(void (*get)(std::int32_t, char*, std::int32_t), std::int32_t handle) {
  char text[512] = {};
  get(handle, text, static_cast<std::int32_t>(sizeof text));
  return text;
}

}  // namespace

struct Receiver::Pending {
  std::string message;
  MessageHeader header;
  bool oversize = false;
  std::size_t batch_index = 0;  // its place in the batch being stored
  // Set by each commit: stored within the window before (the answer is AA,
  // nothing is written), or the same as an earlier message of the batch
  // (the answer is that message's).
  bool seen_before = false;
  bool same_as_earlier = false;
};

struct Receiver::Connection {
  explicit Connection(std::size_t max_message) : framer(max_message) {}
  std::uint64_t id = 0;
  int fd = -1;
  std::int32_t tls = 0;
  std::uint32_t address = 0;  // the peer's, host order
  bool handshaking = false;
  bool handshake_wants_write = false;
  std::string peer;  // "address:port"
  MllpFramer framer;
  std::deque<Pending> pending;  // complete messages, in arrival order
  std::string out;              // acknowledgements not yet sent
  std::size_t out_sent = 0;
  SteadyClock::time_point last_progress;
  bool at_end = false;          // nothing more will be read (end of stream, oversize)
  bool paused = false;          // reading stopped while too much is pending
  bool close_when_sent = false;
  std::uint64_t answered = 0;
};

Receiver::Receiver(EventLoop& loop, ReceiverConfig config, InboundSpool& spool, ReceiverLog log)
    : loop_(loop), config_(std::move(config)), spool_(spool), log_(std::move(log)) {
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch());
  ack_prefix_ = "R" + std::to_string(seconds.count()) + "-";
  commit_timer_ = loop_.AddTimer(std::chrono::milliseconds(0), [this] { Commit(); }, false);
  retry_timer_ = loop_.AddTimer(kWaitingRetry, [this] {
    loop_.SetTimerEnabled(retry_timer_, false);
    ScheduleCommit();
  }, false);
  auto sweep = std::clamp(config_.idle_timeout / 4, std::chrono::milliseconds(50),
                          std::chrono::milliseconds(1000));
  sweep_timer_ = loop_.AddTimer(sweep, [this] { SweepIdle(); });
}

Receiver::~Receiver() {
  for (EventLoop::TimerId t : {commit_timer_, retry_timer_, sweep_timer_}) loop_.RemoveTimer(t);
  shutting_down_ = true;
  while (!connections_.empty()) Close(connections_.begin()->first, "receiver ended");
  if (listener_ >= 0) {
    loop_.Unwatch(listener_);
    netsys::Close(listener_);
  }
}

void Receiver::Error(std::int32_t number, const std::string& text) {
  try {
    if (log_.error) log_.error(number, text, "MLLPReceiver");
  } catch (...) {
  }
}

void Receiver::Debug(const std::string& text) {
  try {
    if (log_.debug) log_.debug(text);
  } catch (...) {
  }
}

bool Receiver::Start(std::string* error) {
  std::string where = DottedAddress(config_.bind_address) + ":" + std::to_string(config_.port);
  int fd = netsys::CreateSocket(false, true);
  if (fd < 0) {
    *error = "cannot create a socket: " + SocketErrorText(netsys::LastSocketError());
    return false;
  }
  netsys::SetReuseAddress(fd);
  if (!netsys::Bind(fd, config_.bind_address, config_.port) || !netsys::Listen(fd, kListenBacklog)) {
    *error = "cannot listen on " + where + ": " + SocketErrorText(netsys::LastSocketError());
    netsys::Close(fd);
    return false;
  }
  listener_ = fd;
  port_ = netsys::LocalPort(fd).value_or(0);
  loop_.Watch(fd, EventLoop::kReadable, [this](unsigned) { OnListenerReady(); });
  return true;
}

void Receiver::OnListenerReady() {
  try {
    for (int i = 0; i < kAcceptsPerEvent && listener_ >= 0; ++i) {
      int fd = netsys::Accept(listener_, true);
      if (fd < 0) {
        if (netsys::LastSocketError() != kWsaWouldBlock) {
          // Out of descriptors, say: the waiting connection stays waiting,
          // so stop asking for a while instead of spinning on it.
          Error(kErrReceiver, "cannot accept a connection: " +
                                  SocketErrorText(netsys::LastSocketError()));
          int listener = listener_;
          loop_.Watch(listener, 0, [](unsigned) {});
          auto id = std::make_shared<EventLoop::TimerId>(0);
          *id = loop_.AddTimer(kAcceptPause, [this, id, listener] {
            loop_.RemoveTimer(*id);
            if (listener_ == listener) {
              loop_.Watch(listener, EventLoop::kReadable, [this](unsigned) { OnListenerReady(); });
            }
          });
        }
        return;
      }
      std::uint32_t address = 0;
      std::uint16_t port = 0;
      netsys::PeerAddress(fd, &address, &port);
      std::string peer = DottedAddress(address) + ":" + std::to_string(port);
      if (!config_.allow.Allows(address)) {
        netsys::Close(fd);
        if (refused_logged_.size() < kRefusedLogLimit && refused_logged_.insert(address).second) {
          Error(kErrReceiver, "connection from " + DottedAddress(address) +
                                  " refused: not in MLLPAllow (logged once per address)");
        }
        continue;
      }
      if (shutting_down_) {
        netsys::Close(fd);
        continue;
      }
      std::size_t& from_peer = per_peer_[address];
      if (connections_.size() >= config_.max_connections || from_peer >= config_.max_per_peer) {
        std::string why = connections_.size() >= config_.max_connections
            ? std::to_string(connections_.size()) + " connections open (MLLPMaxConnections)"
            : std::to_string(from_peer) + " connections from " + DottedAddress(address) +
                  " open (MLLPMaxPerPeer)";
        if (from_peer == 0) per_peer_.erase(address);
        netsys::Close(fd);
        LogLimited(address, "connection from " + peer + " closed: " + why);
        continue;
      }
      ++from_peer;
      auto c = std::make_unique<Connection>(config_.max_message);
      c->id = next_id_++;
      c->fd = fd;
      c->address = address;
      c->peer = peer;
      c->last_progress = SteadyClock::now();
      if (!config_.tls_certificate.empty()) {
        c->tls = ssl_new_server(fd, config_.tls_certificate.c_str(), config_.tls_key.c_str(),
                                config_.tls_client_ca_file.c_str());
        if (c->tls == 0) {
          netsys::Close(fd);
          Error(kErrReceiver, "TLS cannot be set up with the certificate, key and trust file "
                              "(MLLPTLSCert, MLLPTLSKey, MLLPTLSCA); connection from " + peer +
                              " closed");
          continue;
        }
        c->handshaking = true;
      }
      Connection& ref = *c;
      connections_[c->id] = std::move(c);
      Debug("MLLP connection from " + peer + (ref.tls ? " (TLS)" : ""));
      if (ref.handshaking) {
        Handshake(ref);
      } else {
        UpdateWatch(ref);
      }
    }
  } catch (...) {
    CaughtError e = DescribeCurrentException();
    Error(e.number, e.description);
  }
}

void Receiver::Handshake(Connection& c) {
  std::int32_t r = ssl_handshake(c.tls);
  if (r < 0) {
    Error(kErrReceiver, "TLS hand-shake with " + c.peer +
                            " failed (no TLS, or a client certificate missing or not trusted)");
    return Close(c.id, "TLS hand-shake failed");
  }
  if (r == 1) {
    c.handshaking = false;
    std::string subject = TlsText(ssl_getsubject, c.tls);
    Debug("MLLP " + c.peer + ": TLS " + TlsText(ssl_getcipher, c.tls) +
          (subject.empty() ? "" : ", client " + subject));
    // The peer's first message may have come with the hand-shake's last bytes.
    if (!ReadAvailable(c)) return;
  }
  c.handshake_wants_write = r == 2;
  UpdateWatch(c);
}

void Receiver::OnConnectionReady(std::uint64_t id, unsigned events) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = *it->second;
  try {
    if (c.handshaking) return Handshake(c);
    if ((events & EventLoop::kWritable) && !Flush(c)) return;
    if (events & (EventLoop::kReadable | EventLoop::kHangup)) {
      if (!c.at_end && !ReadAvailable(c)) return;
      // An error or hang-up stays reported: nothing can be answered any more.
      if (events & EventLoop::kHangup) return Close(id, "connection lost");
    }
    UpdateWatch(c);
  } catch (...) {
    CaughtError e = DescribeCurrentException();
    Error(e.number, e.description);
    Close(id, "failed");
  }
}

bool Receiver::ReadAvailable(Connection& c) {
  char buffer[kReadChunk];
  bool got = false;
  while (!c.at_end) {
    if (c.pending.size() >= kMaxPendingMessages || c.out.size() - c.out_sent >= kMaxUnsentBytes) {
      c.paused = true;
      break;
    }
    long n = c.tls ? ssl_recv(c.tls, buffer, static_cast<std::int32_t>(sizeof buffer))
                   : netsys::Receive(c.fd, buffer, sizeof buffer);
    if (n == 0) {
      c.at_end = true;
      break;
    }
    if (n < 0) {
      if (netsys::LastSocketError() == kWsaWouldBlock) break;
      Close(c.id, "receive failed: " + SocketErrorText(netsys::LastSocketError()));
      return false;
    }
    std::vector<std::string> messages;
    bool within_limit = c.framer.Feed(std::string_view(buffer, static_cast<std::size_t>(n)),
                                      &messages);
    for (std::string& m : messages) {
      Pending p;
      p.header = ReadMessageHeader(m);
      p.message = std::move(m);
      c.pending.push_back(std::move(p));
      c.last_progress = SteadyClock::now();
      got = true;
    }
    if (!within_limit) {
      Pending p;
      p.oversize = true;
      p.header = ReadMessageHeader(
          std::string_view(c.framer.Oversized()).substr(0, kOversizeHeaderBytes));
      c.pending.push_back(std::move(p));
      c.at_end = true;
      got = true;
    }
  }
  if (got) ScheduleCommit();
  if (c.at_end && c.pending.empty()) {
    if (c.out_sent == c.out.size()) {
      Close(c.id, "closed by the peer");
      return false;
    }
    c.close_when_sent = true;
  }
  UpdateWatch(c);
  return true;
}

bool Receiver::Flush(Connection& c) {
  while (c.out_sent < c.out.size()) {
    std::size_t count = std::min<std::size_t>(c.out.size() - c.out_sent,
                                              std::numeric_limits<std::int32_t>::max());
    const char* data = c.out.data() + c.out_sent;
    long n = c.tls ? ssl_send(c.tls, data, static_cast<std::int32_t>(count))
                   : netsys::Send(c.fd, data, count);
    if (n > 0) {
      c.out_sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && netsys::LastSocketError() == kWsaWouldBlock) break;
    Close(c.id, "send failed: " + SocketErrorText(netsys::LastSocketError()));
    return false;
  }
  if (c.out_sent == c.out.size()) {
    c.out.clear();
    c.out_sent = 0;
    if (c.close_when_sent) {
      Close(c.id, "answered");
      return false;
    }
  } else if (c.out_sent >= kReadChunk) {
    c.out.erase(0, c.out_sent);
    c.out_sent = 0;
  }
  if (c.paused && !shutting_down_ && c.out.size() - c.out_sent < kMaxUnsentBytes &&
      c.pending.size() < kMaxPendingMessages) {
    // TLS may hold decrypted bytes the socket no longer reports: read now.
    c.paused = false;
    return ReadAvailable(c);
  }
  UpdateWatch(c);
  return true;
}

void Receiver::UpdateWatch(Connection& c) {
  unsigned events = 0;
  if (c.handshaking) {
    events = c.handshake_wants_write ? EventLoop::kWritable : EventLoop::kReadable;
  } else {
    if (!c.at_end && !c.paused && !shutting_down_) events |= EventLoop::kReadable;
    if (c.out_sent < c.out.size()) events |= EventLoop::kWritable;
  }
  std::uint64_t id = c.id;
  loop_.Watch(c.fd, events, [this, id](unsigned ready) { OnConnectionReady(id, ready); });
}

void Receiver::Close(std::uint64_t id, const std::string& why) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = *it->second;
  Debug("MLLP connection from " + c.peer + " closed: " + why + " (" +
        std::to_string(c.answered) + " messages answered)");
  loop_.Unwatch(c.fd);
  if (c.tls) ssl_cleanup(c.tls);
  netsys::Close(c.fd);
  auto peer = per_peer_.find(c.address);
  if (peer != per_peer_.end() && --peer->second == 0) per_peer_.erase(peer);
  connections_.erase(it);
  if (shutting_down_ && connections_.empty()) loop_.Stop();
}

// Once per address and minute, so that a flood costs no more than a line a
// minute; the refusals in between are counted in the next line.
void Receiver::LogLimited(std::uint32_t address, const std::string& text) {
  auto now = SteadyClock::now();
  if (limit_logged_.size() >= kRefusedLogLimit) {
    for (auto it = limit_logged_.begin(); it != limit_logged_.end();) {
      it = now - it->second.first >= kLimitLogInterval ? limit_logged_.erase(it) : std::next(it);
    }
    if (limit_logged_.size() >= kRefusedLogLimit) return;
  }
  auto [it, fresh] = limit_logged_.try_emplace(address, now, 0);
  if (!fresh && now - it->second.first < kLimitLogInterval) {
    ++it->second.second;
    return;
  }
  std::uint64_t since = fresh ? 0 : it->second.second;
  it->second = {now, 0};
  Error(kErrReceiver, text + (since ? " (" + std::to_string(since) +
                                          " more closed in the minute before)"
                                    : std::string(" (logged once per address and minute)")));
}

void Receiver::ScheduleCommit() { loop_.SetTimerEnabled(commit_timer_, true); }

std::string Receiver::NextAckId() { return ack_prefix_ + std::to_string(++ack_sequence_); }

// Stores every complete message of every connection as one batch, then
// answers each connection's messages in their order.
void Receiver::Commit() {
  loop_.SetTimerEnabled(commit_timer_, false);
  try {
    std::vector<std::string_view> batch;
    std::vector<std::string> keys;
    std::map<std::string, std::size_t> in_batch;  // key -> batch index
    std::vector<std::uint64_t> ids;
    for (auto& [id, c] : connections_) {
      ids.push_back(id);
      for (Pending& p : c->pending) {
        p.seen_before = p.same_as_earlier = false;
        if (p.oversize || !p.header.found) continue;
        std::string key;
        if (spool_.keeps_record()) {
          key = SeenMessageKey(p.header.sending_application, p.header.sending_facility,
                               p.header.control_id, p.message);
          if (spool_.Seen(key)) {
            p.seen_before = true;
            continue;
          }
          auto [at, fresh] = in_batch.emplace(key, batch.size());
          if (!key.empty() && !fresh) {
            p.same_as_earlier = true;
            p.batch_index = at->second;
            continue;
          }
        }
        p.batch_index = batch.size();
        batch.push_back(p.message);
        keys.push_back(std::move(key));
      }
    }
    std::vector<InboundSpool::Outcome> outcomes;
    if (!batch.empty()) outcomes = spool_.Store(batch, keys);

    using Kind = InboundSpool::Outcome::Kind;
    bool waiting = false;
    const LocalDateTime now = LocalNow();
    for (std::uint64_t id : ids) {
      auto it = connections_.find(id);
      if (it == connections_.end()) continue;
      Connection& c = *it->second;
      std::size_t done = 0;
      for (const Pending& p : c.pending) {
        AckCode code = AckCode::kAccept;
        std::string reason;
        int hl7_error = kHl7InternalError;
        const std::string& control = p.header.control_id;
        if (p.oversize) {
          code = AckCode::kReject;
          reason = "message larger than " + std::to_string(config_.max_message) +
                   " bytes (MLLPMaxMessage)";
          Error(kErrReceiver, "MLLP " + c.peer + ": " + reason + ", refused and connection closed");
          c.close_when_sent = true;
        } else if (!p.header.found) {
          code = AckCode::kReject;
          reason = "no MSH segment: not an HL7 message";
          hl7_error = kHl7SegmentSequenceError;
          Debug("MLLP " + c.peer + ": " + reason + " (" + std::to_string(p.message.size()) +
                " bytes), refused");
        } else if (p.seen_before) {
          Debug("MLLP " + c.peer + " " + control + " from " + p.header.sending_application +
                "|" + p.header.sending_facility + ": duplicate of a message stored within " +
                std::to_string(config_.duplicate_window_hours) + " h, answered AA, not written "
                "again");
          ++duplicates_;
        } else {
          const InboundSpool::Outcome& o = outcomes[p.batch_index];
          if (o.kind == Kind::kWaiting && !shutting_down_) {
            waiting = true;
            break;  // this and the later messages stay pending, in order
          }
          if (o.kind == Kind::kStored && p.same_as_earlier) {
            Debug("MLLP " + c.peer + " " + control + " from " + p.header.sending_application +
                  "|" + p.header.sending_facility + ": duplicate of " + o.file +
                  ", answered AA, not written again");
            ++duplicates_;
          } else if (o.kind == Kind::kStored) {
            Debug("MLLP " + c.peer + " " + control + " -> " + o.file);
          } else {
            code = AckCode::kError;
            reason = o.kind == Kind::kWaiting
                         ? "inbound numbers used up while the service has files waiting; "
                           "the receiver is stopping"
                         : o.error;
            Error(kErrPathFileAccess,
                  "MLLP " + c.peer + " " + control + ": not stored: " + reason);
          }
        }
        c.out += MllpFrame(BuildAck(p.header, code, reason, hl7_error, now, NextAckId()));
        if (log_.received) {
          try {
            ReceivedMessage r;
            r.at = static_cast<std::int64_t>(std::time(nullptr));
            r.peer = c.peer;
            r.sending_application = p.header.sending_application;
            r.sending_facility = p.header.sending_facility;
            r.event = p.header.message_type;
            r.control_id = control;
            r.answer = code == AckCode::kAccept ? "AA" : code == AckCode::kError ? "AE" : "AR";
            r.reason = reason;
            // A duplicate of an earlier batch became no file of its own.
            if (p.header.found && !p.oversize && !p.seen_before &&
                outcomes[p.batch_index].kind == Kind::kStored) {
              r.file = outcomes[p.batch_index].file;
            }
            log_.received(r);
          } catch (...) {
          }
        }
        ++c.answered;
        ++done;
        c.last_progress = SteadyClock::now();
      }
      c.pending.erase(c.pending.begin(), c.pending.begin() + static_cast<std::ptrdiff_t>(done));
      if (c.at_end && c.pending.empty()) c.close_when_sent = true;
      Flush(c);
    }
    if (log_.answered) {
      try {
        log_.answered();
      } catch (...) {
      }
    }
    if (waiting && !loop_.TimerEnabled(retry_timer_)) {
      Error(kErrReceiver, "inbound numbers used up: waiting until the service has taken every "
                          "numbered file of " + spool_.folder() + " to start again at 1");
      loop_.SetTimerEnabled(retry_timer_, true);
    }
  } catch (...) {
    CaughtError e = DescribeCurrentException();
    Error(e.number, e.description);
  }
}

void Receiver::SweepIdle() {
  if (config_.idle_timeout.count() <= 0) return;
  auto now = SteadyClock::now();
  std::vector<std::uint64_t> expired;
  for (auto& [id, c] : connections_) {
    if (now - c->last_progress > config_.idle_timeout) expired.push_back(id);
  }
  for (std::uint64_t id : expired) {
    Close(id, "no complete message for " + std::to_string(config_.idle_timeout.count()) + " ms");
  }
}

void Receiver::Shutdown(std::chrono::milliseconds limit) {
  if (listener_ >= 0) {
    loop_.Unwatch(listener_);
    netsys::Close(listener_);
    listener_ = -1;
  }
  std::vector<std::uint64_t> ids;
  for (auto& [id, c] : connections_) ids.push_back(id);
  for (std::uint64_t id : ids) {
    auto it = connections_.find(id);
    if (it == connections_.end()) continue;
    Connection& c = *it->second;
    if (c.handshaking) {
      Close(id, "receiver stopping");
    } else {
      // What the system has received already counts as received.
      c.paused = false;
      if (!c.at_end) ReadAvailable(c);
    }
  }
  shutting_down_ = true;
  Commit();
  ids.clear();
  for (auto& [id, c] : connections_) ids.push_back(id);
  for (std::uint64_t id : ids) {
    auto it = connections_.find(id);
    if (it == connections_.end()) continue;
    it->second->close_when_sent = true;
    Flush(*it->second);
  }
  if (connections_.empty()) return;
  EventLoop::TimerId deadline = loop_.AddTimer(limit, [this] { loop_.Stop(); });
  loop_.Run();
  loop_.RemoveTimer(deadline);
  while (!connections_.empty()) Close(connections_.begin()->first, "receiver stopped");
}

}  // namespace norv
