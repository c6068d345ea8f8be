#include "server/connection_server.h"

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <deque>

#include "platform/event.h"
#include "platform/lock_annotations.h"
#include "platform/message_box.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "server/connection.h"
#include "server/connection_registry.h"
#include "server/transport.h"
#include "server/tls_transport.h"
#include "storage/client_network.h"
#include "storage/ip_list.h"
#include "platform/tls.h"

namespace tvl {

namespace {

// Service threads (accept, helper) do little; client threads take the stack
// size of connection_limits.h.
constexpr std::size_t kServiceStack = 256 * 1024;
// A client thread whose connection ended waits on the listeners itself for
// the next one, this long and at most this many at a time. A newcomer then
// costs one thread wake and no handing over; the accept thread takes new
// connections (and starts threads for them) only while none waits.
constexpr int kMaxIdleThreads = 64;
constexpr int kIdleThreadMs = 30000;
// A connection is accepted once its first bytes are there, or after about
// this long without any (a client that connects ahead of its request).
constexpr int kDeferAcceptSeconds = 1;

constexpr int kStartupTimeoutMs = 30000;
constexpr int kShutdownWaitMs = 1000;
constexpr int kTimeoutCode = 30000;


const char kBindFailure[] =
    "Error starting the Web Server.This may be due to another service running on the port "
    "%d,Try changing the port number and then starting the server again.";

}  // namespace

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

// Everything one run shares with its threads. Every thread of the run holds a
// reference, so the stop event and the registry stay valid until the last of
// them has ended, however long a page handler takes after Shutdown.
struct Client;

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

ConnectionServer::ConnectionServer() : impl_(std::make_unique<Impl>(*this)) {}

ConnectionServer::~ConnectionServer() {
  StopAndWaitClients();
  impl_.reset();  // the thread cache lets its idle threads go and waits for them
}

void ConnectionServer::ReportError(const char* message, const char* operation, int code) const {
  if (report_sink_) report_sink_(message, operation, code);
}

bool ConnectionServer::running() const { return impl_->running.load(); }

int ConnectionServer::live_clients() const { return impl_->serving.load(); }

bool ConnectionServer::wait_clients(int timeout_ms) const {
  return impl_->clients.wait_idle(timeout_ms);
}

std::size_t ConnectionServer::pending_request_bytes() const {
  return impl_->pending_pool.total();
}

std::size_t ConnectionServer::answer_bytes() const {
  return static_cast<std::size_t>(std::max(impl_->answer_bytes.load(), 0LL));
}

std::size_t ConnectionServer::connections() const {
  MutexLock hold(impl_->run_lock);
  return impl_->run ? impl_->run->registry.size() : 0;
}

int ConnectionServer::connections_of(const std::string& ip) const {
  MutexLock hold(impl_->run_lock);
  if (!impl_->run) return 0;
  const ConnectionLimits& limits = impl_->run->limits;
  return impl_->run->registry.held_by(
      impl_->run->exempt(ip) ? ip : client_network(ip, limits.network_prefix_v4, limits.network_prefix_v6));
}

void ConnectionServer::set_limits(const ConnectionLimits& limits) { impl_->limits = limits; }

void ConnectionServer::set_listen_address(const std::string& address) {
  impl_->listen_address = address;
}

void ConnectionServer::set_tls(int tls_port, std::shared_ptr<const TlsContext> context) {
  const bool usable = tls_port != 0 && context && context->loaded();
  impl_->tls_port = usable ? tls_port : 0;
  impl_->tls_context = usable ? std::move(context) : nullptr;
}

void ConnectionServer::set_any_port(bool allowed) { impl_->any_port = allowed; }

bool ConnectionServer::any_port() const { return impl_->any_port; }

int ConnectionServer::port() const {
  MutexLock hold(impl_->run_lock);
  return impl_->run && impl_->running ? impl_->run->bound_port.load() : 0;
}

bool ConnectionServer::tls_listening() const {
  MutexLock hold(impl_->run_lock);
  return impl_->run && impl_->run->tls_listening;
}

const ConnectionLimits& ConnectionServer::limits() const { return impl_->limits; }

void ConnectionServer::StopAndWaitClients() {
  if (impl_->running) Shutdown();
  impl_->clients.wait_idle(-1);
}

int ConnectionServer::Run(int port, unsigned idle_timeout_ms) {
  Impl& m = *impl_;
  if (m.running) {
    m.report("_beginthreadex(...) failure, for Launch Thread", "Run", 0);
    return 0;
  }
  auto block = std::make_shared<RunBlock>();
  block->port = port;
  block->any_port = m.any_port;
  block->idle_timeout_ms = idle_timeout_ms;
  block->limits = m.limits;
  block->address = m.listen_address;
  block->tls_port = m.tls_port;
  block->tls = m.tls_context;
  // Every connection holds a descriptor: the soft limit a service is given
  // (often 1,024) would let one client lock everyone out.
  const long descriptors = raise_descriptor_limit();
  // What the descriptors allow bounds the connections whatever the setting.
  block->max_connections = std::max(descriptors - kSpareDescriptors, 16L);
  if (m.limits.max_connections > 0)
    block->max_connections = std::min(block->max_connections, m.limits.max_connections);
  if (!block->stop.valid() || !block->dry.valid()) {
    m.report("WSACreateEvent(...) failure for ShutdownEvent", "AcceptThread",
             block->stop.valid() ? block->dry.error() : block->stop.error());
    return 0;
  }
  {
    MutexLock hold(m.run_lock);
    m.run = block;
  }
  const Impl::Start step = m.start_threads(block);
  if (step != Impl::Start::Running) {
    m.undo_start(*block, step);
    return 0;
  }
  m.running = true;
  return 1;
}

ConnectionServer::Impl::Start ConnectionServer::Impl::start_threads(
    const std::shared_ptr<RunBlock>& block) {
  Impl* impl = this;
  if (!accept_thread.start([impl, block] { impl->accept_loop(block); }, kServiceStack)) {
    report("_beginthreadex(...) failure, for Launch Thread", "Run", accept_thread.error());
    return Start::NoAcceptThread;
  }
  if (!block->startup.wait(kStartupTimeoutMs)) {
    report("Unable to get response from Accept Thread withing specified Timeout ->", "Run",
           kTimeoutCode);
    return Start::AcceptSilent;
  }
  if (block->bind_failed) {
    report("unavailable port number", "Run", kTimeoutCode);
    return Start::BindFailed;
  }
  if (block->start_failed) return Start::ListenFailed;

  block->startup.reset();
  if (!helper_thread.start([block] { block->startup.set(); }, kServiceStack)) {
    report("_beginthreadex(...) failure, for Helper Thread", "Run", helper_thread.error());
    return Start::NoHelperThread;
  }
  if (!block->startup.wait(kStartupTimeoutMs)) {
    report("Unable to get response from Helper Thread within specified Timeout ->", "Run",
           kTimeoutCode);
    return Start::HelperSilent;
  }
  return Start::Running;
}

// The one place where a failed start gives back what it had started.
void ConnectionServer::Impl::undo_start(RunBlock& block, Start step) {
  switch (step) {
    case Start::Running:
    case Start::NoAcceptThread:
      break;
    case Start::BindFailed:
      // The accept thread ends by itself once the message has been shown; it
      // touches nothing of the server any more.
      accept_thread.detach();
      break;
    case Start::ListenFailed:
      accept_thread.join_for(-1);  // it has reported and is ending
      break;
    case Start::AcceptSilent:
    case Start::NoHelperThread:
    case Start::HelperSilent:
      block.stop.set();
      if (!accept_thread.join_for(kShutdownWaitMs)) accept_thread.detach();
      if (step == Start::HelperSilent) helper_thread.detach();
      break;
  }
  MutexLock hold(run_lock);
  run.reset();
}

int ConnectionServer::Shutdown() {
  Impl& m = *impl_;
  if (!m.running) return 0;
  std::shared_ptr<RunBlock> block;
  {
    MutexLock hold(m.run_lock);
    block = m.run;
  }
  if (block) block->stop.set();
  // Both service threads share one second; a thread that does not end in
  // time is abandoned (it holds its own reference to the run block).
  auto start = std::chrono::steady_clock::now();
  bool accept_ended = m.accept_thread.join_for(kShutdownWaitMs);
  int left = kShutdownWaitMs - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                    std::chrono::steady_clock::now() - start)
                                                    .count());
  bool helper_ended = m.helper_thread.join_for(std::max(left, 0));
  int result = 1;
  if (!accept_ended || !helper_ended) {
    m.report("WaitForMultipleObjects(...) timed out", "Shutdown", 0);
    if (!accept_ended) m.accept_thread.detach();
    if (!helper_ended) m.helper_thread.detach();
    result = 0;
  }
  {
    MutexLock hold(m.run_lock);
    m.run.reset();
  }
  m.running = false;
  return result;
}

int ConnectionServer::AddClient(int socket, const std::string& ip, int port) {
  std::shared_ptr<RunBlock> block;
  {
    MutexLock hold(impl_->run_lock);
    block = impl_->run;
  }
  if (!block) {
    // No run to serve it: the connection cannot be used.
    impl_->report("_beginthreadex(...) failure", "AddClient", 0);
    net::close_socket(socket);
    return 1;
  }
  return impl_->add_client(block, socket, ip, port);
}

// Opens the plain port's listener (a failure is marked in the block for
// Run) and the TLS port's, if any.
bool ConnectionServer::Impl::open_listeners(RunBlock& block) {
  int error = 0;
  int listener = net::create_listen_socket(block.address, error);
  if (listener < 0) {
    report("WSASocket(...) failure", "AcceptThread", error);
    block.start_failed = true;
    return false;
  }
  // Port 0 would bind a random port nobody can find: unless asked for, it
  // counts as a port that cannot be bound.
  const bool usable = (block.port & 0xffff) != 0 || block.any_port;
  const bool bound = usable && net::bind_address(listener, block.address, block.port, error);
  if (!usable) error = EADDRNOTAVAIL;
  if (!bound) {
    net::close_socket(listener);
    block.bind_failed = true;
    report("bind(...) failure", "AcceptThread", error);
    return false;
  }
  if (!net::start_listening(listener, net::kMaxBacklog, error)) {
    report("listen(...) failure", "AcceptThread", error);
    net::close_socket(listener);
    block.start_failed = true;
    return false;
  }
  (void)net::defer_accept(listener, kDeferAcceptSeconds);
  block.bound_port = net::local_port(listener);
  block.listeners.open(listener, open_tls_listener(block));
  return true;
}

void ConnectionServer::Impl::accept_loop(const std::shared_ptr<RunBlock>& block) {
  if (!open_listeners(*block)) {
    const bool bind_failed = block->bind_failed;
    const int port = block->port;
    block->startup.set();
    // Run returns at once; the message may stay on screen as long as the
    // user likes, so nothing of the server is touched after this point.
    if (bind_failed) TellPortUnavailable(port);
    return;
  }
  block->startup.set();
  int listeners[2];
  const int count = block->listeners.copy(listeners);
  const int dry[1] = {block->dry.fd()};
  for (;;) {
    // While client threads wait on the listeners, this thread waits only
    // for the moment none does (or for the stop).
    block->dry.reset();
    const bool watch = block->waiting.load() == 0;
    bool ready[2] = {false, false};
    net::WaitResult w = watch ? net::wait_readable(listeners, ready, count, block->stop.fd(), -1)
                              : net::wait_readable(dry, ready, 1, block->stop.fd(), -1);
    if (w.status < 0) {
      report("WaitForMultipleObjects(...) failure", "AcceptThread", w.error);
      break;
    }
    if (w.stop) break;
    // A client thread that began to wait meanwhile takes the newcomers.
    if (watch && w.readable && block->waiting.load() == 0) accept_waiting(block, ready);
  }
  block->listeners.close();
  // Whatever still waits for a thread is not served any more.
  while (std::shared_ptr<Client> left = block->take_unserved()) drop(*block, *left);
}

// Takes every connection that waits on the ready listeners and starts a
// client thread for each.
void ConnectionServer::Impl::accept_waiting(const std::shared_ptr<RunBlock>& block,
                                            const bool* ready) {
  int listeners[2];
  const int count = block->listeners.copy(listeners);
  for (int which = 0; which < count; ++which) {
    if (!ready[which]) continue;
    for (;;) {
      int socket = -1, raw_port = 0, error = 0;
      std::string ip;
      net::AcceptResult r = net::accept_connection(listeners[which], socket, ip, raw_port, error);
      if (r == net::AcceptResult::WouldBlock) break;
      if (r == net::AcceptResult::Failed) {
        accept_failed(*block, error);
        break;
      }
      make_room(*block);
      if (!add_client(block, socket, ip, raw_port, which == 1))
        report("AddClient(...) failure", "AcceptThread", 0);
    }
  }
}

void ConnectionServer::Impl::accept_failed(RunBlock& block, int error) {
  report("WSAAccept(...) failure", "AcceptThread", error);
  // Out of descriptors: the longest-idle connections make room, so the
  // waiting newcomer gets one. Either way the connection stays queued, so
  // pause instead of spinning on it.
  if (net::out_of_descriptors(error))
    for (int i = 0; i < 4 && block.registry.close_longest_idle(); ++i) {
    }
  block.stop.wait(net::out_of_descriptors(error) ? 1 : 10);
}

// The TLS port's listener, or -1 (reported) when there is none.
int ConnectionServer::Impl::open_tls_listener(RunBlock& block) {
  if (block.tls_port == 0 || !block.tls) return -1;
  int error = 0;
  int listener = net::create_listen_socket(block.address, error);
  if (listener < 0) {
    report("WSASocket(...) failure for the TLS port", "AcceptThread", error);
    return -1;
  }
  const bool valid = block.tls_port > 0 && block.tls_port <= 65535 && block.tls_port != block.port;
  if (!valid) error = EADDRNOTAVAIL;
  if (!valid || !net::bind_address(listener, block.address, block.tls_port, error) ||
      !net::start_listening(listener, net::kMaxBacklog, error)) {
    report("bind(...) failure for the TLS port", "AcceptThread", error);
    net::close_socket(listener);
    return -1;
  }
  (void)net::defer_accept(listener, kDeferAcceptSeconds);
  block.tls_listening = true;
  return listener;
}

// A newcomer past max_connections takes the place of the connection that
// has waited longest for a request.
void ConnectionServer::Impl::make_room(RunBlock& block) {
  if (static_cast<long>(block.registry.size()) >= block.max_connections)
    (void)block.registry.close_longest_idle();  // none idle: all are served
}

std::shared_ptr<Client> ConnectionServer::Impl::admit(RunBlock& block, int socket,
                                                      const std::string& ip, int port,
                                                      bool secure) {
  self.OnConnect(ip, port);
  // The entry is in the registry before the connection is served, so its
  // thread always finds it, and a connection over its address's bound is
  // closed here without costing a thread.
  auto client = std::make_shared<Client>(socket, secure ? block.tls.get() : nullptr);
  client->entry.address = ip;
  client->entry.exempt = block.exempt(ip);
  client->entry.network = client->entry.exempt ? ip
                                               : client_network(ip, block.limits.network_prefix_v4,
                                                                block.limits.network_prefix_v6);
  // Until its first request a connection waits for its client (over TLS,
  // for the handshake): one the server may close to make room.
  client->entry.idle_since.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  client->entry.transport = client->transport.get();
  if (!block.registry.add(client->entry, block.limits.connections_per_address)) {
    client->transport->close();
    return nullptr;
  }
  serving.fetch_add(1);
  return client;
}

int ConnectionServer::Impl::add_client(const std::shared_ptr<RunBlock>& block, int socket,
                                       const std::string& ip, int port, bool secure) {
  std::shared_ptr<Client> client = admit(*block, socket, ip, port, secure);
  if (!client) return 1;
  int error = EAGAIN;
  const std::size_t thread_bound = block->limits.client_threads;
  bool started =
      (thread_bound == 0 || static_cast<std::size_t>(clients.busy()) < thread_bound) &&
      clients.run([this, block, client] { serve_and_wait(block, client); }, &error);
  if (!started) {
    report("_beginthreadex(...) failure", "AddClient", error);
    // Out of threads: a connection waiting for its client makes room, and
    // its thread serves this one next. Queued first, so that thread cannot
    // look before it is there.
    client->entry.idle_since.store(0);
    {
      MutexLock hold(block->unserved_lock);
      block->unserved.push_back(client);
    }
    if (!block->registry.close_longest_idle() && block->take_back(client)) drop(*block, *client);
  }
  return 1;
}

void ConnectionServer::Impl::drop(RunBlock& block, Client& client) {
  (void)block.registry.remove(client.entry);
  client.transport->close();
  serving.fetch_sub(1);
}

void ConnectionServer::Impl::serve_unserved(RunBlock& block) {
  while (std::shared_ptr<Client> next = block.take_unserved()) {
    // From now on it waits for its client like any other (a handshake).
    next->entry.idle_since.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
    serve(block, *next);
  }
}

// The life of a client thread within one run: it serves its connection,
// then waits on the listeners for the next one and serves that, until the
// stop, kIdleThreadMs without a newcomer, or kMaxIdleThreads others waiting.
void ConnectionServer::Impl::serve_and_wait(const std::shared_ptr<RunBlock>& block,
                                            std::shared_ptr<Client> client) {
  serve(*block, *client);
  client.reset();
  serve_unserved(*block);
  std::unique_ptr<net::ListenWait> wait = block->listeners.make_wait(block->stop.fd());
  if (!wait || !wait->valid()) return;  // out of descriptors: the accept thread serves
  for (;;) {
    if (block->waiting.fetch_add(1) >= kMaxIdleThreads) {
      if (block->waiting.fetch_sub(1) == 1) block->dry.set();
      return;
    }
    int socket = -1, raw_port = 0, error = 0;
    std::string ip;
    bool secure = false;
    net::AcceptResult got = net::AcceptResult::WouldBlock;
    while (got == net::AcceptResult::WouldBlock) {
      bool ready[2] = {false, false};
      net::WaitResult w = wait->wait(ready, kIdleThreadMs);
      if (w.status <= 0 || w.stop) break;
      // Another waiter may have been quicker: then wait again.
      if (!block->listeners.accept_ready(ready, got, socket, ip, raw_port, error, secure)) break;
    }
    // The last waiter to go hands the listeners back to the accept thread.
    if (block->waiting.fetch_sub(1) == 1) block->dry.set();
    if (got == net::AcceptResult::Failed) {
      accept_failed(*block, error);
      continue;
    }
    if (got != net::AcceptResult::Accepted) return;  // stop, time-out or failure
    make_room(*block);
    if (std::shared_ptr<Client> next = admit(*block, socket, ip, raw_port, secure))
      serve(*block, *next);
    serve_unserved(*block);
  }
}

void ConnectionServer::Impl::serve(RunBlock& block, Client& client) {
  ConnectionSetup setup;
  setup.limits = &block.limits;
  setup.stop_fd = block.stop.fd();
  // The time-out of Run: a wait this long without any network activity
  // ends the connection too (none when 0).
  setup.activity_ms = block.idle_timeout_ms == 0
                          ? -1
                          : static_cast<int>(std::min<unsigned>(block.idle_timeout_ms, INT_MAX));
  bool quiet = true;
  // A peer that is no TLS client, or too slow to finish the handshake
  // within the request bound, is closed without a word.
  if (!client.tls || client.tls->handshake(setup.stop_fd, block.limits.request_ms)) {
    setup.secure = client.tls != nullptr;
    Connection connection(*this, setup, *client.transport, client.entry);
    quiet = connection.run();
  }
  // Out of the registry before the descriptor is released, so nothing
  // aborts a descriptor that was reused meanwhile.
  if (!block.registry.remove(client.entry) && !quiet)
    report("Thread not found in the list", "ClientThread", 0);
  client.transport->close();
  serving.fetch_sub(1);
}

void ConnectionServer::TellPortUnavailable(int port) {
  char text[256];
  std::snprintf(text, sizeof text, kBindFailure, port);
  message_box("Tavella", text, MessageIcon::Error);
}

}  // namespace tvl
