// The connection server under many connections and while it stops: one
// thread per connection, Shutdown with clients attached or a handler still
// busy, restarts, destruction. Also run under ThreadSanitizer.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "server/connection_limits.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_util.h"

namespace tvl::test {
namespace {

using namespace std::chrono_literals;

bool closed_or_reset(int fd, int timeout_ms = 5000) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return false;
  char b;
  ssize_t n = ::recv(fd, &b, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

// Runs Shutdown on another thread so that a hang fails the test instead of
// stalling the suite.
int shutdown_guarded(ConnectionServer& server) {
  auto done = std::async(std::launch::async, [&] { return server.Shutdown(); });
  if (done.wait_for(20s) != std::future_status::ready) {
    ADD_FAILURE() << "Shutdown hung";
    std::abort();
  }
  return done.get();
}

// A gate page handlers wait at until the test opens it.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> hold(lock_);
    open_ = true;
    changed_.notify_all();
  }
  void arrive() {
    std::unique_lock<std::mutex> hold(lock_);
    ++arrived_;
    changed_.notify_all();
    changed_.wait_for(hold, 20s, [this] { return open_; });
  }
  bool wait_arrived(int count) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, 20s, [&] { return arrived_ >= count; });
  }

 private:
  std::mutex lock_;  // guards open_ and arrived_
  std::condition_variable changed_;
  bool open_ = false;
  int arrived_ = 0;
};

TEST(ConnectionServerConcurrency, HundredSimultaneousConnectionsAreServedTogether) {
  constexpr int kClients = 100;
  ScriptedServer server;
  Gate gate;
  // Every handler waits until all hundred are inside: this only finishes
  // when each connection has a thread of its own.
  std::atomic<int> inside{0};
  server.handler = [&](const std::string&, const std::string& request, std::string& response,
                       int&) {
    if (++inside == kClients) gate.open();
    gate.arrive();
    response = "done:" + request;
    return 1;
  };
  const int port = server.run_on_any_port();
  ASSERT_NE(0, port);
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(clients.back()->connect(port));
  }
  for (int i = 0; i < kClients; ++i)
    ASSERT_TRUE(clients[i]->send(std::to_string(i) + "END"));
  for (int i = 0; i < kClients; ++i)
    EXPECT_EQ("done:" + std::to_string(i) + "END", clients[i]->read_all(20000)) << i;
  EXPECT_EQ(kClients, inside.load());
  EXPECT_EQ(1, shutdown_guarded(server));
}

TEST(ConnectionServerConcurrency, ShutdownReturnsWithClientsAttachedAndTheyAreClosed) {
  ScriptedServer server;
  server.handler = [](const std::string&, const std::string&, std::string& response, int& keep) {
    response = "kept";
    keep = 1;
    return 1;
  };
  const int port = server.run_on_any_port();
  ASSERT_NE(0, port);
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 30; ++i) {
    clients.push_back(std::make_unique<RawClient>());
    RawClient& c = *clients.back();
    ASSERT_TRUE(c.connect(port));
    if (i % 3 == 0) {
      ASSERT_TRUE(c.send("half a request"));
    }
    if (i % 3 == 1) {
      ASSERT_TRUE(c.send("END"));
      ASSERT_EQ("kept", c.read_bytes(4));
    }
  }
  ASSERT_TRUE(eventually([&] { return server.live_clients() == 30; }));
  EXPECT_EQ(1, shutdown_guarded(server));
  EXPECT_FALSE(server.running());
  for (auto& c : clients) EXPECT_TRUE(closed_or_reset(c->fd()));
  EXPECT_TRUE(eventually([&] { return server.live_clients() == 0; }));
}

TEST(ConnectionServerConcurrency, HandlerStillBusyAfterShutdownFinishesSafely) {
  ScriptedServer server;
  Gate gate;
  server.handler = [&](const std::string&, const std::string&, std::string& response, int& keep) {
    gate.arrive();
    response = "late answer";
    keep = 1;
    return 1;
  };
  const int port = server.run_on_any_port();
  ASSERT_NE(0, port);
  RawClient c;
  ASSERT_TRUE(c.connect(port));
  ASSERT_TRUE(c.send("END"));
  ASSERT_TRUE(gate.wait_arrived(1));
  EXPECT_EQ(1, shutdown_guarded(server));
  EXPECT_EQ(1, server.live_clients());

  // A new run while the old run's thread is still inside its handler.
  const int other = server.run_on_any_port();
  ASSERT_NE(0, other);
  gate.open();
  // The old thread sends what its handler made, then sees its run's stop
  // event (still valid) and ends.
  EXPECT_EQ("late answer", c.read_bytes(11, 5000));
  EXPECT_TRUE(closed_or_reset(c.fd()));
  EXPECT_TRUE(eventually([&] { return server.live_clients() == 0; }));
  EXPECT_EQ("done", [&] {
    RawClient d;
    if (!d.connect(other)) return std::string("no connect");
    d.send("END");
    return d.read_bytes(11, 5000) == "late answer" ? std::string("done") : std::string("bad");
  }());
  EXPECT_EQ(1, shutdown_guarded(server));
}

TEST(ConnectionServerConcurrency, RepeatedRunsWithTrafficAndStops) {
  ScriptedServer server;
  for (int round = 0; round < 5; ++round) {
    const int port = server.run_on_any_port();
    ASSERT_NE(0, port) << round;
    std::vector<std::thread> talkers;
    std::atomic<int> answered{0};
    for (int i = 0; i < 8; ++i)
      talkers.emplace_back([&, i] {
        if (http_exchange(port, "r" + std::to_string(i) + "END") ==
            "GOT:r" + std::to_string(i) + "END")
          ++answered;
      });
    for (auto& t : talkers) t.join();
    EXPECT_EQ(8, answered.load());
    // A connection that has sent nothing yet is not the server's (the
    // system hands one over with its first bytes): this one has begun.
    RawClient idle;
    ASSERT_TRUE(idle.connect(port));
    ASSERT_TRUE(idle.send("GE"));
    EXPECT_EQ(1, shutdown_guarded(server));
    EXPECT_TRUE(closed_or_reset(idle.fd()));
  }
  EXPECT_TRUE(eventually([&] { return server.live_clients() == 0; }));
}

TEST(ConnectionServerConcurrency, DestroyingARunningServerEndsItsClients) {
  auto server = std::make_unique<ScriptedServer>();
  const int port = server->run_on_any_port();
  ASSERT_NE(0, port);
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 10; ++i) {
    clients.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(clients.back()->connect(port));
    ASSERT_TRUE(clients.back()->send("part"));
  }
  ASSERT_TRUE(eventually([&] { return server->live_clients() == 10; }));
  server.reset();
  for (auto& c : clients) EXPECT_TRUE(closed_or_reset(c->fd()));
}

TEST(ConnectionServerConcurrency, WaitForClientsGivesUpOnAStuckHandlerOnly) {
  ScriptedServer server;
  Gate gate;
  server.handler = [&](const std::string&, const std::string&, std::string& response, int&) {
    gate.arrive();
    response = "late";
    return 1;
  };
  const int port = server.run_on_any_port();
  ASSERT_NE(0, port);
  RawClient busy, idle;
  ASSERT_TRUE(busy.connect(port));
  ASSERT_TRUE(idle.connect(port));
  ASSERT_TRUE(idle.send("GE"));  // begun, so the server holds it
  ASSERT_TRUE(busy.send("END"));
  ASSERT_TRUE(gate.wait_arrived(1));
  EXPECT_EQ(1, shutdown_guarded(server));
  // The idle connection ends on the stop; the one inside its handler
  // cannot, and the wait says so instead of hanging.
  EXPECT_TRUE(closed_or_reset(idle.fd()));
  EXPECT_FALSE(server.wait_clients(100));
  EXPECT_EQ(1, server.live_clients());
  gate.open();
  EXPECT_TRUE(server.wait_clients(20000));
}

TEST(ConnectionServerConcurrency, StopEndsStalledReadersAndHalfRequestsAndFreesTheirCount) {
  ScriptedServer server;
  auto big = std::make_shared<const std::string>(16u << 20, 'q');
  server.handler = [big](const std::string&, const std::string&, std::string& response,
                         int& keep) {
    keep = 1;
    response = *big;
    return 1;
  };
  ConnectionLimits limits;
  limits.pending_bytes = 512 * 1024;
  server.set_limits(limits);
  const int port = server.run_on_any_port();
  ASSERT_NE(0, port);
  std::vector<std::unique_ptr<RawClient>> readers, senders;
  for (int i = 0; i < 10; ++i) {
    readers.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(readers.back()->connect(port));
    ASSERT_TRUE(readers.back()->send("END"));  // and never read
  }
  // Half requests from several threads at once, more than the total allows.
  std::vector<std::thread> pushers;
  for (int i = 0; i < 10; ++i) {
    senders.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(senders.back()->connect(port));
    pushers.emplace_back([c = senders.back().get()] { c->send(std::string(96 * 1024, 'h')); });
  }
  for (auto& t : pushers) t.join();
  ASSERT_TRUE(server.wait_requests(10));
  EXPECT_LE(server.pending_request_bytes(), limits.pending_bytes);
  EXPECT_EQ(1, shutdown_guarded(server));
  EXPECT_TRUE(server.wait_clients(20000));
  EXPECT_EQ(0u, server.pending_request_bytes());
  for (auto& c : senders) EXPECT_TRUE(closed_or_reset(c->fd()));
}

}  // namespace
}  // namespace tvl::test
