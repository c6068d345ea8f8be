// The socket layer on loopback: request gathering, keep-alive, closing,
// large answers to slow readers, start and stop, the bind failure, the
// request-size cap and the idle time-out.
#include <algorithm>
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_util.h"

// The server's sends are observed by defining send() in this program: the
// definition takes precedence over the C library's, records the size asked
// for and the would-block results per socket, and passes the call on to the
// kernel unchanged.
namespace {
std::mutex g_send_lock;           // guards the two maps
std::map<int, std::size_t> g_largest_send;
std::map<int, int> g_would_block;

void record_send(int fd, std::size_t size, ssize_t result, int error) {
  std::lock_guard<std::mutex> hold(g_send_lock);
  std::size_t& largest = g_largest_send[fd];
  if (size > largest) largest = size;
  if (result < 0 && (error == EAGAIN || error == EWOULDBLOCK)) ++g_would_block[fd];
}

// What the sockets other than `except` (the test's own client) saw: the
// largest single send and how many sends had to wait.
struct SendRecord {
  std::size_t largest = 0;
  int would_block = 0;
};

SendRecord server_sends(int except) {
  SendRecord r;
  std::lock_guard<std::mutex> hold(g_send_lock);
  for (auto& [fd, size] : g_largest_send)
    if (fd != except) r.largest = std::max(r.largest, size);
  for (auto& [fd, count] : g_would_block)
    if (fd != except) r.would_block += count;
  return r;
}
}  // namespace

extern "C" ssize_t send(int fd, const void* data, size_t size, int flags) {
  ssize_t n = syscall(SYS_sendto, fd, data, size, flags, nullptr, 0);
  int saved = errno;
  record_send(fd, size, n, saved);
  errno = saved;
  return n;
}

// Gathering sends (a response with an attached body) are observed the same
// way; the size recorded is the sum of the pieces.
extern "C" ssize_t sendmsg(int fd, const struct msghdr* message, int flags) {
  ssize_t n = syscall(SYS_sendmsg, fd, message, flags);
  int saved = errno;
  std::size_t size = 0;
  for (std::size_t i = 0; i < message->msg_iovlen; ++i) size += message->msg_iov[i].iov_len;
  record_send(fd, size, n, saved);
  errno = saved;
  return n;
}

namespace tvl::test {
namespace {

// True when the peer ends the connection within 5 s, by a close or a reset
// (a server closing with unread bytes sends a reset), with no data before.
bool closed_or_reset(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 5000) <= 0) return false;
  char b;
  ssize_t n = ::recv(fd, &b, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

class ConnectionServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Descriptor numbers are reused between tests: start each with no
    // records, so a client socket of an earlier test is not taken for one
    // of the server's.
    std::lock_guard<std::mutex> hold(g_send_lock);
    g_largest_send.clear();
    g_would_block.clear();
  }
  void TearDown() override { set_message_sink(nullptr); }

  void start(unsigned idle_ms = 0) {
    port_ = server_.run_on_any_port(idle_ms);
    ASSERT_NE(0, port_);
  }
  // Replaces the handler by one that keeps connections alive.
  void keep_alive() {
    server_.handler = [](const std::string&, const std::string& request, std::string& response,
                         int& keep) {
      response = "ANSWER[" + request + "]";
      keep = 1;
      return 1;
    };
  }

  int port_ = 0;
  ScriptedServer server_;
};

// --- gathering and answering -------------------------------------------

TEST_F(ConnectionServerTest, RequestInSeveralPacketsIsHandledOnceWholeAndBinarySafe) {
  start();
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  const std::string first("AB\0C", 4), second("\0\xff", 2), last("xEND");
  ASSERT_TRUE(c.send(first));
  // Not complete yet: nothing comes back.
  EXPECT_EQ("", c.read_bytes(1, 200));
  ASSERT_TRUE(c.send(second));
  EXPECT_EQ("", c.read_bytes(1, 200));
  ASSERT_TRUE(c.send(last));
  const std::string whole = first + second + last;
  EXPECT_EQ("GOT:" + whole, c.read_all());
  ASSERT_EQ(1u, server_.requests().size());
  EXPECT_EQ(whole, server_.requests()[0]);
  EXPECT_GE(server_.completion_checks(), 2);
}

TEST_F(ConnectionServerTest, RequestLargerThanTheReceiveBufferIsGathered) {
  start();
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  std::string big(3 * ConnectionServer::kReceiveBuffer + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
  big += "END";
  ASSERT_TRUE(c.send(big));
  ASSERT_TRUE(server_.wait_requests(1));
  EXPECT_EQ(big, server_.requests()[0]);
}

TEST_F(ConnectionServerTest, WithoutKeepAliveTheConnectionClosesAfterTheLastByte) {
  start();
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  ASSERT_TRUE(c.send("helloEND"));
  EXPECT_EQ("GOT:helloEND", c.read_bytes(12));
  EXPECT_TRUE(c.wait_closed());
  ASSERT_EQ(1u, server_.sent().size());
  EXPECT_EQ(12u, server_.sent()[0]);
}

TEST_F(ConnectionServerTest, KeptAliveConnectionStartsEachRequestEmpty) {
  // Each answer says whether the connection stays: the first two keep it,
  // the third closes it.
  server_.handler = [](const std::string&, const std::string& request, std::string& response,
                       int& keep) {
    keep = request.rfind("third", 0) == 0 ? 0 : 1;
    response = "A:" + request;
    return 1;
  };
  start();
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  ASSERT_TRUE(c.send("firstEND"));
  EXPECT_EQ("A:firstEND", c.read_bytes(10));
  ASSERT_TRUE(c.send("secondEND"));
  EXPECT_EQ("A:secondEND", c.read_bytes(11));
  EXPECT_FALSE(c.wait_closed(200));
  ASSERT_TRUE(c.send("thirdEND"));
  EXPECT_EQ("A:thirdEND", c.read_bytes(10));
  EXPECT_TRUE(c.wait_closed());
  auto requests = server_.requests();
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ("secondEND", requests[1]);
  EXPECT_EQ("thirdEND", requests[2]);
  // One connection, one OnConnect.
  EXPECT_EQ(1u, server_.connects().size());
}

// Requests that arrive together are answered one by one, in order, however
// many: the connection works through them in a loop, not by recursion.
TEST_F(ConnectionServerTest, ManyPipelinedRequestsAreAnsweredInOrder) {
  server_.split_at_marker = true;
  server_.handler = [](const std::string&, const std::string& request, std::string& response,
                       int& keep) {
    response = request.substr(0, 1);
    keep = 1;
    return 1;
  };
  start();
  constexpr int kRequests = 20000;
  std::string all, expected;
  for (int i = 0; i < kRequests; ++i) {
    const char c = static_cast<char>('a' + i % 26);
    all += std::string(1, c) + "END";
    expected += c;
  }
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  ASSERT_TRUE(c.send(all));
  EXPECT_EQ(expected, c.read_bytes(expected.size(), 10000));
  EXPECT_EQ(static_cast<std::size_t>(kRequests), server_.requests().size());
  EXPECT_FALSE(c.wait_closed(100));
}

TEST_F(ConnectionServerTest, BytesArrivingTogetherFormOneRequestText) {
  keep_alive();
  start();
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  // Both arrive before the first is answered: one request text.
  ASSERT_TRUE(c.send("oneENDtwoEND"));
  EXPECT_EQ("ANSWER[oneENDtwoEND]", c.read_bytes(20));
  ASSERT_TRUE(c.send("threeEND"));
  EXPECT_EQ("ANSWER[threeEND]", c.read_bytes(16));
  auto requests = server_.requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("threeEND", requests[1]);
}

TEST_F(ConnectionServerTest, HandlerClearingKeepAliveClosesAfterThatAnswer) {
  server_.handler = [](const std::string&, const std::string& request, std::string& response,
                       int& keep) {
    keep = request.find("bye") == std::string::npos;
    response = "ok";
    return 1;
  };
  start();
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  ASSERT_TRUE(c.send("hiEND"));
  EXPECT_EQ("ok", c.read_bytes(2));
  ASSERT_TRUE(c.send("byeEND"));
  EXPECT_EQ("ok", c.read_bytes(2));
  EXPECT_TRUE(c.wait_closed());
}

TEST_F(ConnectionServerTest, AnswerReachesAPeerThatStoppedSending) {
  start();
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  ASSERT_TRUE(c.send("halfEND"));
  ::shutdown(c.fd(), SHUT_WR);
  EXPECT_EQ("GOT:halfEND", c.read_all());
}

TEST_F(ConnectionServerTest, OnConnectGetsTheDottedAddressAndThePortAsStored) {
  start();
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  sockaddr_in local{};
  socklen_t len = sizeof local;
  ASSERT_EQ(0, getsockname(c.fd(), reinterpret_cast<sockaddr*>(&local), &len));
  ASSERT_TRUE(c.send("END"));
  c.read_all();
  auto connects = server_.connects();
  ASSERT_EQ(1u, connects.size());
  EXPECT_EQ("127.0.0.1", connects[0].ip);
  EXPECT_EQ(static_cast<int>(local.sin_port), connects[0].port);
}

TEST_F(ConnectionServerTest, MultiMegabyteAnswerReachesASlowReaderInBoundedChunks) {
  std::string answer(5 * 1000 * 1000 + 123, '\0');
  for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<char>(i % 253);
  server_.handler = [&answer](const std::string&, const std::string&, std::string& response,
                              int&) {
    response = answer;
    return 1;
  };
  start();
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  const int client_fd = c.fd();
  ASSERT_TRUE(c.send("bigEND"));
  // Read nothing at first: the socket buffers fill up long before 5 MB.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string got = c.read_bytes(1000, 5000);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  got += c.read_all(5000);
  ASSERT_EQ(answer.size(), got.size());
  EXPECT_TRUE(got == answer);
  ASSERT_EQ(1u, server_.sent().size());
  EXPECT_EQ(answer.size(), server_.sent()[0]);

  const SendRecord sends = server_sends(client_fd);
  EXPECT_EQ(ConnectionServer::kSendChunk, sends.largest);
  EXPECT_GT(sends.would_block, 0) << "the answer never had to wait for the reader";
}

// --- answers with an attached body ----------------------------------------

TEST_F(ConnectionServerTest, SharedBodyGoesOutAfterTheAnswersText) {
  server_.answer_handler = [](const std::string&, const std::string&) {
    Answer answer;
    answer.text = "head|";
    answer.body = std::make_shared<const std::string>("body");
    return answer;
  };
  start();
  EXPECT_EQ("head|body", http_exchange(port_, "xEND"));
  ASSERT_EQ(1u, server_.sent().size());
  EXPECT_EQ(9u, server_.sent()[0]);
}

TEST_F(ConnectionServerTest, AttachedMultiMegabyteBodyReachesASlowReaderThenTheNextRequest) {
  auto body = std::make_shared<std::string>(8 * 1000 * 1000 + 17, '\0');
  for (std::size_t i = 0; i < body->size(); ++i) (*body)[i] = static_cast<char>(i % 251);
  std::shared_ptr<const std::string> shared = body;
  server_.answer_handler = [shared](const std::string&, const std::string& request) {
    Answer answer;
    answer.keep_alive = true;
    answer.text = "HEAD[" + request + "]";
    if (request.find("big") != std::string::npos) {
      // A header longer than one chunk, so a send mixes both pieces
      // after the first.
      answer.text.append(ConnectionServer::kSendChunk + 5, 'h');
      answer.body = shared;
    }
    return answer;
  };
  start();
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  const int client_fd = c.fd();
  ASSERT_TRUE(c.send("bigEND"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string head = "HEAD[bigEND]" + std::string(ConnectionServer::kSendChunk + 5, 'h');
  const std::size_t total = head.size() + body->size();
  std::string got = c.read_bytes(1000, 5000);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  got += c.read_bytes(total - got.size(), 5000);
  ASSERT_EQ(total, got.size());
  EXPECT_TRUE(got.compare(0, head.size(), head) == 0);
  EXPECT_TRUE(got.compare(head.size(), body->size(), *body) == 0);

  // The connection stays usable, and the next answer carries no stale body.
  ASSERT_TRUE(c.send("smallEND"));
  EXPECT_EQ("HEAD[smallEND]", c.read_bytes(14, 5000));
  ASSERT_TRUE(server_.wait_requests(2));
  c.close();

  std::vector<std::size_t> sent;
  for (int i = 0; i < 50 && (sent = server_.sent()).size() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ(total, sent[0]);
  EXPECT_EQ(14u, sent[1]);

  const SendRecord sends = server_sends(client_fd);
  EXPECT_EQ(ConnectionServer::kSendChunk, sends.largest);
  EXPECT_GT(sends.would_block, 0) << "the answer never had to wait for the reader";
}

TEST_F(ConnectionServerTest, BodyOfAnAnswerNotToBeSentIsDropped) {
  server_.answer_handler = [](const std::string&, const std::string& request) {
    Answer answer;
    answer.keep_alive = true;
    if (request.find("no") != std::string::npos) {
      answer.send = false;
      answer.body = std::make_shared<const std::string>("stale");
      return answer;
    }
    answer.text = "fresh";
    return answer;
  };
  start();
  {
    RawClient declined;
    ASSERT_TRUE(declined.connect(port_));
    ASSERT_TRUE(declined.send("noEND"));
    EXPECT_TRUE(declined.wait_closed());
  }
  // The finished client thread is normally reused for the next connection.
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  ASSERT_TRUE(c.send("yesEND"));
  EXPECT_EQ("fresh", c.read_bytes(5, 5000));
  EXPECT_EQ("", c.read_bytes(1, 300));
}

// --- start and stop ------------------------------------------------------

TEST_F(ConnectionServerTest, RunWhileRunningFailsAndLeavesTheServerServing) {
  start();
  EXPECT_EQ(0, server_.Run(0, 0));
  EXPECT_TRUE(server_.running());
  EXPECT_EQ("GOT:END", http_exchange(port_, "END"));
}

TEST_F(ConnectionServerTest, RunAfterShutdownServesAgainOnTheSameOrANewPort) {
  PortReservation reserved;
  port_ = reserved.port();
  ASSERT_EQ(1, server_.Run(port_, 0));
  EXPECT_EQ(port_, server_.port());
  EXPECT_EQ("GOT:aEND", http_exchange(port_, "aEND"));
  EXPECT_EQ(1, server_.Shutdown());
  EXPECT_FALSE(server_.running());
  EXPECT_EQ(0, server_.port());
  RawClient refused;
  EXPECT_FALSE(refused.connect(port_, 0));

  // The same port again at once, although the last connection lingers.
  ASSERT_EQ(1, server_.Run(port_, 0));
  EXPECT_EQ("GOT:bEND", http_exchange(port_, "bEND"));
  EXPECT_EQ(1, server_.Shutdown());

  const int other = server_.run_on_any_port();
  ASSERT_NE(0, other);
  EXPECT_NE(port_, other);
  EXPECT_EQ("GOT:cEND", http_exchange(other, "cEND"));
  EXPECT_EQ(1, server_.Shutdown());
}

TEST_F(ConnectionServerTest, ShutdownOfAStoppedServerChangesNothing) {
  EXPECT_EQ(0, server_.Shutdown());
  start();
  EXPECT_EQ(1, server_.Shutdown());
  EXPECT_EQ(0, server_.Shutdown());
}

// --- error paths ----------------------------------------------------------

TEST_F(ConnectionServerTest, TakenPortFailsAtOnceWithTheMessage) {
  std::mutex lock;
  std::condition_variable shown;
  std::vector<std::pair<std::string, std::string>> messages;
  set_message_sink([&](const std::string& caption, const std::string& text, MessageIcon) {
    std::lock_guard<std::mutex> hold(lock);
    messages.emplace_back(caption, text);
    shown.notify_all();
  });
  PortReservation reserved;
  port_ = reserved.port();
  int taken = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;  // beside the reservation
  ASSERT_EQ(0, ::setsockopt(taken, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port_));
  ASSERT_EQ(0, ::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, ::listen(taken, 4));

  // Run must come back long before its 30-second start-up wait; the bound
  // only keeps a broken build from hanging the suite.
  auto run = std::async(std::launch::async, [&] { return server_.Run(port_, 0); });
  ASSERT_EQ(std::future_status::ready, run.wait_for(std::chrono::seconds(15)));
  EXPECT_EQ(0, run.get());
  EXPECT_FALSE(server_.running());
  {
    std::unique_lock<std::mutex> hold(lock);
    ASSERT_TRUE(shown.wait_for(hold, std::chrono::seconds(5), [&] { return !messages.empty(); }));
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ("Tavella", messages[0].first);
    EXPECT_EQ("Error starting the Web Server.This may be due to another service running on the "
              "port " + std::to_string(port_) +
                  ",Try changing the port number and then starting the server again.",
              messages[0].second);
  }
  ::close(taken);
  // Once the port is free the same object starts normally.
  ASSERT_EQ(1, server_.Run(port_, 0));
  EXPECT_EQ("GOT:END", http_exchange(port_, "END"));
}

TEST_F(ConnectionServerTest, PortZeroIsRefusedLikeATakenPort) {
  std::vector<std::string> messages;
  std::mutex lock;
  set_message_sink([&](const std::string&, const std::string& text, MessageIcon) {
    std::lock_guard<std::mutex> hold(lock);
    messages.push_back(text);
  });
  EXPECT_EQ(0, server_.Run(0, 0));
  EXPECT_EQ(0, server_.Run(65536, 0));  // only the low 16 bits count
  EXPECT_FALSE(server_.running());
  for (int i = 0; i < 500; ++i) {
    {
      std::lock_guard<std::mutex> hold(lock);
      if (messages.size() == 2) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard<std::mutex> hold(lock);
  ASSERT_EQ(2u, messages.size());
  // Each run tells it from its own accept thread: either may come first.
  std::sort(messages.begin(), messages.end());
  EXPECT_NE(std::string::npos, messages[0].find("on the port 0,"));
  EXPECT_NE(std::string::npos, messages[1].find("on the port 65536,"));
}

TEST_F(ConnectionServerTest, HandlerDecliningClosesWithoutAnAnswer) {
  server_.handler = [](const std::string&, const std::string&, std::string& response, int& keep) {
    response = "never sent";
    keep = 1;
    return 0;
  };
  start();
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  ASSERT_TRUE(c.send("END"));
  EXPECT_TRUE(c.wait_closed());
  EXPECT_TRUE(server_.sent().empty());
}

TEST_F(ConnectionServerTest, RequestGrowingPastTheCapIsClosedUnanswered) {
  start();
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  const std::string block(64 * 1024, 'x');
  std::size_t pushed = 0;
  // The server may close (and reset) before everything is written.
  while (pushed <= ConnectionServer::kMaxRequest + block.size() && c.send(block))
    pushed += block.size();
  EXPECT_TRUE(closed_or_reset(c.fd()));
  EXPECT_TRUE(server_.requests().empty());
  EXPECT_TRUE(server_.sent().empty());
}

TEST_F(ConnectionServerTest, RequestJustUnderTheCapIsStillAnswered) {
  server_.handler = [](const std::string&, const std::string& request, std::string& response,
                       int&) {
    response = std::to_string(request.size());
    return 1;
  };
  start();
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  std::string request(ConnectionServer::kMaxRequest - 3, 'y');
  request += "END";
  ASSERT_TRUE(c.send(request));
  EXPECT_EQ(std::to_string(ConnectionServer::kMaxRequest), c.read_all(5000));
}

TEST_F(ConnectionServerTest, IdleTimeOutEndsASilentConnection) {
  start(150);
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  ASSERT_TRUE(c.send("partial"));
  EXPECT_TRUE(c.wait_closed(5000));
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(ConnectionServerTest, WithoutIdleTimeOutASilentConnectionStaysOpen) {
  start(0);
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  EXPECT_FALSE(c.wait_closed(500));
  ASSERT_TRUE(c.send("lateEND"));
  EXPECT_EQ("GOT:lateEND", c.read_all());
}

}  // namespace
}  // namespace tvl::test

namespace tvl::test {
namespace {

// One request over IPv6 loopback; the answer, or "" when nothing connects.
std::string ask_over_ipv6(int port, const std::string& request) {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return "";
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  a.sin6_port = htons(static_cast<uint16_t>(port));
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char b[256];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 5000) > 0) {
      const ssize_t n = ::recv(fd, b, sizeof b, 0);
      if (n <= 0) break;
      answer.append(b, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

bool ipv6_loopback() {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

TEST_F(ConnectionServerTest, ServesBothFamiliesAndNamesThePeerOfEach) {
  if (!ipv6_loopback()) GTEST_SKIP() << "no IPv6 loopback";
  start();  // no listen address: every local address of both families
  EXPECT_EQ(ask_over_ipv6(port_, "six END"), "GOT:six END");
  EXPECT_EQ(http_exchange(port_, "four END"), "GOT:four END");
  const auto connects = server_.connects();
  ASSERT_EQ(connects.size(), 2u);
  EXPECT_EQ(connects[0].ip, "::1");
  EXPECT_EQ(connects[1].ip, "127.0.0.1");  // a mapped IPv4 client reads as IPv4
}

TEST_F(ConnectionServerTest, AnIPv6ListenAddressServesThatAddressAlone) {
  if (!ipv6_loopback()) GTEST_SKIP() << "no IPv6 loopback";
  server_.set_listen_address("::1");
  start();
  EXPECT_EQ(ask_over_ipv6(port_, "six END"), "GOT:six END");
  EXPECT_EQ(http_exchange(port_, "four END", 1000), "");  // not on IPv4
}

}  // namespace
}  // namespace tvl::test
