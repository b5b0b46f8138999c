// Thin wrappers over the system's socket calls, so that the socket object and
// the look-ups hold no platform code. IPv4 only. Addresses are host-order
// numbers (a.b.c.d = a << 24 | b << 16 | c << 8 | d); ports are 0..65535.
// Failures return -1 or false; LastSocketError() then gives the Windows
// Sockets number of the failure (see socket_errors.h), whatever the platform.
#ifndef NORV_NET_SOCKET_API_H_
#define NORV_NET_SOCKET_API_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace norv::netsys {

inline constexpr std::uint32_t kAnyAddress = 0;
inline constexpr std::uint32_t kLoopback = 0x7F000001;         // 127.0.0.1
inline constexpr std::uint32_t kNoAddress = 0xFFFFFFFF;        // also broadcast

// Starts the platform's network layer once per process use; false (with the
// error number in *error) when it cannot be used. Cleanup undoes Startup.
bool Startup(int* error);
void Cleanup();

// A new IPv4 socket (datagram or stream), close-on-exec, blocking or not.
// Never returns 0, so that a handle of 0 can mean "no socket". -1 on failure.
int CreateSocket(bool datagram, bool nonblocking);
bool SetBlocking(int fd, bool blocking);
bool SetBroadcast(int fd);
// Allows a listener to bind a port that still has closing connections.
bool SetReuseAddress(int fd);
// Bounds each blocking receive, send, accept and connect on `fd`.
bool SetTimeouts(int fd, int milliseconds);

bool Bind(int fd, std::uint32_t address, std::uint16_t port);
bool Listen(int fd, int backlog);
// Starts (non-blocking socket) or makes (blocking socket) a connection.
// Returns 0 when connected, else the Windows Sockets number of the outcome
// (10036 "in progress" for a connect that goes on in the background).
int Connect(int fd, std::uint32_t address, std::uint16_t port);
// The outcome of a background connect: 0, or the error number it ended with.
int ConnectResult(int fd);
// Takes a waiting connection; the new socket is close-on-exec and, when
// asked, non-blocking. -1 when none is waiting or on failure.
int Accept(int fd, bool nonblocking);

// Byte counts, or -1 on failure. Sends never raise SIGPIPE.
long Send(int fd, const char* data, std::size_t size);
long SendTo(int fd, const char* data, std::size_t size, std::uint32_t address,
            std::uint16_t port);
long Receive(int fd, char* buffer, std::size_t size);
long ReceiveFrom(int fd, char* buffer, std::size_t size, std::uint32_t* address,
                 std::uint16_t* port);
void Close(int fd);

// The Windows Sockets number of the last failed call on this thread.
int LastSocketError();
// Maps a platform error number (errno) to its Windows Sockets number; numbers
// without a counterpart are returned unchanged.
int WsaErrorFromSystem(int system_error);

// The connected peer, and the local port a socket is bound to.
bool PeerAddress(int fd, std::uint32_t* address, std::uint16_t* port);
std::optional<std::uint16_t> LocalPort(int fd);

}  // namespace norv::netsys

#endif  // NORV_NET_SOCKET_API_H_
