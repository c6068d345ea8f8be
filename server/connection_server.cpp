#include "server/connection_server.h"

#include <algorithm>
#include <chrono>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>

#include "platform/event.h"
#include "platform/lock_annotations.h"
#include "platform/message_box.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "server/connection.h"
#include "server/connection_registry.h"
#include "server/connection_run.h"
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
  static constexpr ThreadStart kAccept = {
      "_beginthreadex(...) failure, for Launch Thread", Start::NoAcceptThread,
      "Unable to get response from Accept Thread withing specified Timeout ->",
      Start::AcceptSilent};
  static constexpr ThreadStart kHelper = {
      "_beginthreadex(...) failure, for Helper Thread", Start::NoHelperThread,
      "Unable to get response from Helper Thread within specified Timeout ->",
      Start::HelperSilent};
  Impl* impl = this;
  const Start accepting =
      start_thread(accept_thread, [impl, block] { impl->accept_loop(block); }, *block, kAccept);
  if (accepting != Start::Running) return accepting;
  if (block->bind_failed) {
    report("unavailable port number", "Run", kTimeoutCode);
    return Start::BindFailed;
  }
  if (block->start_failed) return Start::ListenFailed;

  block->startup.reset();
  return start_thread(helper_thread, [block] { block->startup.set(); }, *block, kHelper);
}

ConnectionServer::Impl::Start ConnectionServer::Impl::start_thread(
    Thread& thread, std::function<void()> body, RunBlock& block, const ThreadStart& texts) {
  if (!thread.start(std::move(body), kServiceStack)) {
    report(texts.no_thread, "Run", thread.error());
    return texts.no_thread_step;
  }
  if (!block.startup.wait(kStartupTimeoutMs)) {
    report(texts.silent, "Run", kTimeoutCode);
    return texts.silent_step;
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
  if (!usable) error = net::system_code(net::IoFault::AddressUnusable);
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
  if (!valid) error = net::system_code(net::IoFault::AddressUnusable);
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

void ConnectionServer::TellPortUnavailable(int port) {
  char text[256];
  std::snprintf(text, sizeof text, kBindFailure, port);
  message_box("Tavella", text, MessageIcon::Error);
}

}  // namespace tvl
