// The pieces of a ConnectionServer's runs that its sources share: the
// listening sockets, the block one run shares with its threads, one accepted
// connection, and the server's private part. Included by
// connection_server.cpp (start, stop, accept) and connection_clients.cpp
// (the client threads) alone.
#pragma once
#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "platform/event.h"
#include "platform/lock_annotations.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "platform/tls.h"
#include "server/connection.h"
#include "server/connection_limits.h"
#include "server/connection_registry.h"
#include "server/connection_server.h"
#include "server/tls_transport.h"
#include "server/transport.h"
#include "storage/ip_list.h"

namespace tvl {

// A client thread whose connection ended waits on the listeners itself for
// the next one, this long and at most this many at a time. A newcomer then
// costs one thread wake and no handing over; the accept thread takes new
// connections (and starts threads for them) only while none waits.
inline constexpr int kMaxIdleThreads = 64;
inline constexpr int kIdleThreadMs = 30000;

// The listening sockets of a run, plain port first. The accept thread opens
// them before Run returns and closes them when it ends, under an exclusive
// hold; client threads accept only under a shared hold while they are open,
// so none accepts on a descriptor closed (and perhaps reused) meanwhile.
class Listeners {
 public:
  void open(int plain, int tls) EXCLUDES(lock_) {
    MutexLock hold(lock_);
    fds_[0] = plain;
    fds_[1] = tls;
    count_ = tls >= 0 ? 2 : 1;
  }
  void close() EXCLUDES(lock_) {
    MutexLock hold(lock_);
    for (int i = 0; i < count_; ++i) net::close_socket(fds_[i]);
    count_ = 0;
  }
  // Copies the open descriptors to `fds`; their count (0 once closed).
  int copy(int (&fds)[2]) EXCLUDES(lock_) {
    SharedLock hold(lock_);
    fds[0] = fds_[0];
    fds[1] = fds_[1];
    return count_;
  }
  // A wait on the listeners and `stop_fd`; null once they are closed.
  std::unique_ptr<net::ListenWait> make_wait(int stop_fd) EXCLUDES(lock_) {
    SharedLock hold(lock_);
    if (count_ == 0) return nullptr;
    return std::make_unique<net::ListenWait>(fds_, count_, stop_fd);
  }
  // Accepts from the first listener marked in `ready` that has a
  // connection waiting (`secure`: it came to the TLS port); WouldBlock when
  // none has (another waiter was quicker). False once they are closed.
  bool accept_ready(const bool* ready, net::AcceptResult& got, int& socket, std::string& ip,
                    int& raw_port, int& error, bool& secure) EXCLUDES(lock_) {
    SharedLock hold(lock_);
    if (count_ == 0) return false;
    got = net::AcceptResult::WouldBlock;
    for (int which = 0; which < count_ && got == net::AcceptResult::WouldBlock; ++which) {
      if (!ready[which]) continue;
      got = net::accept_connection(fds_[which], socket, ip, raw_port, error);
      secure = which == 1;
    }
    return true;
  }

 private:
  SharedMutex lock_;
  int fds_[2] GUARDED_BY(lock_) = {-1, -1};
  int count_ GUARDED_BY(lock_) = 0;  // 0: closed
};

struct Client;

// Everything one run shares with its threads. Every thread of the run holds a
// reference, so the stop event and the registry stay valid until the last of
// them has ended, however long a page handler takes after Shutdown.
struct RunBlock {
  int port = 0;
  bool any_port = false;          // port 0 asks the system for one
  std::atomic<int> bound_port{0};  // the port the listener holds
  std::string address;  // empty: all local addresses
  unsigned idle_timeout_ms = 0;
  ConnectionLimits limits;
  PollableEvent stop;                 // manual reset; set by Shutdown
  Event startup{false, false};        // auto reset; used only during Run
  std::atomic<bool> bind_failed{false};
  std::atomic<bool> start_failed{false};  // any other failure before listening
  int tls_port = 0;                   // 0: no HTTPS
  std::shared_ptr<const TlsContext> tls;
  std::atomic<bool> tls_listening{false};
  ConnectionRegistry registry;        // live client connections
  long max_connections = 0;           // past it the longest-idle one is closed

  Listeners listeners;
  // Client threads waiting on the listeners right now; `dry` is set when
  // the last of them takes a connection, for the accept thread to step in.
  std::atomic<int> waiting{0};
  PollableEvent dry;

  // Connections accepted when no thread could be started for them: each
  // waits here for the thread of the connection closed to make room for it
  // (or of any other that ends), never picked to make room itself.
  Mutex unserved_lock;
  std::deque<std::shared_ptr<Client>> unserved GUARDED_BY(unserved_lock);

  // The oldest unserved connection, or null.
  std::shared_ptr<Client> take_unserved() EXCLUDES(unserved_lock) {
    MutexLock hold(unserved_lock);
    if (unserved.empty()) return nullptr;
    std::shared_ptr<Client> next = std::move(unserved.front());
    unserved.pop_front();
    return next;
  }
  // Takes `client` back out; false when a thread has taken it meanwhile.
  bool take_back(const std::shared_ptr<Client>& client) EXCLUDES(unserved_lock) {
    MutexLock hold(unserved_lock);
    auto it = std::find(unserved.begin(), unserved.end(), client);
    if (it == unserved.end()) return false;
    unserved.erase(it);
    return true;
  }

  bool exempt(const std::string& ip) const {
    return std::any_of(limits.exempt_addresses.begin(), limits.exempt_addresses.end(),
                       [&](const std::string& entry) { return ip_entry_matches(entry, ip); });
  }
};

// One accepted connection between the accept thread and its client thread.
struct Client {
  Client(int socket, const TlsContext* tls_context) {
    if (tls_context) {
      tls = new TlsTransport(socket, *tls_context);
      transport.reset(tls);
    } else {
      transport = std::make_unique<SocketTransport>(socket);
    }
  }
  std::unique_ptr<Transport> transport;
  TlsTransport* tls = nullptr;  // the transport, when it came to the TLS port
  LiveConnection entry;
};

struct ConnectionServer::Impl final : ConnectionHost {
  explicit Impl(ConnectionServer& s) : self(s) {}

  ConnectionServer& self;
  // Client threads each do a little per wake-up (one request of a kept
  // connection): under load, a woken one waits for the running one to sleep
  // instead of taking its processor at once, which halves the switches.
  // The accept thread stays normal, so newcomers are taken at once.
  ThreadCache clients{kClientStackBytes, kMaxIdleThreads, kIdleThreadMs, Scheduling::Batch};
  ConnectionLimits limits;  // taken by the next Run; written only while stopped
  std::string listen_address;  // likewise
  int tls_port = 0;            // likewise
  bool any_port = false;       // likewise
  std::shared_ptr<const TlsContext> tls_context;
  // Bytes counted for unfinished requests of all connections of all runs.
  PendingPool pending_pool;
  std::atomic<long long> answer_bytes{0};
  // Connections accepted and not yet ended (what live_clients reports; a
  // thread waiting for its next connection serves none).
  std::atomic<int> serving{0};
  Thread accept_thread;
  Thread helper_thread;
  std::atomic<bool> running{false};
  mutable Mutex run_lock;
  std::shared_ptr<RunBlock> run GUARDED_BY(run_lock);

  void report(const char* message, const char* operation, int code) const {
    self.ReportError(message, operation, code);
  }

  // ConnectionHost
  std::size_t request_length(const std::string& buffer) override {
    return self.RequestLength(buffer);
  }
  Answer handle_request(const std::string& ip, std::string_view request, bool secure) override {
    return self.HandleRequest(ip, request, secure);
  }
  void answer_sent(std::size_t count) override { self.OnSent(count); }
  void report(const char* message, const char* operation, int code) override {
    self.ReportError(message, operation, code);
  }
  PendingPool& pending() override { return pending_pool; }
  void count_answer_bytes(long long change) override { answer_bytes.fetch_add(change); }

  // How far a start got: Running, or the step that failed.
  enum class Start {
    Running, NoAcceptThread, AcceptSilent, BindFailed, ListenFailed, NoHelperThread,
    HelperSilent
  };
  Start start_threads(const std::shared_ptr<RunBlock>& block);
  // What a service thread's start reports when it fails, and the step.
  struct ThreadStart {
    const char* no_thread;  // it could not be started (Start::No...Thread)
    Start no_thread_step;
    const char* silent;  // it did not set the startup event in time
    Start silent_step;
  };
  // Starts `thread` on `body` and waits for it to set the block's startup
  // event: Running, or the failed step (reported).
  Start start_thread(Thread& thread, std::function<void()> body, RunBlock& block,
                     const ThreadStart& texts);
  void undo_start(RunBlock& block, Start step);

  void accept_loop(const std::shared_ptr<RunBlock>& block);
  bool open_listeners(RunBlock& block);
  void accept_waiting(const std::shared_ptr<RunBlock>& block, const bool* ready);
  void accept_failed(RunBlock& block, int error);
  void make_room(RunBlock& block);
  std::shared_ptr<Client> admit(RunBlock& block, int socket, const std::string& ip, int port,
                                bool secure);
  int add_client(const std::shared_ptr<RunBlock>& block, int socket, const std::string& ip,
                 int port, bool secure = false);
  int open_tls_listener(RunBlock& block);
  void serve(RunBlock& block, Client& client);
  // Serves the connections that wait for a thread, on this one.
  void serve_unserved(RunBlock& block);
  // Closes a connection that no thread serves.
  void drop(RunBlock& block, Client& client);
  void serve_and_wait(const std::shared_ptr<RunBlock>& block, std::shared_ptr<Client> client);
};

}  // namespace tvl
