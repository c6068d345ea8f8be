// ControlServer: a running chat server's end of the control socket
// ("control.sock" in the state folder; platform/control_socket.h), used by
// tvlService and by the Tavella window alike. Its own thread accepts one
// connection at a time and reads the request (bounded in size and time).
// The request is then handed to the thread that owns the chat (the
// service's thread, the window's user-interface thread): the control thread
// calls `wake`, the owner calls answer_waiting(), which runs the command
// there, and the control thread writes the answer back. A request that is
// not understood is answered with exit status 2, one that names another
// program folder than the owner serves with kOtherFolderStatus (tvlctl then
// works on the files), and one that comes while the server stops with a
// refusal that changes nothing.
// Lifetime: start() ... stop(), both on the owner's thread; the destructor
// stops. Thread safety: `wake` runs on the control thread and must not wait
// for the owner; answer_waiting() and stop() run on the owner's thread.
#pragma once
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "ops/command_wire.h"
#include "ops/operator_command.h"
#include "platform/control_socket.h"
#include "platform/event.h"
#include "platform/lock_annotations.h"
#include "platform/thread.h"

namespace tvl {

// The control socket of the server of this state folder.
std::string control_socket_path();

// A running server holds its program folder's lock (FolderLock, exclusive)
// for its whole life, whatever its state folder; tvlctl holds it shared
// while it changes the files without a server. A starting server waits this
// long for such a change to end.
constexpr int kServedFolderWaitMs = 3000;
// What a server says when another one serves its program folder.
std::string folder_served_text(const std::string& program_folder);

class ControlServer {
 public:
  using Wake = std::function<void()>;

  ControlServer() = default;
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Listens on `path` and starts the thread; requests are taken from now on
  // and wait until the owner answers them. False when the socket or the
  // thread cannot be made (`why` says which, for a person); nothing runs then.
  [[nodiscard]] bool start(const std::string& path, Wake wake, Reason& why);
  // Runs every waiting request on `target` (the owner's chat and program
  // folder) and hands the answers back. Nothing when none waits.
  void answer_waiting(const OperatorTarget& target);
  // Refuses what waits and what comes later, ends the thread (after the
  // answer it is writing) and removes the socket. Nothing when not started.
  void stop();

  // What a server tells when its control socket cannot be opened.
  static std::string unreachable_text(const std::string& path, const std::string& reason);

  // Bounds of one request: its size and the wait for each of its pieces.
  static constexpr std::size_t kMaxRequestBytes = 1 << 20;
  static constexpr int kReadTimeoutMs = 5000;

 private:
  struct Job {
    CommandRequest request;
    std::promise<CommandResult> result;
  };

  void serve();
  // On the control thread: queues the request for the owner and waits for
  // its answer.
  CommandResult hand_over(const CommandRequest& request) EXCLUDES(jobs_lock_);

  ControlListener listener_;
  PollableEvent stop_;  // manual reset; set by stop()
  Thread thread_;
  Wake wake_;  // set before the thread starts, read only by it

  Mutex jobs_lock_;
  std::deque<std::shared_ptr<Job>> jobs_ GUARDED_BY(jobs_lock_);
  bool accepting_ GUARDED_BY(jobs_lock_) = false;
};

}  // namespace tvl
