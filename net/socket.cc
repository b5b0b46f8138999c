#include "net/socket.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

#include "net/lookup.h"
#include "net/network_env.h"
#include "net/socket_api.h"
#include "net/socket_errors.h"
#include "net/tls.h"
#include "core/ansi.h"

namespace norv {
namespace {

constexpr std::size_t kReceiveBufferSize = 2000;
constexpr std::size_t kFileChunkSize = 5000;
constexpr int kListenBacklog = 5;
constexpr int kTextBufferSize = 1000;

// The objects of a loop whose environment is set up, in order of set-up;
// the loop's network events are routed to them by socket handle.
struct LiveSocketList {
  std::vector<Socket*> sockets;
};

std::vector<Socket*>* LiveSockets(EventLoop* loop) {
  return loop ? &loop->Local<LiveSocketList>().sockets : nullptr;
}

void RemoveFirst(EventLoop* loop, Socket* s) {
  std::vector<Socket*>* list = LiveSockets(loop);
  if (!list) return;
  auto it = std::find(list->begin(), list->end(), s);
  if (it != list->end()) list->erase(it);
}

// Calls an owner's event handler. A copy is called, so that the handler may
// replace itself; whatever it throws stays here (the event counts as
// handled, and the dispatch goes on after it).
template <typename Handler, typename... Args>
void Raise(const Handler& handler, Args&&... args) {
  Handler copy = handler;
  if (!copy) return;
  try {
    copy(std::forward<Args>(args)...);
  } catch (...) {
  }
}

// Windows-1252 text to UTF-16LE code units (every character of the code page
// lies in the basic plane).
std::string AnsiToUtf16Le(std::string_view ansi) {
  std::string utf8 = AnsiToUtf8(ansi);
  std::string out;
  out.reserve(ansi.size() * 2);
  for (std::size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    char32_t cp;
    if (c < 0x80) {
      cp = c;
      i += 1;
    } else if ((c >> 5) == 0x6 && i + 1 < utf8.size()) {
      cp = ((c & 0x1F) << 6) | (utf8[i + 1] & 0x3F);
      i += 2;
    } else if (i + 2 < utf8.size()) {
      cp = ((c & 0x0F) << 12) | ((utf8[i + 1] & 0x3F) << 6) | (utf8[i + 2] & 0x3F);
      i += 3;
    } else {
      break;
    }
    out.push_back(static_cast<char>(cp & 0xFF));
    out.push_back(static_cast<char>((cp >> 8) & 0xFF));
  }
  return out;
}

std::string CutAtZero(const char* buffer) { return std::string(buffer); }

}  // namespace

SocketData SocketData::Byte(std::uint8_t value) {
  return SocketData(Kind::kByte, std::string(1, static_cast<char>(value)));
}

SocketData SocketData::Other(std::string_view text_form) {
  return SocketData(Kind::kOther, std::string(text_form));
}

Socket::Socket() = default;

Socket::~Socket() {
  Disconnect();
  RemoveFirst(loop_, this);
}

int Socket::LiveSocketCount() {
  std::vector<Socket*>* list = LiveSockets(EventLoop::Current());
  return list ? static_cast<int>(list->size()) : 0;
}

// ---------------------------------------------------------------------------
// Environment: the object's place on the live list, its share of the network
// start-up and its registration with the message loop (the loop takes the
// place of a hidden notification window).

void Socket::SetUpEnvironment() {
  // Set up once per object: a second set-up would count the object twice.
  if (has_window_) return;
  loop_ = EventLoop::Current();
  if (std::vector<Socket*>* list = LiveSockets(loop_)) list->push_back(this);
  AcquireNetwork();
  has_window_ = true;
}

void Socket::TearDownEnvironment() {
  if (!has_window_) return;
  if (loop_ && watched_fd_ >= 0) loop_->Unwatch(watched_fd_);
  watched_fd_ = -1;
  watched_events_ = 0;
  has_window_ = false;
  ReleaseNetwork();
  Disconnect();
  RemoveFirst(loop_, this);
  loop_ = nullptr;
}

// Asks the loop for the socket's network events; the socket becomes
// non-blocking, as it would under any asynchronous notification.
bool Socket::Register() {
  if (!loop_ || SocketHandle == 0) return false;
  if (!netsys::SetBlocking(SocketHandle, false)) return false;
  watched_events_ = ~0u;  // force the first watch
  UpdateWatch();
  return true;
}

// The loop reports readiness while it lasts, so interest is narrowed to what
// is awaited: writability only while a connect or a SendComplete is due, and
// a listener's readability only until it has reported a waiting connection
// that nobody has accepted yet.
void Socket::UpdateWatch() {
  if (!loop_ || SocketHandle == 0 || !has_window_) return;
  unsigned events = 0;
  if (role_ != Role::kListener || accept_armed_) events |= EventLoop::kReadable;
  if (connecting_ || want_write_) events |= EventLoop::kWritable;
  if (watched_fd_ == SocketHandle && watched_events_ == events) return;
  if (watched_fd_ >= 0 && watched_fd_ != SocketHandle) loop_->Unwatch(watched_fd_);
  EventLoop* loop = loop_;
  int fd = SocketHandle;
  loop_->Watch(fd, events, [loop, fd](unsigned ready) { RouteReady(loop, fd, ready); });
  watched_fd_ = fd;
  watched_events_ = events;
}

void Socket::StartTimeoutTimer() {
  if (!loop_ || TimeOut <= 0) return;
  auto id = std::make_shared<EventLoop::TimerId>(0);
  EventLoop* loop = loop_;
  int fd = SocketHandle;
  *id = loop_->AddTimer(std::chrono::milliseconds(TimeOut), [loop, fd, id] {
    loop->RemoveTimer(*id);  // one tick only
    RouteTimer(loop, fd, *id);
  });
  timeout_timer_ = *id;
}

// ---------------------------------------------------------------------------
// Operations

void Socket::Connect(std::string_view host, std::int32_t Port) {
  if (SocketHandle != 0) Disconnect();
  SetUpEnvironment();
  SocketHandle = 0;
  SSLHandle = 0;
  RemotePort = 0;
  State = kConnecting;
  Protocol = 0;
  SSLCipher.clear();
  SSLSubject.clear();
  SSLIssuer.clear();
  SSLTrusted = false;

  std::uint16_t port = static_cast<std::uint16_t>(Port & 0xFFFF);
  if (port == 0xFFFF) return Disconnect();
  std::optional<std::uint32_t> address = ResolveHost(host);
  if (!address || *address == netsys::kNoAddress) return Disconnect();
  int fd = netsys::CreateSocket(false, !SSLEnable);
  if (fd < 0) return Disconnect();
  SocketHandle = fd;
  if (LocalPort > 0) {
    std::uint16_t local = static_cast<std::uint16_t>(LocalPort & 0xFFFF);
    if (local == 0xFFFF || !netsys::Bind(fd, netsys::kAnyAddress, local)) return Disconnect();
  }
  role_ = Role::kStream;

  if (!SSLEnable) {
    connecting_ = true;
    if (!Register()) return Disconnect();
    int result = netsys::Connect(fd, *address, port);
    // The outcome shows at the first event; an immediate failure is kept
    // for it, since the system may not report it a second time.
    if (result != 0 && result != 10036 && result != kWsaWouldBlock) connect_error_ = result;
    if (TimeOut != 0) StartTimeoutTimer();
    return;
  }

  std::weak_ptr<int> alive = life_;
  if (netsys::Connect(fd, *address, port) == 0) {
    SSLHandle = ssl_init_client(fd, SSLCAFile.c_str());
    if (SSLHandle != 0) {
      Dispatch(kEventConnect);
      if (alive.expired()) return;
      if (SocketHandle == fd) {
        want_write_ = true;
        if (Register()) {
          SSLTrusted = ssl_getverify(SSLHandle) == 0;
          return;
        }
      }
    }
  }
  Disconnect();
}

void Socket::Listen() {
  if (SocketHandle != 0) Disconnect();
  SetUpEnvironment();
  SocketHandle = 0;
  RemoteHost.clear();
  RemotePort = 0;
  std::uint16_t port = static_cast<std::uint16_t>(LocalPort & 0xFFFF);
  if (port == 0xFFFF) return TearDownEnvironment();
  bool datagram = Protocol != 0;
  int fd = netsys::CreateSocket(datagram, true);
  if (fd < 0) return Disconnect();
  SocketHandle = fd;
  if (!datagram) netsys::SetReuseAddress(fd);
  role_ = datagram ? Role::kDatagram : Role::kListener;
  // A bound datagram socket can send at once, so SendComplete follows.
  want_write_ = datagram;
  if (!netsys::Bind(fd, netsys::kAnyAddress, port) || !Register() ||
      (!datagram && !netsys::Listen(fd, kListenBacklog))) {
    return Disconnect();
  }
  State = kListening;
  LocalPort = BoundPort(fd);
}

void Socket::Accept(Socket& Server) {
  SSLEnable = Server.SSLEnable;
  SSLServerCertificate = Server.SSLServerCertificate;
  SSLServerKey = Server.SSLServerKey;
  // A connection this object still holds would otherwise be lost unclosed.
  if (SocketHandle != 0) Disconnect();
  SetUpEnvironment();
  int fd = Server.SocketHandle != 0 ? netsys::Accept(Server.SocketHandle, true) : -1;
  if (&Server != this) {
    // The listener reports the next waiting connection again.
    Server.accept_armed_ = true;
    Server.UpdateWatch();
  }
  if (fd < 0) return Disconnect();
  SocketHandle = fd;
  role_ = Role::kStream;
  if (SSLEnable) {
    netsys::SetBlocking(fd, true);
    SSLHandle = ssl_init_server(fd, SSLServerCertificate.c_str(), SSLServerKey.c_str());
    if (SSLHandle <= 100) return Disconnect();
  }
  // A new connection can send at once: SendComplete follows.
  want_write_ = true;
  if (!Register()) return Disconnect();
  RemoteHost = PeerAddressText(fd);
  RemotePort = PeerPort(fd);
  State = kConnected;
}

std::string Socket::ToBytes(const SocketData& data) const {
  switch (data.kind()) {
    case SocketData::Kind::kText:
      return data.bytes() + LineSeparator;
    case SocketData::Kind::kOther:
      return AnsiToUtf16Le(data.bytes());
    case SocketData::Kind::kByte:
    case SocketData::Kind::kBytes:
      break;
  }
  return data.bytes();
}

void Socket::SendData(const SocketData& data) {
  if (SocketHandle == 0) return;
  std::string bytes = ToBytes(data);
  std::size_t sent = 0;
  while (sent < bytes.size() && SocketHandle != 0) {
    std::size_t count = std::min<std::size_t>(bytes.size() - sent,
                                              std::numeric_limits<std::int32_t>::max());
    long n = SSLHandle != 0
                 ? ssl_send(SSLHandle, bytes.data() + sent, static_cast<std::int32_t>(count))
                 : netsys::Send(SocketHandle, bytes.data() + sent, count);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && netsys::LastSocketError() == kWsaWouldBlock) {
      // Offered again at once; the system owes a SendComplete afterwards.
      want_write_ = true;
    } else {
      break;
    }
  }
  if (want_write_) UpdateWatch();
}

void Socket::SendDataTo(const SocketData& data, std::string_view host, std::int32_t Port) {
  if (SocketHandle == 0) Protocol = 1;
  ScopedNetwork network;
  int fd = netsys::CreateSocket(true, false);
  if (fd < 0) return;
  netsys::SetBroadcast(fd);
  std::uint16_t port = static_cast<std::uint16_t>(Port & 0xFFFF);
  std::optional<std::uint32_t> address = ResolveHost(host);
  std::string bytes = ToBytes(data);
  if (port != 0xFFFF && address && !bytes.empty()) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      long n = netsys::SendTo(fd, bytes.data() + sent, bytes.size() - sent, *address, port);
      if (n < 1) break;
      sent += static_cast<std::size_t>(n);
    }
  }
  netsys::Close(fd);
}

void Socket::Disconnect() {
  State = kClosed;
  LocalPort = 0;
  if (SocketHandle != 0) {
    if (SSLHandle != 0) {
      ssl_cleanup(SSLHandle);
      SSLHandle = 0;
    }
    if (timeout_timer_ != 0 && loop_) loop_->RemoveTimer(timeout_timer_);
    timeout_timer_ = 0;
    if (loop_ && watched_fd_ >= 0) loop_->Unwatch(watched_fd_);
    watched_fd_ = -1;
    watched_events_ = 0;
    netsys::Close(SocketHandle);
    SocketHandle = 0;
  }
  role_ = Role::kNone;
  connecting_ = false;
  connect_error_ = 0;
  want_write_ = false;
  accept_armed_ = true;
  // Text left from this connection must not open the next one's first line.
  pending_.clear();
  TearDownEnvironment();
}

void Socket::SendFile(const std::string& file) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return;
  std::uintmax_t remaining = std::filesystem::file_size(file, ec);
  if (ec) return;
  std::ifstream in(file, std::ios::binary);
  if (!in) return;
  std::weak_ptr<int> alive = life_;
  std::vector<std::uint8_t> chunk;
  while (remaining > 0) {
    DoEvents();
    if (alive.expired() || SocketHandle == 0) return;
    std::size_t size = static_cast<std::size_t>(std::min<std::uintmax_t>(remaining, kFileChunkSize));
    chunk.resize(size);
    in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(size));
    std::size_t got = static_cast<std::size_t>(in.gcount());
    if (got == 0) return;  // the file shrank meanwhile
    chunk.resize(got);
    SendData(SocketData(chunk));
    if (alive.expired()) return;
    remaining -= got;
  }
}

std::string Socket::LocalIP() const { return norv::MyIP(); }
std::string Socket::GetIP(std::string_view hostname, int adapter) const {
  return norv::GetIP(hostname, adapter);
}
std::string Socket::GetDNS(std::string_view ip) const { return norv::GetDNS(ip); }
std::string Socket::MyIP() const { return norv::MyIP(); }
std::string Socket::MyName() const { return norv::MyName(); }
bool Socket::IsPrivateIP(std::string_view ip) const { return norv::IsPrivateIP(ip); }

// ---------------------------------------------------------------------------
// Event routing: the loop's readiness reports and the time-out tick name a
// socket handle; the last live object holding that handle gets the event.

Socket* Socket::FindByHandle(EventLoop* loop, int handle) {
  std::vector<Socket*>* list = LiveSockets(loop);
  if (handle == 0 || !list) return nullptr;
  Socket* found = nullptr;
  for (Socket* s : *list) {
    if (s->SocketHandle == handle) found = s;
  }
  return found;
}

void Socket::RouteReady(EventLoop* loop, int fd, unsigned events) {
  Socket* s = FindByHandle(loop, fd);
  if (!s) {
    // Nobody holds the handle any more; stop the reports.
    loop->Unwatch(fd);
    return;
  }
  try {
    s->HandleReady(events);
  } catch (...) {
    // Nothing of a failed event reaches the loop.
  }
}

void Socket::RouteTimer(EventLoop* loop, int fd, EventLoop::TimerId timer) {
  Socket* s = FindByHandle(loop, fd);
  if (!s) return;
  if (s->timeout_timer_ == timer) s->timeout_timer_ = 0;
  if (s->State != kConnecting) return;  // the connect has completed meanwhile
  try {
    s->Dispatch(kEventError, "Timeout");
  } catch (...) {
  }
}

void Socket::HandleReady(unsigned events) {
  std::weak_ptr<int> alive = life_;
  const int fd = SocketHandle;
  auto gone = [&] { return alive.expired() || SocketHandle != fd; };

  if (connecting_) {
    if (!(events & (EventLoop::kWritable | EventLoop::kHangup))) return;
    connecting_ = false;
    int error = connect_error_ != 0 ? connect_error_ : netsys::ConnectResult(fd);
    connect_error_ = 0;
    if (error != 0) return Dispatch(kEventError, SocketErrorText(error));
    want_write_ = true;  // a new connection can send: SendComplete follows
    UpdateWatch();
    Dispatch(kEventConnect);
    if (gone()) return;
    events |= EventLoop::kWritable;
  }

  if ((events & EventLoop::kWritable) && want_write_) {
    want_write_ = false;
    UpdateWatch();
    Dispatch(kEventWrite);
    if (gone()) return;
  }

  if (!(events & (EventLoop::kReadable | EventLoop::kHangup))) return;
  if (role_ == Role::kListener) {
    accept_armed_ = false;
    UpdateWatch();
    return Dispatch(kEventAccept);
  }
  if (ReadLoop() == kEnded) Dispatch(kEventClose);
}

// Reads until nothing more is waiting, up to 2000 bytes at a time, one read
// event per read. kEnded: the connection has ended (the peer closed or reset
// it); datagram sockets never end this way.
Socket::ReadEnd Socket::ReadLoop() {
  std::weak_ptr<int> alive = life_;
  const int fd = SocketHandle;
  char buffer[kReceiveBufferSize];
  for (;;) {
    long n;
    bool datagram = Protocol == 1;
    if (datagram) {
      std::uint32_t address = 0;
      std::uint16_t port = 0;
      n = netsys::ReceiveFrom(fd, buffer, sizeof buffer, &address, &port);
      if (n >= 0) {
        RemoteHost = DottedAddress(address);
        RemotePort = port;
      }
    } else if (SSLHandle != 0) {
      n = ssl_recv(SSLHandle, buffer, static_cast<std::int32_t>(sizeof buffer));
    } else {
      n = netsys::Receive(fd, buffer, sizeof buffer);
    }
    if (n < 1) {
      if (datagram || role_ != Role::kStream) return kDrained;
      if (n < 0 && netsys::LastSocketError() == kWsaWouldBlock) return kDrained;
      return kEnded;
    }
    Dispatch(kEventRead, std::string(buffer, static_cast<std::size_t>(n)));
    if (alive.expired() || SocketHandle != fd) return kGone;
  }
}

// ---------------------------------------------------------------------------
// Dispatch: one network event into the object's events.

void Socket::Dispatch(int code, const std::string& value) {
  std::weak_ptr<int> alive = life_;
  switch (code) {
    case kEventError:
      Raise(OnError, 0, std::string(value));
      if (!alive.expired()) Disconnect();
      return;
    case kEventRead:
      return DeliverReceived(value);
    case kEventWrite:
      return Raise(OnSendComplete);
    case kEventAccept:
      return Raise(OnConnectionRequest);
    case kEventConnect:
      return CompleteConnect();
    case kEventClose: {
      if (!pending_.empty()) {
        std::string rest = std::move(pending_);
        pending_.clear();
        if (!LineSeparator.empty()) {
          Raise(OnLineDataArrival, rest, std::string(RemoteHost));
        } else {
          Raise(OnDataArrival, rest, std::string(RemoteHost));
        }
        if (alive.expired()) return;
      }
      Raise(OnClosed);
      if (!alive.expired()) Disconnect();
      return;
    }
    default:
      return;
  }
}

void Socket::DeliverReceived(const std::string& bytes) {
  if (LineSeparator.empty()) return Raise(OnDataArrival, bytes, std::string(RemoteHost));
  // As text, received data ends at its first zero character.
  pending_.append(bytes.data(), std::min(bytes.find('\0'), bytes.size()));
  std::weak_ptr<int> alive = life_;
  while (!LineSeparator.empty()) {
    std::size_t at = pending_.find(LineSeparator);
    if (at == std::string::npos) break;
    std::string line = pending_.substr(0, at);
    pending_.erase(0, at + LineSeparator.size());
    Raise(OnLineDataArrival, line, std::string(RemoteHost));
    if (alive.expired()) return;
  }
}

void Socket::CompleteConnect() {
  if (RemotePort != 0) return;  // already done for this connection
  const int fd = SocketHandle;
  RemoteHost = PeerAddressText(fd);
  RemotePort = PeerPort(fd);
  if (SSLHandle > 0) {
    char text[kTextBufferSize] = {};
    ssl_getcipher(SSLHandle, text, kTextBufferSize);
    SSLCipher = CutAtZero(text);
    ssl_getsubject(SSLHandle, text, kTextBufferSize);
    SSLSubject = CutAtZero(text);
    ssl_getissuer(SSLHandle, text, kTextBufferSize);
    SSLIssuer = CutAtZero(text);
  }
  LocalPort = BoundPort(fd);
  State = kConnected;
  Raise(OnConnect);
}

}  // namespace norv
