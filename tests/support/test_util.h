// Small helpers shared by the test suites: temporary folders, reserved
// ports, a raw socket client and the test environment.
#pragma once
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "server/answer.h"

namespace tvl::test {

// A fresh folder under /tmp, removed with everything in it on destruction.
// path() ends in "/".
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes a file relative to the folder (creating parent folders).
  void write(const std::string& relative, const std::string& content) const;
  std::string read(const std::string& relative) const;
  bool exists(const std::string& relative) const;

 private:
  std::string path_;
};

// Points TAVELLA_STATE_DIR and XDG_CONFIG_HOME at temporary folders for the
// life of the object, so nothing touches the real system.
class TestEnvironment {
 public:
  TestEnvironment();
  ~TestEnvironment();
  const std::string& state_dir() const { return state_.path(); }
  const std::string& config_dir() const { return config_.path(); }

 private:
  TempDir state_, config_;
};

// A TCP port held for the life of the object, for a server that must be
// told its port before it starts (a program's option.ini, a port typed into
// the window, a restart on the same port); a server started in-process binds
// port 0 instead and reads back the port it got. The port is bound with
// SO_REUSEADDR on all addresses and never listened on: a server socket with
// SO_REUSEADDR (as ours are) can bind and listen on it meanwhile, while the
// system hands it to nobody else (no bind to port 0, no client's ephemeral
// port), so nothing can take it between the choice and the server's bind.
class PortReservation {
 public:
  PortReservation();
  int port() const { return port_; }  // 0 when no port could be had

 private:
  UniqueFd fd_;
  int port_ = 0;
};

// A Unix datagram socket bound at `path` (where a service manager would
// listen for notifications); -1 when it cannot be made.
int bind_datagram_socket(const std::string& path);

// A blocking loopback client that talks raw bytes.
class RawClient {
 public:
  bool connect(int port, int timeout_ms = 2000);
  // The loopback address the next connect() sends from ("127.0.0.2": a
  // second client address on the same machine); empty for the default.
  void set_source(const std::string& address) { source_ = address; }
  bool send(const std::string& bytes);
  // Reads until the peer closes or timeout_ms pass without data.
  std::string read_all(int timeout_ms = 2000);
  // Reads until `count` bytes arrived, the peer closed, or the timeout.
  std::string read_bytes(std::size_t count, int timeout_ms = 2000);
  // Reads one HTTP answer: header up to the empty line plus Content-Length
  // bytes of body (or until close when there is no Content-Length).
  std::string read_http_answer(int timeout_ms = 2000);
  // True when the peer has closed (a read returns 0) within timeout_ms.
  bool wait_closed(int timeout_ms = 2000);
  void close();
  int fd() const { return fd_.get(); }

 private:
  int open_socket();
  UniqueFd fd_;
  std::string source_;
  std::string pending_;  // bytes read past the last answer
};

// One request on a fresh connection; returns everything until close/timeout.
std::string http_exchange(int port, const std::string& request, int timeout_ms = 2000);
// The same from another loopback address (see RawClient::set_source).
std::string http_exchange_from(const std::string& source, int port, const std::string& request,
                               int timeout_ms = 2000);

// The whole content of a file, or "<missing>" when there is no such file.
std::string file_text(const std::string& path);

// How many times `part` stands in `text`, overlaps included.
int count_of(const std::string& text, const std::string& part);

// The bytes an answer puts on the wire: its text, then its shared body or
// its stream read whole.
std::string wire_bytes(Answer& answer);

// Replaces the value of the Date header with "<date>" so answers compare.
std::string mask_date(const std::string& answer);

// Polls a condition every 5 ms for at most `limit` (a hang guard, not a
// speed check); false when it never held.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace tvl::test
