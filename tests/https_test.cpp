// HTTPS: the connection server on its TLS port (answers of every size, peers
// that are no modern TLS client, a silent one under the request bound) and
// tvlService with the TLS settings (the start page, the redirect of the
// plain port, a certificate that cannot be loaded). Loopback and free ports
// only; certificates from scripts/make-test-cert.sh in a temporary folder.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "platform/fs.h"
#include "platform/tls.h"
#include "tests/support/child_process.h"
#include "tests/support/scripted_server.h"
#include "tests/support/service_folder.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;

// A blocking loopback connection; every read gives up after 10 s so a hang
// fails the test instead of stalling it.
// With `source`, from that loopback address ("127.0.0.2").
int connect_to(int port, const char* source = nullptr) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (source) {
    ::inet_pton(AF_INET, source, &a.sin_addr);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(s);
      return -1;
    }
  }
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval limit{10, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// The whole answer to `request` over TLS, or "refused: <reason>". With
// `record`, the request goes in records of that many bytes, written back to
// back.
std::string https_exchange(int port, const TlsContext& client, const std::string& request,
                           std::size_t record = std::string::npos,
                           const char* source = nullptr) {
  int s = connect_to(port, source);
  if (s < 0) return "refused: no connection";
  TlsConnection tls;
  Reason reason;
  std::string answer;
  if (!tls.connect(s, client, "127.0.0.1", 5000, reason)) {
    ::close(s);
    return "refused: " + reason.text;
  }
  bool written = true;
  for (std::size_t at = 0; written && at < request.size(); at += record)
    written = tls.write(request.data() + at, std::min(record, request.size() - at), 5000);
  if (written) {
    char buffer[16384];
    long n;
    while ((n = tls.read(buffer, sizeof buffer, 10000)) > 0) answer.append(buffer, n);
  }
  tls.close();
  ::close(s);
  return answer;
}

// What a plain client gets: everything until the server closes.
std::string plain_exchange(int port, const std::string& request) {
  int s = connect_to(port);
  if (s < 0) return "refused: no connection";
  std::string answer;
  if (!request.empty()) (void)::send(s, request.data(), request.size(), MSG_NOSIGNAL);
  char buffer[4096];
  long n;
  while ((n = ::recv(s, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, n);
  const bool closed = n == 0 || errno == ECONNRESET;
  ::close(s);
  return closed ? answer : "still open";
}

class Certificates : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::signal(SIGPIPE, SIG_IGN); }
  void SetUp() override {
    const std::string command = std::string(TAVELLA_SOURCE_DIR) + "/scripts/make-test-cert.sh '" +
                                certs_.path() + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    Reason reason;
    ASSERT_TRUE(client_.load_client(certs_.path() + "ca.pem", reason)) << reason.text;
  }
  test::TempDir certs_;
  TlsContext client_;
};

// ---- the connection server -------------------------------------------------

class TlsPort : public Certificates {
 protected:
  void SetUp() override {
    Certificates::SetUp();
    auto context = std::make_shared<TlsContext>();
    Reason reason;
    ASSERT_TRUE(context->load_server(certs_.path() + "cert.pem", certs_.path() + "key.pem", reason));
    server_.handler = [](const std::string&, const std::string& request, std::string& response,
                         int& keep) {
      // "SIZE n END": n bytes of a pattern that shows any lost or doubled piece;
      // "SIZE n MORE END" keeps the connection for the next request.
      const std::size_t size = std::stoul(request.substr(5));
      for (std::size_t i = 0; i < size; ++i) response += static_cast<char>('a' + i % 23);
      keep = request.find("MORE") != std::string::npos;
      return 1;
    };
    server_.split_at_marker = true;
    ConnectionLimits limits;
    limits.request_ms = 400;   // small, so the silent peer below is cut soon
    limits.idle_ms = 120000;   // far beyond it: only the request bound can cut
    server_.set_limits(limits);
    server_.set_tls(tls_port_, context);
    plain_port_ = server_.run_on_any_port();
    ASSERT_NE(plain_port_, 0);
    ASSERT_TRUE(server_.tls_listening());
  }
  int plain_port_ = 0;
  test::PortReservation tls_reserved_;
  const int tls_port_ = tls_reserved_.port();
  test::ScriptedServer server_;
};

TEST_F(TlsPort, AnswersOfEverySizeArriveWholeAndInOrder) {
  for (std::size_t size : {0UL, 1UL, 1024UL, 16383UL, 16385UL, 200001UL, 3000000UL}) {
    std::string expected;
    for (std::size_t i = 0; i < size; ++i) expected += static_cast<char>('a' + i % 23);
    const std::string request = "SIZE " + std::to_string(size) + " END";
    EXPECT_EQ(https_exchange(tls_port_, client_, request), expected) << size;
    EXPECT_EQ(plain_exchange(plain_port_, request), expected) << size;  // unchanged
  }
}

// Pipelined requests in one record, or in records read ahead together, are
// all answered in order without waiting for more bytes from the peer.
TEST_F(TlsPort, PipelinedRequestsAreEachAnswered) {
  std::string middle;
  for (int i = 0; i < 30000; ++i) middle += static_cast<char>('a' + i % 23);
  const std::string requests = "SIZE 3 MORE ENDSIZE 30000 MORE ENDSIZE 2 END";
  for (std::size_t record : {std::string::npos, std::size_t(16), std::size_t(1)})
    EXPECT_EQ(https_exchange(tls_port_, client_, requests, record), "abc" + middle + "ab")
        << record;
}

TEST_F(TlsPort, PeersThatAreNoModernTlsClientsAreClosedAndTheServerGoesOn) {
  TlsContext legacy;
  Reason reason;
  const bool have_legacy = legacy.load_legacy_client(reason);
  struct Case {
    const char* name;
    std::function<std::string()> exchange;
  } cases[] = {
      {"plain HTTP", [&] { return plain_exchange(tls_port_, "GET / HTTP/1.0\r\n\r\nEND"); }},
      {"silent", [&] { return plain_exchange(tls_port_, ""); }},
      {"garbage", [&] { return plain_exchange(tls_port_, std::string(5000, '\x16')); }},
      {"TLS 1.1", [&] {
         return have_legacy ? https_exchange(tls_port_, legacy, "SIZE 5 END").substr(0, 8)
                            : std::string("refused:");
       }},
  };
  for (const Case& c : cases) {
    const std::string got = c.exchange();
    EXPECT_TRUE(got.empty() || got.rfind("refused:", 0) == 0) << c.name << ": " << got;
  }
  EXPECT_TRUE(server_.requests().empty());
  EXPECT_EQ(https_exchange(tls_port_, client_, "SIZE 3 END"), "abc");
  EXPECT_TRUE(test::eventually([&] { return server_.connections() == 0; }));
}

// Fair shares of the connections on the TLS port: several networks hold
// every connection the server keeps with handshakes that never come (silent
// peers) or never end (a record header, then nothing). The network holding
// the most loses its longest-waiting first, and newcomers of networks of
// their own complete their handshakes and are answered.
TEST_F(TlsPort, UnfinishedHandshakesOfManyNetworksDoNotLockANewcomerOut) {
  server_.Shutdown();
  ConnectionLimits limits;  // the shipped request bound: only room-making cuts
  limits.max_connections = 24;
  limits.connections_per_address = 12;
  server_.set_limits(limits);
  ASSERT_EQ(server_.Run(plain_port_, 0), 1);
  std::vector<int> attackers;
  auto hold_from = [&](const char* source, int count, bool slow) {
    for (int i = 0; i < count; ++i) {
      const int s = connect_to(tls_port_, source);
      ASSERT_GE(s, 0) << source;
      // A handshake record's header announcing a body that never comes.
      if (slow) {
        ASSERT_EQ(::send(s, "\x16\x03\x01\x02\x00", 5, MSG_NOSIGNAL), 5);
      }
      attackers.push_back(s);
    }
  };
  hold_from("127.0.0.10", 12, false);  // the most: its bound
  hold_from("127.0.0.11", 8, true);
  hold_from("127.0.0.12", 4, false);
  ASSERT_TRUE(test::eventually([&] { return server_.connections() >= 24; }));
  // Newcomers, one after the other, each keeping its connection.
  struct Newcomer {
    int socket = -1;
    TlsConnection tls;
  };
  std::vector<std::unique_ptr<Newcomer>> newcomers;
  for (int n = 0; n < 6; ++n) {
    const std::string source = "127.0.0." + std::to_string(20 + n);
    newcomers.push_back(std::make_unique<Newcomer>());
    Newcomer& c = *newcomers.back();
    c.socket = connect_to(tls_port_, source.c_str());
    Reason reason;
    ASSERT_TRUE(c.tls.connect(c.socket, client_, "127.0.0.1", 5000, reason)) << source << reason.text;
    const std::string request = "SIZE 3 MORE END";
    ASSERT_TRUE(c.tls.write(request.data(), request.size(), 5000));
    char answer[3];
    std::size_t got = 0;
    long n_read = 1;
    while (got < 3 && n_read > 0) {
      n_read = c.tls.read(answer + got, 3 - got, 5000);
      if (n_read > 0) got += static_cast<std::size_t>(n_read);
    }
    EXPECT_EQ(std::string(answer, got), "abc") << source;
  }
  // Room came from the networks holding the most, never the one holding
  // the fewest.
  EXPECT_TRUE(test::eventually([&] { return server_.connections_of("127.0.0.10") <= 9; }));
  EXPECT_EQ(server_.connections_of("127.0.0.12"), 4);
  for (auto& c : newcomers) {
    c->tls.close();
    ::close(c->socket);
  }
  for (int s : attackers) ::close(s);
}

// ---- tvlService ------------------------------------------------------------

class HttpsService : public Certificates {
 protected:
  void SetUp() override {
    Certificates::SetUp();
    fs::create_directories(folder_ + "tls");
    for (const char* name : {"cert.pem", "key.pem"})
      fs::copy_file(certs_.path() + name, folder_ + "tls/" + name,
                    fs::copy_options::overwrite_existing);
  }
  void write_options(const std::string& tls_lines) {
    ASSERT_TRUE(site_.write_options("[Server]\r\nport=" + std::to_string(port_) + "\r\nTlsPort=" +
                                    std::to_string(tls_port_) + "\r\n" + tls_lines));
  }
  void start() { ASSERT_TRUE(site_.start_service(service_)) << service_.out() << service_.err(); }
  void TearDown() override {
    if (service_.pid() > 0) {
      service_.signal(SIGTERM);
      EXPECT_EQ(service_.wait(), 0) << service_.err();
    }
  }
  static std::string body(const std::string& answer) {
    const std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? "" : answer.substr(end + 4);
  }

  test::ServiceFolder site_{"dist/"};
  const std::string folder_ = site_.path();
  const int port_ = site_.port();
  test::PortReservation tls_reserved_;
  const int tls_port_ = tls_reserved_.port();
  test::ChildProcess service_;
};

TEST_F(HttpsService, TheStartPageComesOverHttpsAsOverHttp) {
  write_options("TlsCertificate=tls/cert.pem\r\nTlsKey=tls/key.pem\r\n");
  start();
  const std::string plain = test::http_exchange(port_, "GET / HTTP/1.0\r\n\r\n", 5000);
  const std::string secure = https_exchange(tls_port_, client_, "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(secure.rfind("HTTP/1.0 200", 0), 0u) << secure;
  EXPECT_FALSE(body(secure).empty());
  EXPECT_EQ(body(secure), body(plain));
}

TEST_F(HttpsService, TlsRedirectSendsEveryPlainRequestToTheSamePathOverHttps) {
  write_options("TlsCertificate=tls/cert.pem\r\nTlsKey=tls/key.pem\r\nTlsRedirect=1\r\n");
  start();
  const char* const kClose = "\r\nConnection: close\r\n\r\n";
  const std::string target = "https://127.0.0.1:" + std::to_string(tls_port_);
  struct Case {
    std::string request, location;  // empty location: refused with 400
  } cases[] = {
      {"GET /lobby.ghp?a=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + kClose,
       target + "/lobby.ghp?a=1"},
      {std::string("HEAD / HTTP/1.1\r\nHost: 127.0.0.1") + kClose, target + "/"},
      {std::string("GET /x HTTP/1.1\r\nHost: [::1]:80") + kClose,
       "https://[::1]:" + std::to_string(tls_port_) + "/x"},
      {"GET / HTTP/1.0\r\n\r\n", ""},
      {std::string("GET / HTTP/1.1\r\nHost: evil\"<x>") + kClose, ""},
      // No second blank on the request line: nothing of the header may go
      // into the Location line.
      {std::string("GET /x\r\nHost: 127.0.0.1\r\nSet-Cookie: a=b; c d") + kClose, ""},
  };
  for (const Case& c : cases) {
    const std::string answer = test::http_exchange(port_, c.request, 5000);
    EXPECT_EQ(answer.find("Set-Cookie"), std::string::npos) << answer;
    if (c.location.empty()) {
      EXPECT_NE(answer.find(" 400 "), std::string::npos) << c.request << answer;
    } else {
      EXPECT_NE(answer.find(" 301 "), std::string::npos) << c.request << answer;
      EXPECT_NE(answer.find("\r\nLocation: " + c.location + "\r\n"), std::string::npos)
          << c.request << answer;
    }
  }
  // The HTTPS port serves the pages themselves.
  EXPECT_EQ(https_exchange(tls_port_, client_, "GET / HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 200", 0),
            0u);
}

TEST_F(HttpsService, ErrorPathAKeyThatCannotBeLoadedIsToldAndThePlainPortServes) {
  write_options("TlsCertificate=tls/cert.pem\r\nTlsKey=tls/missing.pem\r\nTlsRedirect=1\r\n");
  start();
  // The report follows the started line; it is read from the pipe here.
  ASSERT_TRUE(service_.wait_for_error("HTTPS is off: the key " + folder_ +
                                      "tls/missing.pem cannot be read"))
      << service_.err();
  // No redirect to a port nobody listens on, and nothing there.
  EXPECT_EQ(test::http_exchange(port_, "GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n", 5000).find(" 200 "), 8u);
  EXPECT_EQ(https_exchange(tls_port_, client_, "GET / HTTP/1.0\r\n\r\n"), "refused: no connection");

  // Mended and reloaded, HTTPS is served without a restart.
  write_options("TlsCertificate=tls/cert.pem\r\nTlsKey=tls/key.pem\r\n");
  service_.signal(SIGHUP);
  ASSERT_TRUE(service_.wait_for_output("chat server stopped\n")) << service_.out();
  EXPECT_TRUE(test::eventually([&] {
    return https_exchange(tls_port_, client_, "GET / HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 200", 0) ==
           0;
  }));
}

}  // namespace
}  // namespace tvl
