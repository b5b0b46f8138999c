// TLS through the socket object on loopback, with self-signed certificates
// made for the test run. The far end runs on a thread of its own with the
// plain TLS calls, since the object's hand-shakes block.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "net/lookup.h"
#include "net/socket.h"
#include "net/socket_api.h"
#include "net/tls.h"
#include "testing/service_state.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::RunUntilStopped;

using namespace std::chrono_literals;

constexpr int kBlockingLimitMs = 5000;

struct Certificate {
  std::string cert_file, key_file, cert_pem, key_pem;
};

// Reads from a TLS handle until a line end has arrived or the stream ends.
std::string ReadLine(std::int32_t handle) {
  std::string got;
  char buffer[256];
  while (got.find("\r\n") == std::string::npos) {
    int n = ssl_recv(handle, buffer, sizeof buffer);
    if (n < 1) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

void Send(std::int32_t handle, const std::string& text) {
  ssl_send(handle, text.data(), static_cast<std::int32_t>(text.size()));
}

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing::TempDir();
    server_ = MakeCertificate("server", "/CN=norv-test-server/O=NORV Test");
    other_ = MakeCertificate("other", "/CN=someone-else");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static Certificate MakeCertificate(const std::string& name, const std::string& subject) {
    Certificate c;
    c.cert_file = *dir_ / (name + "-cert.pem");
    c.key_file = *dir_ / (name + "-key.pem");
    std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj '" + subject + "' -keyout '" + c.key_file + "' -out '" + c.cert_file +
        "' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) {
      c.cert_pem = testing::ReadFile(c.cert_file);
      c.key_pem = testing::ReadFile(c.key_file);
    }
    return c;
  }

  void SetUp() override {
    if (server_.cert_pem.empty() || other_.cert_pem.empty()) {
      GTEST_SKIP() << "the openssl command could not make a test certificate";
    }
  }

  static testing::TempDir* dir_;
  static Certificate server_;
  static Certificate other_;
};

testing::TempDir* TlsTest::dir_ = nullptr;
Certificate TlsTest::server_;
Certificate TlsTest::other_;

TEST_F(TlsTest, ClientConnectsReportsThePeerAndTalks) {
  struct Case {
    std::string ca_file;
    bool trusted;
  };
  const Case cases[] = {{server_.cert_file, true}, {other_.cert_file, false}, {"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("CA file " + c.ca_file);
    EventLoop loop;
    int listen_fd = netsys::CreateSocket(false, false);
    ASSERT_TRUE(netsys::Bind(listen_fd, netsys::kLoopback, 0));
    ASSERT_TRUE(netsys::Listen(listen_fd, 1));
    netsys::SetTimeouts(listen_fd, kBlockingLimitMs);
    std::int32_t server_handle = 0;
    std::string server_got;
    bool server_saw_close = false;
    std::thread server([&] {
      int fd = netsys::Accept(listen_fd, false);
      if (fd < 0) return;
      netsys::SetTimeouts(fd, kBlockingLimitMs);
      server_handle = ssl_init_server(fd, server_.cert_pem.c_str(), server_.key_pem.c_str());
      if (server_handle > 100) {
        server_got = ReadLine(server_handle);
        Send(server_handle, "echo:" + server_got);
        char buffer[16];
        server_saw_close = ssl_recv(server_handle, buffer, sizeof buffer) == 0;
        ssl_cleanup(server_handle);
      }
      netsys::Close(fd);
    });

    Socket client;
    client.SSLEnable = true;
    client.SSLCAFile = c.ca_file;
    client.LineSeparator = "\r\n";
    bool connect_event = false;
    std::string reply;
    client.OnConnect = [&] { connect_event = true; };
    client.OnLineDataArrival = [&](const std::string& line, const std::string&) {
      reply = line;
      client.Disconnect();
      loop.Stop();
    };
    client.Connect("127.0.0.1", BoundPort(listen_fd));
    EXPECT_TRUE(connect_event);
    EXPECT_EQ(client.State, Socket::kConnected);
    EXPECT_GT(client.SSLHandle, 0);
    EXPECT_FALSE(client.SSLCipher.empty());
    EXPECT_NE(client.SSLSubject.find("CN=norv-test-server"), std::string::npos) << client.SSLSubject;
    EXPECT_EQ(client.SSLIssuer, client.SSLSubject);  // self-signed
    EXPECT_EQ(client.SSLTrusted, c.trusted);
    EXPECT_EQ(client.RemoteHost, "127.0.0.1");
    client.SendData("hello");
    EXPECT_TRUE(RunUntilStopped(loop));
    server.join();
    netsys::Close(listen_fd);
    EXPECT_GT(server_handle, 100);
    EXPECT_EQ(server_got, "hello\r\n");
    EXPECT_EQ(reply, "echo:hello");
    EXPECT_TRUE(server_saw_close);
    EXPECT_EQ(client.State, Socket::kClosed);
    EXPECT_EQ(client.SSLHandle, 0);
  }
}

TEST_F(TlsTest, AcceptedConnectionRunsTheServerSide) {
  EventLoop loop;
  Socket listener;
  listener.SSLEnable = true;
  listener.SSLServerCertificate = server_.cert_pem;
  listener.SSLServerKey = server_.key_pem;
  listener.Listen();
  ASSERT_EQ(listener.State, Socket::kListening);
  std::unique_ptr<Socket> peer;
  std::int32_t accepted_handle = 0;
  listener.OnConnectionRequest = [&] {
    peer = std::make_unique<Socket>();
    Socket* raw = peer.get();
    raw->LineSeparator = "\r\n";
    raw->OnLineDataArrival = [raw](const std::string& line, const std::string&) {
      raw->SendData("echo:" + line);
    };
    raw->OnClosed = [&] { loop.Stop(); };
    raw->Accept(listener);
    accepted_handle = raw->SSLHandle;
  };

  const int port = listener.LocalPort;
  std::string cipher, subject, issuer, reply;
  std::int32_t verify = -1;
  std::thread client([&] {
    int fd = netsys::CreateSocket(false, false);
    netsys::SetTimeouts(fd, kBlockingLimitMs);
    if (netsys::Connect(fd, netsys::kLoopback, static_cast<std::uint16_t>(port)) == 0) {
      std::int32_t h = ssl_init_client(fd, server_.cert_file.c_str());
      if (h != 0) {
        char text[1000];
        ssl_getcipher(h, text, sizeof text);
        cipher = text;
        ssl_getsubject(h, text, sizeof text);
        subject = text;
        ssl_getissuer(h, text, sizeof text);
        issuer = text;
        verify = ssl_getverify(h);
        Send(h, "ping\r\n");
        reply = ReadLine(h);
        ssl_cleanup(h);
      }
    }
    netsys::Close(fd);
  });
  EXPECT_TRUE(RunUntilStopped(loop));
  client.join();
  EXPECT_GT(accepted_handle, 100);
  EXPECT_EQ(reply, "echo:ping\r\n");
  EXPECT_FALSE(cipher.empty());
  EXPECT_NE(subject.find("CN=norv-test-server"), std::string::npos) << subject;
  EXPECT_EQ(issuer, subject);
  EXPECT_EQ(verify, 0);
  ASSERT_NE(peer, nullptr);
  EXPECT_EQ(peer->State, Socket::kClosed);
}

}  // namespace
}  // namespace norv
