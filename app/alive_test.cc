#include "app/alive.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "net/lookup.h"
#include "net/network_env.h"
#include "net/socket_api.h"
#include "platform/event_loop.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::TempDir;

// A datagram listener on 127.0.0.1 that waits at most a second per datagram.
class Listener {
 public:
  Listener() : fd_(netsys::CreateSocket(true, false)) {
    netsys::Bind(fd_, netsys::kLoopback, 0);
    netsys::SetTimeouts(fd_, 1000);
    port_ = BoundPort(fd_);
  }
  ~Listener() { netsys::Close(fd_); }
  int port() const { return port_; }
  // The next datagram's bytes; nullopt when none came in time.
  std::optional<std::string> Next() {
    char buffer[2048];
    std::uint32_t from = 0;
    long n = netsys::ReceiveFrom(fd_, buffer, sizeof buffer, &from, nullptr);
    if (n < 0) return std::nullopt;
    EXPECT_EQ(DottedAddress(from), "127.0.0.1");
    return std::string(buffer, static_cast<std::size_t>(n));
  }

 private:
  int fd_;
  int port_ = 0;
};

class AliveTest : public ::testing::Test {
 protected:
  Settings& settings() { return service_.settings; }
  void SendAlive() { norv::SendAlive(service_.settings, service_.log); }
  void WriteSettings(const std::string& caption, int udp) {
    char dword[16];
    std::snprintf(dword, sizeof dword, "%08x", static_cast<unsigned>(udp));
    testing::WriteFile(dir_ / "NORVReader.reg",
                       "REGEDIT4\r\n[HKLM\\Software\\VLM\\Tessarine\\NORVReader\\01]\r\n"
                       "\"Caption\"=\"" + caption + "\"\r\n"
                       "[HKLM\\Software\\VLM\\Tessarine\\ Default]\r\n"
                       "\"UDP\"=dword:" + dword + "\r\n");
  }
  bool ErrorLogged() const { return testing::Exists(dir_ / "Logs/NORVReaderError.log"); }
  TempDir dir_;
  Service service_{PlatformFileSystem(), dir_.path(), {dir_ / "NORVReader.reg", "01"}};
};

TEST_F(AliveTest, SendsExactlyTheCaptionBytesAndNothingForAnEmptyCaption) {
  Listener listener;
  settings().UDP = listener.port();
  settings().Caption = "";
  SendAlive();  // nothing to send
  settings().Caption = "NORVReader 01 \xE4\xFC";  // Windows-1252 bytes go out as they are
  SendAlive();
  settings().Caption = "second";
  SendAlive();
  EXPECT_EQ(listener.Next(), "NORVReader 01 \xE4\xFC");
  EXPECT_EQ(listener.Next(), "second");
  EXPECT_FALSE(ErrorLogged());
  EXPECT_EQ(NetworkStartupCount(), 0);
}

TEST_F(AliveTest, OnlyTheLow16BitsOfThePortCountAndFailedSendsAreSilent) {
  Listener listener;
  settings().Caption = "low bits";
  settings().UDP = 0;  // no value at first start: the send fails unnoticed
  SendAlive();
  settings().UDP = 0x10000 | 0xFFFF;  // 65535: refused before sending
  SendAlive();
  settings().UDP = 0x20000 + listener.port();
  SendAlive();
  EXPECT_EQ(listener.Next(), "low bits");
  EXPECT_FALSE(ErrorLogged());
}

TEST_F(AliveTest, AliveTicksSendTheCaptionAndTheSixthReloadsTheSettings) {
  Listener listener;
  Listener moved;
  WriteSettings("first", listener.port());
  EventLoop loop;
  MainForm form(loop, service_);  // sends with SendAlive unless told otherwise
  form.Start();
  WriteSettings("second", moved.port());
  for (int tick = 1; tick <= 7; ++tick) form.TimerAlive_Timer();
  // The sixth tick sends before it reloads: the new caption and port are
  // used from the seventh tick on.
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(listener.Next(), "first") << "datagram " << i;
  EXPECT_EQ(moved.Next(), "second");
  EXPECT_EQ(form.caption(), "second");
  EXPECT_EQ(form.AliveTickCount(), 1);
  EXPECT_FALSE(ErrorLogged());
}

}  // namespace
}  // namespace norv
