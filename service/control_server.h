// ControlServer: the running service's end of the control socket
// ("control.sock" in the state folder; platform/control_socket.h). Its own
// thread accepts one connection at a time, reads the request (bounded in
// size and time), hands it to the handler and writes the answer back. A
// request that is not understood is answered with exit status 2.
// Lifetime: start() ... stop(); the destructor stops. The handler runs on
// the control thread and must be safe there (the service hands the request
// to its own thread and waits).
#pragma once
#include <functional>
#include <string>

#include "platform/control_socket.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "service/operator_command.h"

namespace tvl {

// The control socket of the service of this state folder.
std::string control_socket_path();

class ControlServer {
 public:
  using Handler = std::function<CommandResult(const CommandRequest&)>;

  ControlServer() = default;
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Listens on `path` and starts the thread. False (reason for a person)
  // when the socket or the thread cannot be made; nothing runs then.
  [[nodiscard]] bool start(const std::string& path, Handler handler, std::string& reason);
  // Ends the thread (a request being handled is finished first) and removes
  // the socket. Nothing when not started.
  void stop();

  // Bounds of one request: its size and the wait for each of its pieces.
  static constexpr std::size_t kMaxRequestBytes = 1 << 20;
  static constexpr int kReadTimeoutMs = 5000;

 private:
  void serve();

  ControlListener listener_;
  PollableEvent stop_;  // manual reset; set by stop()
  Thread thread_;
  Handler handler_;
};

}  // namespace tvl
