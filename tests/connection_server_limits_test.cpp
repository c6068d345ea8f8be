// The bounds of the connection server over real loopback connections, with
// short configured limits: a request that takes too long, a silent
// connection, a reader that never reads, the memory of all unfinished
// requests together, and the ordinary clients that none of them may touch.
// Waits are bounded only to catch a hang; no test measures time.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scripted_server.h"
#include "tests/support/test_util.h"

namespace tvl::test {
namespace {

using namespace std::chrono_literals;

// Reads whatever comes until the peer closes or resets; -1 when it is still
// open after timeout_ms without data.
long drain_until_closed(int fd, int timeout_ms = 10000) {
  long total = 0;
  char b[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return -1;
    ssize_t n = ::recv(fd, b, sizeof b, 0);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return total;
    if (n < 0) return -1;
    total += n;
  }
}

// Limits that never strike within a test, to be shortened one at a time.
// Every client of these tests comes from 127.0.0.1, so the bounds per
// address are lifted here; the tests of those bounds set them again.
ConnectionLimits relaxed() {
  ConnectionLimits l;
  l.request_ms = 60000;
  l.idle_ms = 60000;
  l.send_stall_ms = 60000;
  l.connections_per_address = 0;
  l.pending_bytes_per_address = 0;
  return l;
}

constexpr std::size_t kBigAnswer = 32u << 20;  // more than loopback buffers hold

class ConnectionLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    big_ = std::make_shared<std::string>(kBigAnswer, 'z');
    auto big = big_;
    // "big" asks for an answer larger than the socket buffers; every answer
    // keeps the connection alive, so only a bound can end it.
    server_.handler = [big](const std::string&, const std::string& request,
                            std::string& response, int& keep) {
      keep = 1;
      response = request.find("big") != std::string::npos
                     ? *big
                     : "OK" + std::to_string(request.size());
      return 1;
    };
  }
  // A request naming "wait" is answered "WAITED" once `release` is set
  // (a page that waits on its connection, as a poll may); others as before.
  void answer_waits_once(std::atomic<bool>& release) {
    auto plain = server_.handler;
    server_.handler = [&release, plain](const std::string& ip, const std::string& request,
                                        std::string& response, int& keep) {
      if (request.find("wait") == std::string::npos) return plain(ip, request, response, keep);
      eventually([&] { return release.load(); });
      response = "WAITED";
      return 1;
    };
  }
  void start(const ConnectionLimits& limits) {
    server_.set_limits(limits);
    port_ = server_.run_on_any_port();
    ASSERT_NE(0, port_);
  }

  int port_ = 0;
  std::shared_ptr<std::string> big_;
  ScriptedServer server_;
};

// --- each bound ends the connection it is about ----------------------------

struct EndedCase {
  const char* name;
  std::function<void(ConnectionLimits&)> shorten;
  // What the client does; returns false when a step failed unexpectedly.
  std::function<bool(RawClient&)> behave;
  bool reads_answer_late;  // the client never reads until the server ended
};

TEST_F(ConnectionLimitsTest, EachBoundEndsTheConnectionThatPassesIt) {
  const std::vector<EndedCase> cases = {
      {"a new connection that never sends a byte",
       [](ConnectionLimits& l) { l.idle_ms = 200; }, [](RawClient&) { return true; }, false},
      {"a kept-alive connection silent after its answer",
       [](ConnectionLimits& l) { l.idle_ms = 200; },
       [](RawClient& c) { return c.send("oneEND") && c.read_bytes(3) == "OK6"; },
       false},
      {"a request trickled byte by byte past its time",
       [](ConnectionLimits& l) { l.request_ms = 300; },
       [](RawClient& c) {
         // Every byte is activity, so only a deadline counted from the first
         // byte ends this; the client stops once the server closed.
         for (int i = 0; i < 200; ++i) {
           if (!c.send("x")) return true;
           pollfd p{c.fd(), POLLIN, 0};
           if (::poll(&p, 1, 50) > 0) return true;
         }
         return false;
       },
       false},
      {"a reader that never reads a large answer",
       [](ConnectionLimits& l) { l.send_stall_ms = 300; },
       [](RawClient& c) { return c.send("bigEND"); }, true},
  };
  for (const EndedCase& k : cases) {
    SCOPED_TRACE(k.name);
    ConnectionLimits limits = relaxed();
    k.shorten(limits);
    ScriptedServer& server = server_;
    start(limits);
    if (HasFatalFailure()) return;
    RawClient c;
    ASSERT_TRUE(c.connect(port_));
    const std::size_t handled = server.requests().size();
    EXPECT_TRUE(k.behave(c));
    if (k.reads_answer_late) {
      // The server took the request and gives up on its own while nothing
      // is read.
      ASSERT_TRUE(server.wait_requests(handled + 1));
      EXPECT_TRUE(eventually([&] { return server.live_clients() == 0; }));
      const long got = drain_until_closed(c.fd());
      EXPECT_GE(got, 0) << "still open";
      EXPECT_LT(static_cast<std::size_t>(got), kBigAnswer);
    } else {
      EXPECT_GE(drain_until_closed(c.fd()), 0) << "still open";
    }
    EXPECT_TRUE(eventually([&] { return server.live_clients() == 0; }));
    EXPECT_EQ(0u, server.pending_request_bytes());
    EXPECT_EQ(1, server.Shutdown());
  }
}

// --- and leaves ordinary clients alone -------------------------------------

TEST_F(ConnectionLimitsTest, ClientsWithinTheBoundsAreServedOnOneConnection) {
  // Each bound short, but longer than what an ordinary client needs
  // between two steps.
  ConnectionLimits limits;
  limits.request_ms = 1500;
  limits.idle_ms = 1500;
  limits.send_stall_ms = 1500;
  start(limits);

  {
    SCOPED_TRACE("a kept-alive client polling at a steady pace past the idle time");
    RawClient c;
    ASSERT_TRUE(c.connect(port_));
    for (int i = 0; i < 8; ++i) {
      ASSERT_TRUE(c.send("pollEND")) << i;
      ASSERT_EQ("OK7", c.read_bytes(3, 5000)) << i;
      std::this_thread::sleep_for(300ms);
    }
  }
  {
    SCOPED_TRACE("a request sent in pieces within its time");
    RawClient c;
    ASSERT_TRUE(c.connect(port_));
    ASSERT_TRUE(c.send("GET /a"));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(c.send(" b"));
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(c.send(" END"));
    EXPECT_EQ("OK12", c.read_bytes(4, 5000));
  }
  EXPECT_EQ(1, server_.Shutdown());

  // Only the stall bound is short here: the last megabytes of the answer
  // still sit in the loopback buffers once the server has written them, and
  // the time the reader takes for them is its own, not a stall.
  ConnectionLimits stall_only = relaxed();
  stall_only.send_stall_ms = 1500;
  start(stall_only);
  {
    SCOPED_TRACE("a slow reader that keeps taking the answer");
    RawClient c;
    ASSERT_TRUE(c.connect(port_));
    ASSERT_TRUE(c.send("bigEND"));
    // Reads in pieces with pauses; each piece frees buffer room, which is
    // progress for the server, so the stall bound never strikes.
    std::size_t got = 0;
    char b[1 << 20];
    int pauses = 0;
    while (got < kBigAnswer) {
      pollfd p{c.fd(), POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0) break;
      ssize_t n = ::recv(c.fd(), b, sizeof b, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
      if (pauses < 10 && got > (kBigAnswer / 10) * (pauses + 1)) {
        ++pauses;
        std::this_thread::sleep_for(200ms);
      }
    }
    EXPECT_EQ(kBigAnswer, got);
    ASSERT_TRUE(c.send("againEND"));
    EXPECT_EQ("OK8", c.read_bytes(3, 5000));
  }
  EXPECT_EQ(0u, server_.pending_request_bytes());
}

TEST_F(ConnectionLimitsTest, RunTimeOutStillEndsASilentConnectionBeforeTheBounds) {
  server_.set_limits(relaxed());
  port_ = server_.run_on_any_port(150);
  ASSERT_NE(0, port_);
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  ASSERT_TRUE(c.send("partial"));
  EXPECT_GE(drain_until_closed(c.fd()), 0);
  EXPECT_TRUE(server_.requests().empty());
}

// --- memory of all unfinished requests -------------------------------------

TEST_F(ConnectionLimitsTest, TotalBoundClosesTheGrowingConnectionWhileOthersGoOn) {
  ConnectionLimits limits = relaxed();
  limits.pending_bytes = 1 << 20;
  limits.request_bytes = 1 << 20;
  start(limits);

  // A holds a large unfinished request, well under the total.
  RawClient a;
  ASSERT_TRUE(a.connect(port_));
  const std::string part_a(400 * 1024, 'a');
  ASSERT_TRUE(a.send(part_a));
  ASSERT_TRUE(eventually([&] { return server_.pending_request_bytes() >= part_a.size(); }));
  const std::size_t held_by_a = server_.pending_request_bytes();
  EXPECT_LE(held_by_a, limits.pending_bytes);

  // B grows past what is left (each alone would be allowed): B is closed.
  RawClient b;
  ASSERT_TRUE(b.connect(port_));
  const std::string block(64 * 1024, 'b');
  for (int i = 0; i < 12 && b.send(block); ++i) {
  }
  EXPECT_GE(drain_until_closed(b.fd()), 0) << "B still open";
  EXPECT_TRUE(eventually([&] { return server_.pending_request_bytes() == held_by_a; }));

  // A new client is served meanwhile, and A finishes its request.
  EXPECT_EQ("OK7", [&] {
    RawClient c;
    if (!c.connect(port_) || !c.send("nextEND")) return std::string("no exchange");
    return c.read_bytes(3, 5000);
  }());
  ASSERT_TRUE(a.send("END"));
  const std::string answer_a = "OK" + std::to_string(part_a.size() + 3);
  EXPECT_EQ(answer_a, a.read_bytes(answer_a.size(), 5000));
  EXPECT_TRUE(eventually([&] { return server_.pending_request_bytes() == 0; }));

  // Only A's and the new client's requests were handled.
  auto requests = server_.requests();
  ASSERT_EQ(2u, requests.size());
  for (const std::string& r : requests) EXPECT_EQ(std::string::npos, r.find('b'));
}

TEST_F(ConnectionLimitsTest, BytesSentWhileAnAnswerIsPendingCountTowardTheBound) {
  ConnectionLimits limits = relaxed();
  limits.pending_bytes = 256 * 1024;
  limits.request_bytes = 16u << 20;  // only the total can strike
  start(limits);
  RawClient c;
  ASSERT_TRUE(c.connect(port_));
  ASSERT_TRUE(c.send("bigEND"));
  // The answer waits for a reader that never reads; what the client keeps
  // sending meanwhile is held for the next request and must stay bounded.
  const std::string block(32 * 1024, 'p');
  for (int i = 0; i < 64 && c.send(block); ++i) {
  }
  ASSERT_TRUE(server_.wait_requests(1));
  EXPECT_TRUE(eventually([&] { return server_.live_clients() == 0; }));
  EXPECT_EQ(0u, server_.pending_request_bytes());
  EXPECT_EQ(1u, server_.requests().size());
  EXPECT_TRUE(server_.sent().empty()) << "the answer cannot have been sent whole";
}

// --- bounds per address ---------------------------------------------------

// One address holds at most its connections; a further one is closed
// without an answer, and once one of them ends the address may connect
// again. A trusted proxy is not bounded.
TEST_F(ConnectionLimitsTest, ConnectionsPerAddressAreBounded) {
  for (const bool exempt : {false, true}) {
    SCOPED_TRACE(exempt ? "exempt" : "bounded");
    ConnectionLimits limits = relaxed();
    limits.connections_per_address = 3;
    if (exempt) limits.exempt_addresses = {"10.1.1.1", "127.0.0.1"};
    start(limits);
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 3; ++i) {
      held.push_back(std::make_unique<RawClient>());
      ASSERT_TRUE(held.back()->connect(port_));
    }
    ASSERT_TRUE(eventually([&] { return server_.connections_of("127.0.0.1") == 3; }));
    RawClient extra;
    ASSERT_TRUE(extra.connect(port_));
    (void)extra.send("oneEND");
    if (exempt) {
      EXPECT_EQ("OK6", extra.read_bytes(3, 5000));
    } else {
      EXPECT_GE(drain_until_closed(extra.fd()), 0) << "the fourth connection was served";
      held[0]->close();
      ASSERT_TRUE(eventually([&] { return server_.connections_of("127.0.0.1") == 2; }));
      RawClient again;
      ASSERT_TRUE(again.connect(port_));
      ASSERT_TRUE(again.send("twoEND"));
      EXPECT_EQ("OK6", again.read_bytes(3, 5000));
    }
    server_.Shutdown();
    ASSERT_TRUE(server_.wait_clients(5000));
  }
}

// One address may hold only its share of the memory for unfinished
// requests, so the rest of the pool stays for everyone else.
TEST_F(ConnectionLimitsTest, OneAddressHoldsOnlyItsShareOfThePool) {
  for (const bool exempt : {false, true}) {
    SCOPED_TRACE(exempt ? "exempt" : "bounded");
    ConnectionLimits limits = relaxed();
    limits.pending_bytes = 4u << 20;
    limits.pending_bytes_per_address = 256 * 1024;
    if (exempt) limits.exempt_addresses = {"127.0.0.1"};
    start(limits);
    RawClient a;
    ASSERT_TRUE(a.connect(port_));
    const std::string block(64 * 1024, 'a');
    for (int i = 0; i < 8 && a.send(block); ++i) {
    }
    if (exempt) {
      ASSERT_TRUE(eventually([&] { return server_.pending_request_bytes() >= 8 * block.size(); }));
      ASSERT_TRUE(a.send("END"));
      EXPECT_EQ("OK" + std::to_string(8 * block.size() + 3), a.read_bytes(8, 5000));
    } else {
      EXPECT_GE(drain_until_closed(a.fd()), 0) << "the address passed its share";
    }
    EXPECT_TRUE(eventually([&] { return server_.pending_request_bytes() == 0; }));
    server_.Shutdown();
    ASSERT_TRUE(server_.wait_clients(5000));
  }
}

// A client that holds every connection it can does not lock a newcomer out:
// past the server's count of connections the longest-idle ones make room.
TEST_F(ConnectionLimitsTest, ADescriptorHogDoesNotLockANewcomerOut) {
  // A page that waits on its connection (as a poll may) is busy, not idle:
  // it is never the one closed, though its connection is the oldest.
  std::atomic<bool> release{false};
  answer_waits_once(release);
  ConnectionLimits limits = relaxed();
  limits.max_connections = 16;
  start(limits);
  RawClient waiting;
  ASSERT_TRUE(waiting.connect(port_));
  usleep(50 * 1000);  // the server waits for its request first
  ASSERT_TRUE(waiting.send("waitEND"));
  ASSERT_TRUE(server_.wait_requests(1));
  // The hog's connections each ask once and then keep silent, so that each
  // is idle on the server before the next one comes: a connection counts as
  // idle only once its thread waits for the next request, and the bound
  // closes only idle ones.
  std::vector<std::unique_ptr<RawClient>> hog;
  for (int i = 0; i < 40; ++i) {
    hog.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(hog.back()->connect(port_));
    ASSERT_TRUE(hog.back()->send("helloEND"));
    ASSERT_EQ("OK8", hog.back()->read_bytes(3, 5000)) << i;
  }
  ASSERT_TRUE(eventually([&] { return server_.connections() <= 16; }));
  RawClient newcomer;
  ASSERT_TRUE(newcomer.connect(port_));
  ASSERT_TRUE(newcomer.send("helloEND"));
  EXPECT_EQ("OK8", newcomer.read_bytes(3, 5000));
  // Idle connections of the hog were the ones closed.
  std::size_t closed = 0;
  EXPECT_TRUE(eventually([&] {
    closed = 0;
    for (auto& c : hog) closed += c->wait_closed(1) ? 1 : 0;
    return closed >= 40u - 16u;
  })) << closed;
  release = true;
  EXPECT_EQ("WAITED", waiting.read_bytes(6, 5000));
}

// Fair shares of the connections: several networks hold every connection
// the server keeps with half-sent requests and silent connections; the one
// holding the most loses its longest-waiting first, and a newcomer from a
// network of its own is served.
TEST_F(ConnectionLimitsTest, ManyNetworksOfUnfinishedRequestsDoNotLockANewcomerOut) {
  ConnectionLimits limits = relaxed();
  limits.max_connections = 24;
  limits.connections_per_address = 12;
  start(limits);
  std::vector<std::unique_ptr<RawClient>> attackers;
  auto hold_from = [&](const std::string& source, int count, bool half_sent) {
    for (int i = 0; i < count; ++i) {
      auto c = std::make_unique<RawClient>();
      c->set_source(source);
      ASSERT_TRUE(c->connect(port_));
      if (half_sent) ASSERT_TRUE(c->send("GET /never-ends"));
      attackers.push_back(std::move(c));
    }
  };
  hold_from("127.0.0.10", 12, true);   // the most: its bound
  hold_from("127.0.0.11", 8, false);   // silent connections (a handshake never sent)
  hold_from("127.0.0.12", 4, true);
  ASSERT_TRUE(eventually([&] { return server_.connections() >= 24; }));
  // Newcomers of fresh networks, one after the other, are all served.
  std::vector<std::unique_ptr<RawClient>> newcomers;
  for (int n = 0; n < 6; ++n) {
    newcomers.push_back(std::make_unique<RawClient>());
    newcomers.back()->set_source("127.0.0." + std::to_string(20 + n));
    ASSERT_TRUE(newcomers.back()->connect(port_));
    ASSERT_TRUE(newcomers.back()->send("helloEND"));
    EXPECT_EQ("OK8", newcomers.back()->read_bytes(3, 5000)) << n;
  }
  // They took their places from the networks holding the most, never from
  // the network holding the fewest.
  EXPECT_TRUE(eventually([&] { return server_.connections_of("127.0.0.10") <= 9; }));
  EXPECT_EQ(server_.connections_of("127.0.0.12"), 4);
}

// Short of threads: a newcomer for whom no thread can be started takes the
// thread of the connection waiting longest of the network holding the most.
// When none waits for its client, the newcomer is closed, never left
// without an answer.
TEST_F(ConnectionLimitsTest, ShortOfThreadsANewcomerTakesTheThreadOfAWaitingConnection) {
  std::atomic<bool> release{false};
  answer_waits_once(release);
  ConnectionLimits limits = relaxed();
  limits.client_threads = 6;
  start(limits);
  std::vector<std::unique_ptr<RawClient>> held;
  auto open_from = [&](const std::string& source, int count, const char* request) {
    for (int i = 0; i < count; ++i) {
      held.push_back(std::make_unique<RawClient>());
      held.back()->set_source(source);
      ASSERT_TRUE(held.back()->connect(port_));
      if (request) {
        ASSERT_TRUE(held.back()->send(request));
      }
    }
  };
  open_from("127.0.0.10", 4, nullptr);  // silent: waiting for their client
  open_from("127.0.0.11", 2, nullptr);
  ASSERT_TRUE(eventually([&] { return server_.connections() == 6; }));
  for (int n = 0; n < 3; ++n) {
    RawClient newcomer;
    newcomer.set_source("127.0.0." + std::to_string(20 + n));
    ASSERT_TRUE(newcomer.connect(port_));
    ASSERT_TRUE(newcomer.send("helloEND"));
    EXPECT_EQ("OK8", newcomer.read_bytes(3, 5000)) << n;
  }
  // Room came from the network holding the most.
  EXPECT_TRUE(eventually([&] { return server_.connections_of("127.0.0.10") <= 2; }));
  EXPECT_EQ(server_.connections_of("127.0.0.11"), 2);

  // Every thread busy answering: a newcomer is closed at once (a server of
  // its own, so no thread of the first one counts).
  ScriptedServer busy;
  busy.handler = server_.handler;
  busy.set_limits(limits);
  port_ = busy.run_on_any_port();
  ASSERT_NE(0, port_);
  held.clear();
  open_from("127.0.0.10", 6, "waitEND");
  ASSERT_TRUE(busy.wait_requests(6));
  RawClient late;
  late.set_source("127.0.0.20");
  ASSERT_TRUE(late.connect(port_));
  EXPECT_TRUE(late.wait_closed(5000));
  release = true;
  for (auto& c : held) EXPECT_EQ("WAITED", c->read_bytes(6, 5000));
}

}  // namespace
}  // namespace tvl::test
