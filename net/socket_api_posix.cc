// POSIX sockets behind socket_api.h.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "net/socket_api.h"

namespace norv::netsys {
namespace {

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

// Keeps descriptor 0 free of sockets: a handle of 0 means "no socket" to the
// socket object, and a service started with its standard input closed would
// otherwise receive 0 for its first socket.
int AvoidZero(int fd) {
  if (fd != 0) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

}  // namespace

bool Startup(int* error) {
  // A peer that has gone away must show up as a failed send, not end the
  // process: TLS writes go through write(), which would raise SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  if (error) *error = 0;
  return true;
}

void Cleanup() {}

int CreateSocket(bool datagram, bool nonblocking) {
  int type = (datagram ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC;
  if (nonblocking) type |= SOCK_NONBLOCK;
  int fd = socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  return AvoidZero(fd);
}

bool SetBlocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

bool SetBroadcast(int fd) {
  int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

bool SetReuseAddress(int fd) {
  int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool SetTimeouts(int fd, int milliseconds) {
  timeval tv{};
  tv.tv_sec = milliseconds / 1000;
  tv.tv_usec = (milliseconds % 1000) * 1000;
  return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
         setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

bool Bind(int fd, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  return bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool Listen(int fd, int backlog) { return listen(fd, backlog) == 0; }

int Connect(int fd, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return 0;
  if (errno != EINTR) return WsaErrorFromSystem(errno);
  // Interrupted: the connect goes on in the background. A non-blocking
  // socket reports that as "in progress"; a blocking one waits for it.
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK)) return WsaErrorFromSystem(EINPROGRESS);
  pollfd p{fd, POLLOUT, 0};
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
  return ConnectResult(fd);
}

int ConnectResult(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return WsaErrorFromSystem(errno);
  if (err != 0) return WsaErrorFromSystem(err);
  sockaddr_in peer{};
  socklen_t plen = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) != 0) {
    return WsaErrorFromSystem(errno);
  }
  return 0;
}

int Accept(int fd, bool nonblocking) {
  int flags = SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0);
  int r;
  do {
    r = accept4(fd, nullptr, nullptr, flags);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  return AvoidZero(r);
}

long Send(int fd, const char* data, std::size_t size) {
  ssize_t r;
  do {
    r = send(fd, data, size, MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  return static_cast<long>(r);
}

long SendTo(int fd, const char* data, std::size_t size, std::uint32_t address,
            std::uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  ssize_t r;
  do {
    r = sendto(fd, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  } while (r < 0 && errno == EINTR);
  return static_cast<long>(r);
}

long Receive(int fd, char* buffer, std::size_t size) {
  ssize_t r;
  do {
    r = recv(fd, buffer, size, 0);
  } while (r < 0 && errno == EINTR);
  return static_cast<long>(r);
}

long ReceiveFrom(int fd, char* buffer, std::size_t size, std::uint32_t* address,
                 std::uint16_t* port) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ssize_t r;
  do {
    len = sizeof sa;
    r = recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&sa), &len);
  } while (r < 0 && errno == EINTR);
  if (r >= 0) {
    if (address) *address = ntohl(sa.sin_addr.s_addr);
    if (port) *port = ntohs(sa.sin_port);
  }
  return static_cast<long>(r);
}

void Close(int fd) {
  if (fd >= 0) close(fd);
}

int LastSocketError() { return WsaErrorFromSystem(errno); }

int WsaErrorFromSystem(int e) {
  if (e == EAGAIN || e == EWOULDBLOCK) return 10035;
  switch (e) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case ENFILE: return 10024;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case EPIPE: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default: return e;
  }
}

bool PeerAddress(int fd, std::uint32_t* address, std::uint16_t* port) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) {
    return false;
  }
  if (address) *address = ntohl(sa.sin_addr.s_addr);
  if (port) *port = ntohs(sa.sin_port);
  return true;
}

std::optional<std::uint16_t> LocalPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return std::nullopt;
  return ntohs(sa.sin_port);
}

}  // namespace norv::netsys
