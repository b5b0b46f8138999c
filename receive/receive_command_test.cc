#include "receive/receive_command.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "net/socket_api.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using Level = ReceiveCheckLine::Level;

TEST(ReceiverConfigFrom, SettingsThatCannotWork) {
  testing::TempDir dir;
  testing::WriteFile(dir / "cert.pem", "CERT");
  testing::WriteFile(dir / "key.pem", "KEY");
  std::filesystem::create_symlink(dir / "key.pem", dir / "link.pem");
  struct Case {
    const char* name;
    void (*change)(Settings&, const testing::TempDir&);
    const char* error;  // nullptr: usable
  } cases[] = {
      {"defaults", [](Settings&, const testing::TempDir&) {}, nullptr},
      {"bad bind", [](Settings& s, const testing::TempDir&) { s.MLLPBind = "localhost"; },
       "MLLPBind"},
      {"bad allow entry", [](Settings& s, const testing::TempDir&) { s.MLLPAllow = "10.0.0.0/8, x"; },
       "\"x\""},
      {"only commas", [](Settings& s, const testing::TempDir&) { s.MLLPAllow = ", ,"; },
       "MLLPAllow"},
      {"certificate without key",
       [](Settings& s, const testing::TempDir& d) { s.MLLPTLSCert = d / "cert.pem"; }, "both"},
      {"trust file without certificate",
       [](Settings& s, const testing::TempDir& d) { s.MLLPTLSCA = d / "cert.pem"; },
       "MLLPTLSCA needs"},
      {"unreadable key",
       [](Settings& s, const testing::TempDir& d) {
         s.MLLPTLSCert = d / "cert.pem";
         s.MLLPTLSKey = d / "missing.pem";
       },
       "MLLPTLSKey"},
      // Certificate tools hand out links to the current files.
      {"key through a link",
       [](Settings& s, const testing::TempDir& d) {
         s.MLLPTLSCert = d / "cert.pem";
         s.MLLPTLSKey = d / "link.pem";
       },
       nullptr},
      {"TLS", [](Settings& s, const testing::TempDir& d) {
         s.MLLPTLSCert = d / "cert.pem";
         s.MLLPTLSKey = d / "key.pem";
       }, nullptr},
  };
  for (const Case& c : cases) {
    Settings s;
    s.MLLPPort = 2575;
    c.change(s, dir);
    std::string error;
    auto config = ReceiverConfigFrom(s, PlatformFileSystem(), &error);
    if (!c.error) {
      ASSERT_TRUE(config) << c.name << ": " << error;
      EXPECT_EQ(config->port, 2575) << c.name;
      // An empty allow list means loopback only.
      EXPECT_EQ(config->allow.Text(), "127.0.0.0/8") << c.name;
      EXPECT_EQ(config->tls_key, s.MLLPTLSKey.empty() ? "" : "KEY") << c.name;
    } else {
      EXPECT_FALSE(config) << c.name;
      EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    }
  }
}

TEST(CheckReceiverSettings, TellsWhetherThePortCanBeBound) {
  int busy = netsys::CreateSocket(false, true);
  ASSERT_GE(busy, 0);
  ASSERT_TRUE(netsys::Bind(busy, netsys::kLoopback, 0) && netsys::Listen(busy, 1));
  int busy_port = *netsys::LocalPort(busy);
  int free = netsys::CreateSocket(false, true);  // a port free a moment ago
  ASSERT_TRUE(netsys::Bind(free, netsys::kLoopback, 0));
  int free_port = *netsys::LocalPort(free);
  netsys::Close(free);
  struct Case {
    int port;
    Level last;
    const char* text;
  } cases[] = {
      {0, Level::kInfo, "off"},
      {busy_port, Level::kWarn, "running already"},
      {free_port, Level::kOk, "can be bound"},
  };
  for (const Case& c : cases) {
    Settings s;
    s.MLLPPort = c.port;
    s.InboundPath = "/in/";
    auto lines = CheckReceiverSettings(s, PlatformFileSystem());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().level, c.last) << c.port << ": " << lines.back().text;
    EXPECT_NE(lines.back().text.find(c.text), std::string::npos) << lines.back().text;
  }
  netsys::Close(busy);
}

}  // namespace
}  // namespace norv
