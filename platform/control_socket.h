// The local control channel between tvlctl and a running tvlService: a Unix
// stream socket in the state folder, mode 0600, that accepts only peers
// running as the socket's owner or as root (checked with the peer's
// credentials, not only through the file mode).
// One exchange per connection: the client writes its whole request and
// shuts its sending side; the server reads to the end, writes its answer
// and closes. Sizes are bounded so a stuck or hostile peer costs little.
// Thread safety: a ControlListener is used by one thread; the free
// functions work on the descriptors they are given.
#pragma once
#include <cstddef>
#include <string>

#include "platform/reason.h"
#include "platform/unique_fd.h"

namespace tvl {

class ControlListener {
 public:
  ~ControlListener();  // close()

  // Listens on `path`. A socket file left by a server that ended without
  // removing it is replaced; one another server still answers on is not.
  // False when the path cannot be used (`why` says so for a person);
  // nothing is left behind then.
  [[nodiscard]] bool open(const std::string& path, Reason& why);
  // Stops listening and removes the socket file.
  void close();
  int fd() const { return fd_.get(); }

  // Waits up to timeout_ms (negative: without limit) for a connection or for
  // stop_fd to become readable. Returns the accepted connection, or -1 (a
  // time-out, the stop, or a peer that is neither the owner nor root, whose
  // connection is closed at once). stopped tells whether stop_fd fired.
  int accept_peer(int stop_fd, int timeout_ms, bool& stopped);

 private:
  UniqueFd fd_;
  std::string path_;
};

// Connects to the server at `path`; -1 when nobody listens there.
int connect_control(const std::string& path);

// What connecting to the server at `path` found.
enum class ControlReach {
  Connected,  // fd is the connection
  Nobody,     // no socket there, or nobody listens on it
  Refused,    // a socket is there but this user may not use it (another
               // user's server): not the same as no server at all
};
ControlReach reach_control(const std::string& path, int& fd);
// Writes all of `data`, then shuts the sending side. False on a failure.
[[nodiscard]] bool send_request(int fd, const std::string& data);
// Writes all of `data` (the answer). False on a failure.
[[nodiscard]] bool send_answer(int fd, const std::string& data);
// Reads until the peer shuts its side, at most max_bytes, each wait at most
// timeout_ms. False on a failure, a time-out or more than max_bytes.
[[nodiscard]] bool receive_all(int fd, std::string& out, std::size_t max_bytes, int timeout_ms);
void close_control(int fd);

}  // namespace tvl
