#include "net/lookup.h"

#include <cctype>

#include "net/network_env.h"
#include "net/socket_api.h"

namespace norv {
namespace {

// A dotted piece read as a number the lenient way (leading blanks, a sign,
// leading digits; no digits gives 0); nullopt outside the 16-bit range.
std::optional<int> PieceValue(std::string_view piece) {
  std::size_t i = 0;
  while (i < piece.size() && (piece[i] == ' ' || piece[i] == '\t')) ++i;
  bool negative = false;
  if (i < piece.size() && (piece[i] == '-' || piece[i] == '+')) negative = piece[i++] == '-';
  long value = 0;
  for (; i < piece.size() && std::isdigit(static_cast<unsigned char>(piece[i])); ++i) {
    value = value * 10 + (piece[i] - '0');
    if (value > 32768) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < -32768 || value > 32767) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace

std::string DottedAddress(std::uint32_t address) {
  return std::to_string((address >> 24) & 0xFF) + "." + std::to_string((address >> 16) & 0xFF) +
         "." + std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::optional<std::uint32_t> ResolveHost(std::string_view host, Resolver& resolver) {
  if (host.empty()) return netsys::kNoAddress;
  if (auto dotted = ParseDottedAddress(host)) return dotted;
  std::vector<std::uint32_t> found = resolver.AddressesOf(std::string(host));
  if (found.empty()) return std::nullopt;
  return found.front();
}

std::string GetIP(std::string_view hostname, int adapter, Resolver& resolver) {
  if (NetworkStartupCount() == 0 || adapter < 0) return "";
  std::vector<std::uint32_t> found = resolver.AddressesOf(std::string(hostname));
  if (static_cast<std::size_t>(adapter) >= found.size()) return "";
  return DottedAddress(found[static_cast<std::size_t>(adapter)]);
}

std::string GetDNS(std::string_view ip, Resolver& resolver) {
  if (NetworkStartupCount() == 0) return "";
  std::optional<std::uint32_t> address = ResolveHost(ip, resolver);
  // No host carries the broadcast address's name: spare the name server.
  if (!address || *address == netsys::kNoAddress) return "";
  return resolver.NameOf(*address);
}

std::string MyName(Resolver& resolver) {
  ScopedNetwork network;
  return resolver.HostName();
}

std::string MyIP(Resolver& resolver) {
  ScopedNetwork network;
  std::string name = resolver.HostName();
  if (name.empty()) return "";
  std::string public_address, private_address;
  for (std::uint32_t address : resolver.AddressesOf(name)) {
    std::string dotted = DottedAddress(address);
    if (IsPrivateIP(dotted)) {
      private_address = dotted;
    } else {
      public_address = dotted;
    }
  }
  return public_address.empty() ? private_address : public_address;
}

bool IsPrivateIP(std::string_view ip) {
  std::string rest(ip);
  std::optional<int> a = PieceValue(TokenSplit(rest, "."));
  std::optional<int> b = PieceValue(TokenSplit(rest, "."));
  if (!a || !b) return false;
  return *a == 10 || (*a == 172 && *b >= 16 && *b <= 31) || (*a == 192 && *b == 168) ||
         (*a == 127 && *b == 0);
}

std::string TokenSplit(std::string& text, std::string_view separator) {
  std::size_t at = text.find(separator);
  if (at == std::string::npos) {
    std::string all = std::move(text);
    text.clear();
    return all;
  }
  std::string before = text.substr(0, at);
  text.erase(0, at + separator.size());
  return before;
}

std::string PeerAddressText(int fd) {
  std::uint32_t address = 0;
  if (!netsys::PeerAddress(fd, &address, nullptr)) return "";
  return DottedAddress(address);
}

int PeerPort(int fd) {
  std::uint16_t port = 0;
  if (!netsys::PeerAddress(fd, nullptr, &port)) return 0;
  return port;
}

int BoundPort(int fd) { return netsys::LocalPort(fd).value_or(0); }

}  // namespace norv
