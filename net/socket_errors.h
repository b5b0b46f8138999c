// Texts for network error numbers. The numbers are the Windows Sockets error
// codes; the system layer (socket_api.h) maps the platform's own error numbers
// onto them so that every Error event carries one of these texts.
#ifndef NORV_NET_SOCKET_ERRORS_H_
#define NORV_NET_SOCKET_ERRORS_H_

#include <cstdint>
#include <string>

namespace norv {

// Windows Sockets error numbers the library itself relies on.
inline constexpr std::int32_t kWsaWouldBlock = 10035;
inline constexpr std::int32_t kWsaNotConnected = 10057;

// The text for a network error number; "???" for a number not in the table.
std::string SocketErrorText(std::int32_t number);

// Number of entries in the table (for tests).
int SocketErrorTextCount();

}  // namespace norv

#endif  // NORV_NET_SOCKET_ERRORS_H_
