// The system's resolver (getaddrinfo, getnameinfo, gethostname).
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "net/lookup.h"
#include "core/ansi.h"

namespace norv {
namespace {

// RFC 6761: "invalid" and the names under it never exist, and resolvers
// should say so without a query.
bool IsReservedInvalid(std::string name) {
  while (!name.empty() && name.back() == '.') name.pop_back();
  name = AsciiLower(name);
  return name == "invalid" ||
         (name.size() > 8 && name.compare(name.size() - 8, 8, ".invalid") == 0);
}

class PosixResolver : public Resolver {
 public:
  std::vector<std::uint32_t> AddressesOf(const std::string& name) override {
    std::vector<std::uint32_t> result;
    if (name.empty() || IsReservedInvalid(name)) return result;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0) return result;
    for (addrinfo* p = list; p; p = p->ai_next) {
      if (p->ai_family != AF_INET || !p->ai_addr) continue;
      sockaddr_in sa;
      std::memcpy(&sa, p->ai_addr, sizeof sa);
      std::uint32_t address = ntohl(sa.sin_addr.s_addr);
      if (std::find(result.begin(), result.end(), address) == result.end()) {
        result.push_back(address);
      }
    }
    freeaddrinfo(list);
    return result;
  }

  std::string NameOf(std::uint32_t address) override {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr,
                    0, NI_NAMEREQD) != 0) {
      return "";
    }
    return host;
  }

  std::string HostName() override {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) return "";
    return std::string(buffer, strnlen(buffer, sizeof buffer));
  }
};

}  // namespace

Resolver& SystemResolver() {
  static PosixResolver resolver;
  return resolver;
}

std::optional<std::uint32_t> ParseDottedAddress(std::string_view text) {
  std::string s(text);
  in_addr a{};
  if (inet_aton(s.c_str(), &a) == 0) return std::nullopt;
  return ntohl(a.s_addr);
}

}  // namespace norv
