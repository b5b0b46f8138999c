#include "net/lookup.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>

#include "net/network_env.h"
#include "net/socket_api.h"
#include "net/socket_errors.h"

namespace norv {
namespace {

// A resolver with a fixed answer, so that no look-up leaves the process.
class FakeResolver : public Resolver {
 public:
  std::vector<std::uint32_t> AddressesOf(const std::string& name) override {
    ++forward_lookups;
    auto it = hosts.find(name);
    return it == hosts.end() ? std::vector<std::uint32_t>{} : it->second;
  }
  std::string NameOf(std::uint32_t address) override {
    auto it = names.find(address);
    return it == names.end() ? "" : it->second;
  }
  std::string HostName() override { return host_name; }

  std::map<std::string, std::vector<std::uint32_t>> hosts;
  std::map<std::uint32_t, std::string> names;
  std::string host_name;
  int forward_lookups = 0;
};

std::uint32_t Ip(const char* dotted) { return ParseDottedAddress(dotted).value(); }

TEST(SocketErrorText, TableTextsAndUnknownNumbers) {
  const std::pair<int, const char*> cases[] = {
      {10004, "Interrupted system call."},
      {10035, "Operation would block."},
      {10047, "Address family not supported by protocol family."},
      {10049, "Can't assign requested address."},
      {10059, "Too many references: can't splice."},
      {10060, "Connection timed out."},
      {10061, "Connection refused."},
      {10093, "Winsock not Initized."},
      {10101, "Disconnect."},
      {11004, "Valid name, no data record of requested type."},
      {10000, "???"},
      {10072, "???"},
      {0, "???"},
      {-1, "???"},
  };
  for (const auto& [number, text] : cases) EXPECT_EQ(SocketErrorText(number), text) << number;
  EXPECT_EQ(SocketErrorTextCount(), 51);
}

TEST(SocketErrorText, SystemErrorsCarryTheTableTexts) {
  const std::pair<int, const char*> cases[] = {
      {ECONNREFUSED, "Connection refused."},   {ETIMEDOUT, "Connection timed out."},
      {ECONNRESET, "Connection reset by peer."}, {EWOULDBLOCK, "Operation would block."},
      {EHOSTUNREACH, "No route to host."},      {ENETUNREACH, "Network is unreachable."},
      {EADDRINUSE, "Address already in use."},  {EINPROGRESS, "Operation now in progress."},
      {ENOTCONN, "Socket is not connected."},   {EMSGSIZE, "Message too long."},
  };
  for (const auto& [e, text] : cases) {
    EXPECT_EQ(SocketErrorText(netsys::WsaErrorFromSystem(e)), text) << "errno " << e;
  }
  EXPECT_EQ(netsys::WsaErrorFromSystem(0), 0);
}

TEST(IsPrivateIP, JudgesTheFirstTwoPieces) {
  const std::pair<const char*, bool> cases[] = {
      {"10.1.2.3", true},        {"172.16.0.1", true},     {"172.31.255.255", true},
      {"192.168.1.1", true},     {"127.0.0.1", true},      {"172.15.0.1", false},
      {"172.32.0.1", false},     {"192.169.0.1", false},   {"127.1.0.1", false},
      {"11.0.0.1", false},       {"", false},              {"10", true},
      {"192.168.99999.1", true},  // third and fourth pieces are not looked at
      {"10x.1.2.3", true},        // leading digits count
      {"x.0.0.1", false},
      // A piece beyond the 16-bit range makes the address not private.
      {"99999.168.0.1", false},  {"192.99999.0.1", false}, {"10.32768.0.1", false},
      {"10.32767.0.1", true},
  };
  for (const auto& [ip, expected] : cases) EXPECT_EQ(IsPrivateIP(ip), expected) << ip;
}

TEST(TokenSplit, TakesTheTextBeforeTheSeparator) {
  struct Case {
    const char* text;
    const char* separator;
    const char* token;
    const char* rest;
  };
  const Case cases[] = {
      {"a.b.c", ".", "a", "b.c"}, {"abc", ".", "abc", ""},    {"", ".", "", ""},
      {".x", ".", "", "x"},       {"x.", ".", "x", ""},       {"a\r\nb\r\n", "\r\n", "a", "b\r\n"},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(TokenSplit(text, c.separator), c.token) << c.text;
    EXPECT_EQ(text, c.rest) << c.text;
  }
}

TEST(Addresses, DottedTextAndHostResolution) {
  EXPECT_EQ(DottedAddress(0x7F000001), "127.0.0.1");
  EXPECT_EQ(DottedAddress(0xC0A80A01), "192.168.10.1");
  EXPECT_EQ(DottedAddress(Ip("255.255.255.255")), "255.255.255.255");
  EXPECT_FALSE(ParseDottedAddress("300.1.1.1"));
  EXPECT_FALSE(ParseDottedAddress("host.example"));

  FakeResolver resolver;
  resolver.hosts["pacs"] = {Ip("127.0.0.5"), Ip("127.0.0.6")};
  EXPECT_EQ(ResolveHost("", resolver), Ip("255.255.255.255"));
  EXPECT_EQ(ResolveHost("127.0.0.9", resolver), Ip("127.0.0.9"));
  EXPECT_EQ(ResolveHost("pacs", resolver), Ip("127.0.0.5"));
  EXPECT_FALSE(ResolveHost("unknown", resolver));
  EXPECT_EQ(resolver.forward_lookups, 2);  // dotted text never reaches the resolver
}

TEST(Addresses, ReservedInvalidNamesAreUnknownWithoutAQuery) {
  EXPECT_TRUE(SystemResolver().AddressesOf("no-such-host.invalid").empty());
  EXPECT_TRUE(SystemResolver().AddressesOf("A.B.INVALID.").empty());
  EXPECT_FALSE(ResolveHost("no-such-host.invalid"));
}

TEST(Lookups, GetIPWalksTheAddressListWhileTheNetworkIsStarted) {
  FakeResolver resolver;
  resolver.hosts["one"] = {Ip("127.0.0.5")};
  resolver.hosts["two"] = {Ip("127.0.0.5"), Ip("127.0.0.6")};
  resolver.names[Ip("127.0.0.5")] = "one";
  ASSERT_EQ(NetworkStartupCount(), 0);
  EXPECT_EQ(GetIP("one", 0, resolver), "");  // nobody has the network started
  EXPECT_EQ(GetDNS("127.0.0.5", resolver), "");
  {
    ScopedNetwork network;
    EXPECT_EQ(GetIP("one", 0, resolver), "127.0.0.5");
    EXPECT_EQ(GetIP("one", 1, resolver), "");
    EXPECT_EQ(GetIP("two", 1, resolver), "127.0.0.6");
    EXPECT_EQ(GetIP("unknown", 0, resolver), "");
    EXPECT_EQ(GetIP("two", -1, resolver), "");
    EXPECT_EQ(GetDNS("127.0.0.5", resolver), "one");
    EXPECT_EQ(GetDNS("127.0.0.6", resolver), "");
    EXPECT_EQ(GetDNS("one", resolver), "one");  // a name is resolved first
  }
  EXPECT_EQ(NetworkStartupCount(), 0);
}

TEST(Lookups, MyIPPrefersTheLastPublicThenTheLastPrivateAddress) {
  struct Case {
    std::vector<const char*> addresses;
    const char* expected;
  };
  const Case cases[] = {
      {{"192.168.1.5", "10.0.0.7"}, "10.0.0.7"},
      {{"192.168.1.5", "8.8.4.4", "10.0.0.7"}, "8.8.4.4"},
      {{"1.2.3.4", "10.0.0.7", "5.6.7.8"}, "5.6.7.8"},
      {{"127.0.0.1"}, "127.0.0.1"},
      {{}, ""},
  };
  for (const Case& c : cases) {
    FakeResolver resolver;
    resolver.host_name = "station";
    for (const char* a : c.addresses) resolver.hosts["station"].push_back(Ip(a));
    EXPECT_EQ(MyIP(resolver), c.expected) << c.addresses.size() << " addresses";
    EXPECT_EQ(MyName(resolver), "station");
    EXPECT_EQ(NetworkStartupCount(), 0);  // held only for the call
  }
  FakeResolver nameless;
  nameless.hosts[""] = {Ip("1.2.3.4")};
  EXPECT_EQ(MyIP(nameless), "");
  EXPECT_FALSE(SystemResolver().HostName().empty());
}

}  // namespace
}  // namespace norv
