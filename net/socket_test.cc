#include "net/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/lookup.h"
#include "net/network_env.h"
#include "net/socket_api.h"
#include "testing/service_state.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::RunUntilStopped;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs the loop until a handler calls Stop(), at most `limit`. False when the
// limit ended it.
// A plain datagram socket on 127.0.0.1 with a known port, to send from.
class RawUdp {
 public:
  RawUdp() : fd_(netsys::CreateSocket(true, false)) {
    netsys::Bind(fd_, netsys::kLoopback, 0);
    port_ = BoundPort(fd_);
  }
  ~RawUdp() { netsys::Close(fd_); }
  void SendTo(const std::string& bytes, int port) {
    netsys::SendTo(fd_, bytes.data(), bytes.size(), netsys::kLoopback,
                   static_cast<std::uint16_t>(port));
  }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

std::unique_ptr<Socket> UdpReceiver() {
  auto s = std::make_unique<Socket>();
  s->Protocol = 1;
  s->Listen();
  return s;
}

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(NetworkStartupCount(), 0);
    ASSERT_EQ(Socket::LiveSocketCount(), 0);
  }
  void TearDown() override {
    EXPECT_EQ(NetworkStartupCount(), 0) << "a socket left the network started";
    EXPECT_EQ(Socket::LiveSocketCount(), 0);
  }
};

TEST_F(SocketTest, ListenersShareOneNetworkStartUpAndTakeTheSystemsPort) {
  EventLoop loop;
  {
    Socket tcp;
    tcp.Listen();
    EXPECT_EQ(tcp.State, Socket::kListening);
    EXPECT_GT(tcp.LocalPort, 0);
    EXPECT_NE(tcp.SocketHandle, 0);
    EXPECT_EQ(NetworkStartupCount(), 1);
    Socket udp;
    udp.Protocol = 1;
    udp.Listen();
    EXPECT_EQ(udp.State, Socket::kListening);
    EXPECT_GT(udp.LocalPort, 0);
    EXPECT_EQ(NetworkStartupCount(), 1 + 1);
    EXPECT_EQ(Socket::LiveSocketCount(), 2);

    tcp.Disconnect();
    EXPECT_EQ(tcp.State, Socket::kClosed);
    EXPECT_EQ(tcp.LocalPort, 0);
    EXPECT_EQ(tcp.SocketHandle, 0);
    EXPECT_EQ(NetworkStartupCount(), 1);
    EXPECT_EQ(Socket::LiveSocketCount(), 1);
  }
}

TEST_F(SocketTest, ConnectThatCannotStartReturnsClosedWithoutEvents) {
  EventLoop loop;
  Socket s;
  int events = 0;
  s.OnError = [&](std::int32_t, const std::string&) { ++events; };
  s.OnConnect = [&] { ++events; };
  s.Connect("no-such-host.invalid", 104);
  EXPECT_EQ(s.State, Socket::kClosed);
  s.Connect("127.0.0.1", 65535);
  EXPECT_EQ(s.State, Socket::kClosed);
  s.Connect("127.0.0.1", -1);  // low 16 bits all ones
  EXPECT_EQ(s.State, Socket::kClosed);
  loop.Yield();
  EXPECT_EQ(events, 0);
  EXPECT_EQ(s.SocketHandle, 0);
}

TEST_F(SocketTest, SendDataToSendsOneDatagramPerCallAndLeavesNothingBehind) {
  EventLoop loop;
  auto receiver = UdpReceiver();
  std::vector<std::string> got;
  receiver->OnDataArrival = [&](const std::string& data, const std::string& from) {
    got.push_back(data);
    EXPECT_EQ(from, "127.0.0.1");
    if (data == "end") loop.Stop();
  };
  const int port = receiver->LocalPort;
  {
    Socket sender;
    sender.SendDataTo("", "127.0.0.1", port);  // nothing to send
    EXPECT_EQ(NetworkStartupCount(), 1);       // only the receiver's
    EXPECT_EQ(Socket::LiveSocketCount(), 1);
    EXPECT_EQ(sender.SocketHandle, 0);
    EXPECT_EQ(sender.Protocol, 1);
    sender.LineSeparator = "\r\n";
    sender.SendDataTo("abc", "127.0.0.1", port);
    sender.LineSeparator.clear();
    sender.SendDataTo(SocketData::Byte(0x41), "127.0.0.1", port);
    sender.SendDataTo(std::vector<std::uint8_t>{1, 0, 2}, "127.0.0.1", port);
    sender.SendDataTo(SocketData::Other("\xC4" "1"), "127.0.0.1", port);  // "Ä1"
    sender.SendDataTo("lost", "127.0.0.1", 65535);  // refused before sending
    sender.SendDataTo("lost", "no-such-host.invalid", port);
    sender.SendDataTo("end", "127.0.0.1", port + 0x10000);  // only the low 16 bits count
    EXPECT_EQ(sender.State, Socket::kClosed);
  }
  ASSERT_TRUE(RunUntilStopped(loop));
  const std::vector<std::string> expected = {
      "abc\r\n", "A", std::string("\x01\x00\x02", 3), std::string("\xC4\x00\x31\x00", 4), "end"};
  EXPECT_EQ(got, expected);
}

TEST_F(SocketTest, ReceivedTextIsCutIntoLinesAcrossReads) {
  EventLoop loop;
  auto lines_receiver = UdpReceiver();
  lines_receiver->LineSeparator = "\r\n";
  auto raw_receiver = UdpReceiver();
  std::vector<std::string> lines, raw;
  lines_receiver->OnLineDataArrival = [&](const std::string& line, const std::string& from) {
    lines.push_back(line + "@" + from);
    if (line == "end") loop.Stop();
  };
  lines_receiver->OnDataArrival = [&](const std::string& data, const std::string&) {
    raw.push_back("unexpected " + data);
  };
  raw_receiver->OnDataArrival = [&](const std::string& data, const std::string&) {
    raw.push_back(data);
  };
  RawUdp sender;
  // Each datagram is one read: the lines straddle them.
  sender.SendTo("AB", lines_receiver->LocalPort);
  sender.SendTo("C\r\nD\r", lines_receiver->LocalPort);
  sender.SendTo("\n", lines_receiver->LocalPort);
  // A zero byte ends the text of its read; without a separator the bytes
  // arrive whole.
  sender.SendTo(std::string("x\0y\r\n", 5), lines_receiver->LocalPort);
  sender.SendTo("z\r\nend\r\n", lines_receiver->LocalPort);
  sender.SendTo(std::string("x\0y", 3), raw_receiver->LocalPort);
  ASSERT_TRUE(RunUntilStopped(loop));
  EXPECT_EQ(lines, (std::vector<std::string>{"ABC@127.0.0.1", "D@127.0.0.1", "xz@127.0.0.1",
                                             "end@127.0.0.1"}));
  loop.Yield();
  EXPECT_EQ(raw, std::vector<std::string>{std::string("x\0y", 3)});
  EXPECT_EQ(lines_receiver->RemoteHost, "127.0.0.1");
  EXPECT_EQ(lines_receiver->RemotePort, sender.port());
}

TEST_F(SocketTest, TheLaterOfTwoObjectsHoldingAHandleGetsItsEvents) {
  EventLoop loop;
  auto first = UdpReceiver();
  auto second = UdpReceiver();
  loop.Yield();  // both report they can send
  int first_reads = 0;
  std::string second_got;
  first->OnDataArrival = [&](const std::string&, const std::string&) { ++first_reads; };
  second->OnDataArrival = [&](const std::string& data, const std::string&) {
    second_got = data;
    loop.Stop();
  };
  const int own_handle = second->SocketHandle;
  second->SocketHandle = first->SocketHandle;
  RawUdp sender;
  sender.SendTo("to first", first->LocalPort);
  EXPECT_TRUE(RunUntilStopped(loop));
  second->SocketHandle = own_handle;
  EXPECT_EQ(second_got, "to first");
  EXPECT_EQ(first_reads, 0);
}

// A listener whose accepted connections echo each line back.
struct EchoServer {
  EchoServer() {
    listener.Listen();
    listener.OnConnectionRequest = [this] {
      auto c = std::make_unique<Socket>();
      Socket* raw = c.get();
      raw->LineSeparator = "\r\n";
      raw->OnLineDataArrival = [raw](const std::string& line, const std::string&) {
        raw->SendData("echo:" + line);
      };
      raw->Accept(listener);
      accepted.push_back(std::move(c));
    };
  }
  Socket listener;
  std::vector<std::unique_ptr<Socket>> accepted;
};

TEST_F(SocketTest, TcpEchoThroughConnectListenAndAccept) {
  EventLoop loop;
  {
    EchoServer server;
    Socket client;
    client.LineSeparator = "\r\n";
    std::vector<std::string> log;
    client.OnConnect = [&] {
      log.push_back("Connect");
      client.SendData("hello");
    };
    client.OnSendComplete = [&] { log.push_back("SendComplete"); };
    client.OnLineDataArrival = [&](const std::string& line, const std::string& from) {
      log.push_back(line + "@" + from);
      loop.Stop();
    };
    client.Connect("127.0.0.1", server.listener.LocalPort);
    EXPECT_EQ(client.State, Socket::kConnecting);
    ASSERT_TRUE(RunUntilStopped(loop));
    EXPECT_EQ(log, (std::vector<std::string>{"Connect", "SendComplete", "echo:hello@127.0.0.1"}));
    EXPECT_EQ(client.State, Socket::kConnected);
    EXPECT_EQ(client.RemoteHost, "127.0.0.1");
    EXPECT_EQ(client.RemotePort, server.listener.LocalPort);
    ASSERT_EQ(server.accepted.size(), 1u);
    const Socket& peer = *server.accepted[0];
    EXPECT_EQ(peer.State, Socket::kConnected);
    EXPECT_EQ(peer.RemoteHost, "127.0.0.1");
    EXPECT_EQ(peer.RemotePort, client.LocalPort);
  }
}

TEST_F(SocketTest, CloseDeliversPendingTextBeforeClosed) {
  EventLoop loop;
  Socket listener;
  listener.Listen();
  listener.OnConnectionRequest = [&] {
    Socket peer;
    peer.Accept(listener);
    peer.SendData("L1\r\nXYZ");
  };  // the peer closes as it goes out of scope
  Socket client;
  client.LineSeparator = "\r\n";
  std::vector<std::string> log;
  client.OnLineDataArrival = [&](const std::string& line, const std::string&) {
    log.push_back(line);
  };
  client.OnClosed = [&] {
    log.push_back("Closed in state " + std::to_string(client.State));
    loop.Stop();
  };
  client.Connect("127.0.0.1", listener.LocalPort);
  ASSERT_TRUE(RunUntilStopped(loop));
  EXPECT_EQ(log, (std::vector<std::string>{"L1", "XYZ", "Closed in state 4"}));
  EXPECT_EQ(client.State, Socket::kClosed);
  EXPECT_EQ(client.SocketHandle, 0);
}

TEST_F(SocketTest, ReadsTakeAtMost2000BytesAndGoOnAtOnce) {
  EventLoop loop;
  std::vector<std::uint8_t> payload(3000);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
  Socket listener;
  listener.Listen();
  listener.OnConnectionRequest = [&] {
    Socket peer;
    peer.Accept(listener);
    peer.SendData(payload);
  };
  auto client = std::make_unique<Socket>();
  std::vector<std::size_t> sizes;
  std::string received;
  client->OnDataArrival = [&](const std::string& data, const std::string&) {
    sizes.push_back(data.size());
    received += data;
  };
  client->OnClosed = [&] {
    client.reset();  // an owner may drop the object inside its own event
    loop.Stop();
  };
  client->Connect("127.0.0.1", listener.LocalPort);
  ASSERT_TRUE(RunUntilStopped(loop));
  EXPECT_EQ(client, nullptr);
  EXPECT_EQ(sizes, (std::vector<std::size_t>{2000, 1000}));
  EXPECT_EQ(received, std::string(payload.begin(), payload.end()));
}

TEST_F(SocketTest, RefusedConnectRaisesErrorWithTheTableText) {
  EventLoop loop;
  // Bound but not listening: the connect is refused.
  int fd = netsys::CreateSocket(false, false);
  ASSERT_TRUE(netsys::Bind(fd, netsys::kLoopback, 0));
  Socket client;
  std::vector<std::string> errors;
  client.OnError = [&](std::int32_t number, const std::string& description) {
    EXPECT_EQ(number, 0);
    errors.push_back(description);
    loop.AddTimer(50ms, [&] { loop.Stop(); });  // give a second report a chance
  };
  client.Connect("127.0.0.1", BoundPort(fd));
  ASSERT_TRUE(RunUntilStopped(loop));
  netsys::Close(fd);
  EXPECT_EQ(errors, std::vector<std::string>{"Connection refused."});
  EXPECT_EQ(client.State, Socket::kClosed);
}

TEST_F(SocketTest, ConnectThatNeverCompletesTimesOut) {
  EventLoop loop;
  // A listener with a full backlog never answers the next handshake.
  int fd = netsys::CreateSocket(false, false);
  ASSERT_TRUE(netsys::Bind(fd, netsys::kLoopback, 0));
  ASSERT_TRUE(netsys::Listen(fd, 0));
  const int port = BoundPort(fd);
  Socket filler, client;
  client.TimeOut = 300;
  std::vector<std::string> log;
  Clock::time_point started;
  Clock::duration waited{};
  filler.OnConnect = [&] {
    started = Clock::now();
    client.Connect("127.0.0.1", port);
  };
  client.OnConnect = [&] {
    log.push_back("Connect");
    loop.Stop();
  };
  client.OnError = [&](std::int32_t number, const std::string& description) {
    waited = Clock::now() - started;
    log.push_back(std::to_string(number) + " " + description);
    loop.Stop();
  };
  filler.Connect("127.0.0.1", port);
  ASSERT_TRUE(RunUntilStopped(loop));
  netsys::Close(fd);
  EXPECT_EQ(log, std::vector<std::string>{"0 Timeout"});
  EXPECT_GE(waited, 290ms);
  EXPECT_EQ(client.State, Socket::kClosed);
  EXPECT_EQ(client.SocketHandle, 0);
}

TEST_F(SocketTest, TimeOutTickAfterTheConnectRaisesNothing) {
  EventLoop loop;
  Socket listener;
  listener.Listen();
  std::unique_ptr<Socket> peer;
  listener.OnConnectionRequest = [&] {
    peer = std::make_unique<Socket>();
    peer->Accept(listener);
  };
  Socket client;
  client.TimeOut = 50;
  int errors = 0;
  client.OnError = [&](std::int32_t, const std::string&) { ++errors; };
  client.OnConnect = [&] { loop.AddTimer(200ms, [&] { loop.Stop(); }); };
  client.Connect("127.0.0.1", listener.LocalPort);
  ASSERT_TRUE(RunUntilStopped(loop));
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(client.State, Socket::kConnected);
}

TEST_F(SocketTest, AnExceptionFromAnEventHandlerStaysInsideTheSocket) {
  EventLoop loop;
  std::vector<std::string> uncaught;
  loop.SetUncaughtHandler([&](const char* what) { uncaught.push_back(what); });
  EchoServer server;
  Socket client;
  bool send_complete = false;
  client.OnConnect = [] { throw std::runtime_error("owner failed"); };
  client.OnSendComplete = [&] {
    send_complete = true;
    loop.Stop();
  };
  client.Connect("127.0.0.1", server.listener.LocalPort);
  ASSERT_TRUE(RunUntilStopped(loop));
  EXPECT_TRUE(send_complete);
  EXPECT_TRUE(uncaught.empty());
  EXPECT_EQ(client.State, Socket::kConnected);
}

TEST_F(SocketTest, SendFileSendsTheBytesAndIgnoresAMissingFile) {
  EventLoop loop;
  testing::TempDir dir;
  std::string content;
  for (int i = 0; i < 12345; ++i) content.push_back(static_cast<char>(i % 251));
  testing::WriteFile(dir / "report.bin", content);
  Socket listener;
  listener.Listen();
  std::unique_ptr<Socket> peer;
  std::string received;
  listener.OnConnectionRequest = [&] {
    peer = std::make_unique<Socket>();
    peer->OnDataArrival = [&](const std::string& data, const std::string&) {
      received += data;
      if (received.size() >= content.size()) loop.Stop();
    };
    peer->Accept(listener);
  };
  Socket client;
  client.OnConnect = [&] {
    client.SendFile(dir / "missing.bin");
    client.SendFile(dir / "report.bin");
  };
  client.Connect("127.0.0.1", listener.LocalPort);
  ASSERT_TRUE(RunUntilStopped(loop));
  EXPECT_EQ(received, content);
  EXPECT_FALSE(testing::Exists(dir / "missing.bin"));
}

}  // namespace
}  // namespace norv
