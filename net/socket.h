// Socket: a self-contained IPv4 socket object for the program's single-
// threaded message loop. One object is one TCP connection, one TCP listener
// or one UDP endpoint, optionally with TLS on a TCP connection. Work that
// completes later (connected, data arrived, peer closed, ready to send,
// connection waiting) arrives as events, the On... members, raised from the
// EventLoop that was current when the object first needed the network. An
// object must not outlive that loop. Not thread-safe.
//
// Failures inside the operations are not raised to the owner: the object
// disconnects itself and State returns to 1. Only a connect that fails after
// it was started, or its time-out, is reported, as the Error event. Errors
// thrown by the owner's event handlers are caught and dropped by the object.
#ifndef NORV_NET_SOCKET_H_
#define NORV_NET_SOCKET_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"

namespace norv {

// What SendData and SendDataTo accept, by kind: text (sent with the
// LineSeparator after it), a single byte, a byte array, or any other value
// given by its text form (sent as UTF-16LE code units, without a separator).
class SocketData {
 public:
  enum class Kind { kText, kByte, kBytes, kOther };

  SocketData(std::string_view text) : kind_(Kind::kText), bytes_(text) {}
  SocketData(const std::string& text) : kind_(Kind::kText), bytes_(text) {}
  SocketData(const char* text) : kind_(Kind::kText), bytes_(text) {}
  SocketData(const std::vector<std::uint8_t>& bytes)
      : kind_(Kind::kBytes), bytes_(bytes.begin(), bytes.end()) {}
  static SocketData Byte(std::uint8_t value);
  static SocketData Other(std::string_view text_form);

  Kind kind() const { return kind_; }
  // The bytes as given (the text, the byte, the array, or the text form).
  const std::string& bytes() const { return bytes_; }

 private:
  SocketData(Kind kind, std::string bytes) : kind_(kind), bytes_(std::move(bytes)) {}
  Kind kind_;
  std::string bytes_;
};

class Socket {
 public:
  // Values of State.
  static constexpr std::int32_t kClosed = 1;
  static constexpr std::int32_t kListening = 2;
  static constexpr std::int32_t kConnecting = 3;
  static constexpr std::int32_t kConnected = 4;

  // Fields, readable and writable by the owner.
  std::int32_t SocketHandle = 0;  // the system's socket; 0 = none
  std::int32_t State = kClosed;
  // Before Connect or Listen the local port to bind (0 = any); after Listen
  // or a completed connect the port actually bound; Disconnect sets 0.
  std::int32_t LocalPort = 0;
  std::string RemoteHost;       // peer (or last datagram's sender), dotted
  std::int32_t RemotePort = 0;  // its port
  // When not empty: appended to every text sent, and used to cut received
  // data into lines (LineDataArrival instead of DataArrival).
  std::string LineSeparator;
  std::int16_t TimeOut = 5000;  // connect time-out in ms (plain Connect); 0 = none
  std::int32_t Protocol = 0;    // 0 TCP stream, 1 UDP datagram
  bool SSLEnable = false;       // TLS for Connect and Accept
  std::string SSLCipher;        // after a TLS connect: the negotiated cipher
  std::string SSLSubject;       // ... the subject of the peer's certificate
  std::string SSLIssuer;        // ... and its issuer
  std::string SSLServerCertificate;  // for Accept with TLS: PEM certificate
  std::string SSLServerKey;          // for Accept with TLS: PEM private key
  bool SSLTrusted = false;      // after a TLS connect: the peer verified
  std::string SSLCAFile;        // for Connect with TLS: PEM trust file
  std::int32_t SSLHandle = 0;   // the TLS connection; 0 = none

  // Events. RemoteHostIP is RemoteHost at the time of the event.
  std::function<void()> OnConnect;  // connected (State 4)
  std::function<void()> OnClosed;   // peer closed, after pending text
  std::function<void()> OnSendComplete;  // ready for sending (again)
  std::function<void(const std::string& BinData, const std::string& RemoteHostIP)>
      OnDataArrival;
  std::function<void(const std::string& LineData, const std::string& RemoteHostIP)>
      OnLineDataArrival;  // one line, without the separator
  // Error is always 0; Description is "Timeout" or a network error text.
  // The object disconnects itself afterwards.
  std::function<void(std::int32_t Error, const std::string& Description)> OnError;
  // A listening TCP object has a connection waiting: call Accept(*this) on a
  // new object. Not raised again until some object has called Accept.
  std::function<void()> OnConnectionRequest;

  Socket();
  // Disconnects.
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Starts a TCP connection to `host` (dotted address or name) on `Port`.
  // The outcome arrives as the Connect or Error event, or silently as State
  // 1 (unresolvable host, port 65535, no socket). With SSLEnable the connect
  // and the TLS hand-shake block, and Connect is raised before this returns.
  void Connect(std::string_view host, std::int32_t Port);
  // Binds LocalPort on all local addresses and listens (TCP, backlog 5) or
  // receives datagrams (Protocol 1). State 2 and LocalPort the bound port on
  // success; State 1 otherwise.
  void Listen();
  // Takes the connection waiting on `Server` (a listening object that raised
  // ConnectionRequest) into this object, with TLS when Server has SSLEnable.
  // State 4 and RemoteHost/RemotePort on success; no Connect event.
  void Accept(Socket& Server);
  // Sends on the connection; does nothing without one. Retries at once while
  // the system says it would block; bytes not sent are not reported.
  void SendData(const SocketData& data);
  // Sends one datagram to `host` on `Port` (low 16 bits; 65535 sends
  // nothing) through a socket of its own that is closed again; an empty host
  // is the broadcast address, a host that cannot be resolved gets nothing.
  // Leaves this object's own socket alone.
  void SendDataTo(const SocketData& data, std::string_view host, std::int32_t Port);
  // Closes the socket and its TLS connection; State 1, LocalPort 0.
  void Disconnect();
  // Sends the file's bytes in chunks of 5000, letting pending events run
  // before each chunk. A missing file sends nothing (and creates nothing).
  void SendFile(const std::string& file);

  // Look-ups (see lookup.h).
  std::string LocalIP() const;
  std::string GetIP(std::string_view hostname, int adapter) const;
  std::string GetDNS(std::string_view ip) const;
  std::string MyIP() const;
  std::string MyName() const;
  bool IsPrivateIP(std::string_view ip) const;

  // The number of objects of the current loop whose network environment is
  // set up (for tests; 0 without a loop).
  static int LiveSocketCount();

 private:
  enum class Role { kNone, kStream, kListener, kDatagram };
  enum ReadEnd { kDrained, kEnded, kGone };

  // Network event codes of the dispatch step.
  static constexpr int kEventError = 0;
  static constexpr int kEventRead = 1;
  static constexpr int kEventWrite = 2;
  static constexpr int kEventAccept = 8;
  static constexpr int kEventConnect = 16;
  static constexpr int kEventClose = 32;

  void SetUpEnvironment();
  void TearDownEnvironment();
  bool Register();
  void UpdateWatch();
  void StartTimeoutTimer();
  std::string ToBytes(const SocketData& data) const;

  // Readiness of the socket, turned into network events.
  void HandleReady(unsigned events);
  ReadEnd ReadLoop();
  // Raises the Socket event(s) for one network event.
  void Dispatch(int code, const std::string& value = {});
  void DeliverReceived(const std::string& bytes);
  void CompleteConnect();

  static Socket* FindByHandle(EventLoop* loop, int handle);
  static void RouteReady(EventLoop* loop, int fd, unsigned events);
  static void RouteTimer(EventLoop* loop, int fd, EventLoop::TimerId timer);

  bool has_window_ = false;  // environment set up (on the live list)
  EventLoop* loop_ = nullptr;
  int watched_fd_ = -1;
  unsigned watched_events_ = 0;
  EventLoop::TimerId timeout_timer_ = 0;
  Role role_ = Role::kNone;
  bool connecting_ = false;   // a plain connect is under way
  int connect_error_ = 0;     // its immediate failure, reported at the first event
  bool want_write_ = false;   // SendComplete is due when the socket can send
  bool accept_armed_ = true;  // a listener reports waiting connections
  std::string pending_;       // received text after the last complete line
  // Expires with the object: lets the dispatch notice that an event handler
  // destroyed the object it was raised on.
  std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

}  // namespace norv

#endif  // NORV_NET_SOCKET_H_
