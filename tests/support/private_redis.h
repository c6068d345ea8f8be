// A Redis of the test's own: redis-server started as a child on a Unix
// socket in a temporary folder (no port, nothing saved to disk), or on a
// reserved loopback port, never the system's service. Stopped (killed) on
// destruction.
#pragma once
#include <unistd.h>

#include <csignal>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "storage/redis_address.h"
#include "tests/support/child_process.h"
#include "tests/support/test_util.h"

namespace tvl::test {

// The program, or empty when this machine has none (the suites then skip).
inline std::string redis_server_program() {
  for (const char* p : {"/usr/bin/redis-server", "/usr/local/bin/redis-server"})
    if (::access(p, X_OK) == 0) return p;
  return std::string();
}

class PrivateRedis {
 public:
  explicit PrivateRedis(std::string password = std::string()) : password_(std::move(password)) {}

  // Listens on 127.0.0.1 at a reserved port instead of the socket.
  void use_loopback_port() { port_ = std::make_unique<PortReservation>(); }
  // "127.0.0.1:port" or the socket's path: the address [Cluster] Redis= names.
  std::string address() const {
    return port_ ? "127.0.0.1:" + std::to_string(port_->port()) : socket_path();
  }

  // Starts it (again, after stop(): on the same socket, empty). False when
  // it did not say it was ready.
  bool start() {
    const std::string program = redis_server_program();
    if (program.empty()) return false;
    std::vector<std::string> args = {"--save", "", "--appendonly", "no", "--dir", folder_.path(),
                                     "--daemonize", "no"};
    if (port_) {
      args.insert(args.end(), {"--port", std::to_string(port_->port()), "--bind", "127.0.0.1"});
    } else {
      args.insert(args.end(),
                  {"--port", "0", "--unixsocket", socket_path(), "--unixsocketperm", "700"});
    }
    if (!password_.empty()) args.insert(args.end(), {"--requirepass", password_});
    child_ = std::make_unique<ChildProcess>();
    return child_->start(program, args) && child_->wait_for_output("to accept connections");
  }
  // Ends it and waits for the end.
  void stop() {
    if (!child_) return;
    child_->signal(SIGKILL);
    (void)child_->wait(10000);
    child_.reset();
  }
  std::string socket_path() const { return folder_.path() + "redis.sock"; }
  // The [Cluster] section for node `node`.
  std::string cluster_section(const std::string& node) const {
    return "[Cluster]\r\nRedis=" + address() + "\r\nRedisPassword=" + password_ + "\r\nNode=" +
           node + "\r\n";
  }

 private:
  TempDir folder_;
  std::unique_ptr<PortReservation> port_;
  std::string password_;
  std::unique_ptr<ChildProcess> child_;
};

// A test with a Redis of its own (password "pw") started, and its address;
// skipped where redis-server is not installed.
class WithPrivateRedis : public ::testing::Test {
 protected:
  void SetUp() override {
    if (redis_server_program().empty()) GTEST_SKIP() << "redis-server is not installed";
    ASSERT_TRUE(redis_.start());
    ASSERT_TRUE(parse_redis_address(redis_.socket_path(), address_));
  }
  PrivateRedis redis_{"pw"};
  RedisAddress address_;
};

}  // namespace tvl::test
