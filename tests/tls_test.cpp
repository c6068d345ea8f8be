// The TLS wrapper over loopback TCP with a test certificate chain made by
// scripts/make-test-cert.sh: a round trip, the version floor, a plain HTTP
// request and a silent peer at a TLS server, and files that do not fit.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "platform/tls.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using test::TempDir;

// A listener on 127.0.0.1 and a connected pair of sockets from it.
class Loopback {
 public:
  Loopback() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    EXPECT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len), 0);
    client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    server = ::accept(listener_, nullptr, nullptr);
  }
  ~Loopback() {
    ::close(client);
    ::close(server);
    ::close(listener_);
  }
  int client = -1, server = -1;

 private:
  int listener_ = -1;
};

class Tls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A write to a peer that has gone must fail, not end the test program
    // (tvlService ignores SIGPIPE the same way).
    ::signal(SIGPIPE, SIG_IGN);
  }
  void SetUp() override {
    const std::string command = std::string(TAVELLA_SOURCE_DIR) + "/scripts/make-test-cert.sh '" +
                                dir_.path() + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    Reason reason;
    ASSERT_TRUE(server_.load_server(cert(), key(), reason)) << reason.text;
    ASSERT_TRUE(client_.load_client(dir_.path() + "ca.pem", reason)) << reason.text;
  }
  std::string cert() const { return dir_.path() + "cert.pem"; }
  std::string key() const { return dir_.path() + "key.pem"; }

  TempDir dir_;
  TlsContext server_, client_;
};

TEST_F(Tls, AChainedCertificateServesARoundTripInBothDirections) {
  Loopback pair;
  Reason server_reason, client_reason;
  bool served = false;
  std::string got_by_server;
  std::thread server([&] {
    TlsConnection c;
    served = c.accept(pair.server, server_, 5000, server_reason);
    if (!served) return;
    char buffer[64];
    long n = c.read(buffer, sizeof buffer, 5000);
    if (n > 0) got_by_server.assign(buffer, static_cast<std::size_t>(n));
    served = c.write("HTTP/1.0 200 OK\r\n\r\nhello", 24, 5000);
    c.close();
  });
  TlsConnection c;
  ASSERT_TRUE(c.connect(pair.client, client_, "localhost", 5000, client_reason)) << client_reason.text;
  EXPECT_TRUE(c.protocol() == "TLSv1.3" || c.protocol() == "TLSv1.2") << c.protocol();
  ASSERT_TRUE(c.write("GET / HTTP/1.0\r\n\r\n", 18, 5000));
  std::string answer;
  char buffer[64];
  long n;
  while ((n = c.read(buffer, sizeof buffer, 5000)) > 0) answer.append(buffer, static_cast<std::size_t>(n));
  EXPECT_EQ(n, 0);  // the server's close_notify ends the stream cleanly
  server.join();
  EXPECT_TRUE(served) << server_reason.text;
  EXPECT_EQ(got_by_server, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(answer, "HTTP/1.0 200 OK\r\n\r\nhello");
}

TEST_F(Tls, ErrorPathPeersThatAreNoModernTlsClientsAreRefused) {
  struct Case {
    const char* what;
    void (*client)(int socket, Reason& reason);
  } cases[] = {
      {"a plain HTTP request",
       [](int socket, Reason&) {
         (void)!::write(socket, "GET / HTTP/1.0\r\n\r\n", 18);
       }},
      {"a client of TLS 1.1 at most",
       [](int socket, Reason& reason) {
         TlsContext legacy;
         if (!legacy.load_legacy_client(reason)) return;
         TlsConnection c;
         EXPECT_FALSE(c.connect(socket, legacy, "localhost", 5000, reason));
       }},
      {"a peer that says nothing", [](int, Reason&) {}},
      {"a peer that closes at once", [](int socket, Reason&) { ::shutdown(socket, SHUT_WR); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Loopback pair;
    Reason client_reason;
    std::thread client([&] { c.client(pair.client, client_reason); });
    TlsConnection server;
    Reason reason;
    EXPECT_FALSE(server.accept(pair.server, server_, 300, reason));
    EXPECT_FALSE(server.open());
    EXPECT_FALSE(reason.text.empty());
    client.join();
  }
}

TEST_F(Tls, ErrorPathTheClientChecksTheServersName) {
  Loopback pair;
  std::thread server([&] {
    TlsConnection c;
    Reason reason;
    (void)c.accept(pair.server, server_, 5000, reason);  // fails when the client gives up
  });
  TlsConnection c;
  Reason reason;
  EXPECT_FALSE(c.connect(pair.client, client_, "chat.example.org", 5000, reason));
  EXPECT_NE(reason.text.find("TLS handshake failed"), std::string::npos) << reason.text;
  ::shutdown(pair.client, SHUT_RDWR);
  server.join();
}

TEST_F(Tls, ErrorPathFilesThatCannotServeAreToldByName) {
  TempDir other;
  ASSERT_EQ(std::system((std::string(TAVELLA_SOURCE_DIR) + "/scripts/make-test-cert.sh '" +
                         other.path() + "' >/dev/null").c_str()),
            0);
  dir_.write("garbage.pem", "not a certificate\n");
  struct Case {
    std::string cert, key, says;
  } cases[] = {
      {dir_.path() + "missing.pem", key(), "the certificate " + dir_.path() + "missing.pem cannot be read"},
      {dir_.path() + "garbage.pem", key(), "the certificate " + dir_.path() + "garbage.pem cannot be read"},
      {cert(), dir_.path() + "missing.pem", "the key " + dir_.path() + "missing.pem cannot be read"},
      {cert(), other.path() + "key.pem",
       "the key " + other.path() + "key.pem does not belong to the certificate " + cert()},
  };
  for (const Case& c : cases) {
    TlsContext context;
    Reason reason;
    EXPECT_FALSE(context.load_server(c.cert, c.key, reason)) << c.says;
    EXPECT_FALSE(context.loaded());
    EXPECT_EQ(reason.text.rfind(c.says, 0), 0u) << reason.text;
  }
}

}  // namespace
}  // namespace tvl
