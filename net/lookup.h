// Name look-ups and address helpers of the socket library. All are
// stateless, never raise, and answer a failure with empty text (or false).
// The resolver behind them is the system's unless the caller names another
// (tests do). IPv4 addresses are host-order numbers as in socket_api.h.
#ifndef NORV_NET_LOOKUP_H_
#define NORV_NET_LOOKUP_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norv {

// What the look-ups ask of the platform's resolver.
class Resolver {
 public:
  virtual ~Resolver() = default;
  // The IPv4 addresses of a host name, in the resolver's order; empty when
  // the name is unknown.
  virtual std::vector<std::uint32_t> AddressesOf(const std::string& name) = 0;
  // The host name of an address; empty when there is none.
  virtual std::string NameOf(std::uint32_t address) = 0;
  // The local host's name; empty when the system cannot give it.
  virtual std::string HostName() = 0;
};

// The system's resolver. Names under the reserved top-level domain "invalid"
// are answered as unknown at once, without asking any name server.
Resolver& SystemResolver();

// Dotted text of an address: four decimal bytes joined by ".".
std::string DottedAddress(std::uint32_t address);
// Reads a dotted address the way the system's address parser does; nullopt
// when the text is not one.
std::optional<std::uint32_t> ParseDottedAddress(std::string_view text);

// A host text as an address: empty text gives 255.255.255.255; otherwise a
// dotted address, or else the first address the resolver gives for the name.
// nullopt when it cannot be resolved.
std::optional<std::uint32_t> ResolveHost(std::string_view host,
                                         Resolver& resolver = SystemResolver());

// Address number `adapter` (from 0) of the host in dotted text; empty when the
// host is unknown or has fewer addresses. Like GetDNS it answers only while
// the network layer is started (some socket object is using it).
std::string GetIP(std::string_view hostname, int adapter, Resolver& resolver = SystemResolver());
// The host name the resolver gives for an address text; empty when none.
std::string GetDNS(std::string_view ip, Resolver& resolver = SystemResolver());
// The local host name; empty when the system cannot give it.
std::string MyName(Resolver& resolver = SystemResolver());
// The local host's address: among the resolver's addresses for MyName(), the
// last public one, else the last private one; empty when there is none.
std::string MyIP(Resolver& resolver = SystemResolver());

// True for 10.x, 172.16-31.x, 192.168.x and 127.0.x addresses, judged by the
// first two dotted pieces only (read as leading digits, none giving 0). A
// piece outside the 16-bit range makes the address not private.
bool IsPrivateIP(std::string_view ip);

// Returns the text before the first `separator` in `text` and leaves in
// `text` what follows it; without a separator returns all of `text` and
// leaves it empty.
std::string TokenSplit(std::string& text, std::string_view separator);

// The peer of a connected socket in dotted text (empty when it has none), its
// port, and the port a socket is bound to (0 when unknown).
std::string PeerAddressText(int fd);
int PeerPort(int fd);
int BoundPort(int fd);

}  // namespace norv

#endif  // NORV_NET_LOOKUP_H_
