#include "server/connection_server.h"

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <set>

#include "platform/event.h"
#include "platform/message_box.h"
#include "platform/net.h"
#include "platform/thread.h"

namespace tvl {

namespace {

// Service threads (accept, helper) do little; client threads take the stack
// size of connection_limits.h.
constexpr std::size_t kServiceStack = 256 * 1024;
// Finished client threads wait this long for the next connection.
constexpr std::size_t kMaxIdleThreads = 64;
constexpr int kIdleThreadMs = 30000;

constexpr int kStartupTimeoutMs = 30000;
constexpr int kShutdownWaitMs = 1000;
constexpr int kTimeoutCode = 30000;

// Milliseconds of the monotonic clock (read without a system call).
std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The body attachment of the answer being made on this thread. Enabled only
// while a client thread of the connection server runs its connection (the
// thread cache may run the thread again later; the scope clears it).
struct AttachmentSlot {
  bool enabled = false;
  std::shared_ptr<const std::string> body;
};
thread_local AttachmentSlot t_attachment;

struct AttachmentScope {
  AttachmentScope() { t_attachment.enabled = true; }
  ~AttachmentScope() {
    t_attachment.enabled = false;
    t_attachment.body.reset();
  }
  AttachmentScope(const AttachmentScope&) = delete;
  AttachmentScope& operator=(const AttachmentScope&) = delete;
};

const char kBindFailure[] =
    "Error starting the Web Server.This may be due to another service running on the port "
    "%d,Try changing the port number and then starting the server again.";

}  // namespace

// Everything one run shares with its threads. Every thread of the run holds a
// reference, so the stop event and the registry stay valid until the last of
// them has ended, however long a page handler takes after Shutdown.
struct RunBlock {
  int port = 0;
  std::string address;  // empty: all local addresses
  unsigned idle_timeout_ms = 0;
  ConnectionLimits limits;
  PollableEvent stop;                 // manual reset; set by Shutdown
  Event startup{false, false};        // auto reset; used only during Run
  std::atomic<bool> bind_failed{false};
  std::atomic<bool> start_failed{false};  // any other failure before listening
  std::mutex registry_lock;           // guards registry
  std::set<std::uint64_t> registry;   // live client connections, in order of acceptance
};

struct ConnectionServer::Impl {
  explicit Impl(ConnectionServer& s) : self(s) {}

  ConnectionServer& self;
  ThreadCache clients{kClientStackBytes, kMaxIdleThreads, kIdleThreadMs};
  ConnectionLimits limits;  // taken by the next Run; written only while stopped
  std::string listen_address;  // likewise
  // Bytes counted for unfinished requests of all connections of all runs.
  std::atomic<std::size_t> pending{0};
  Thread accept_thread;
  Thread helper_thread;
  std::atomic<bool> running{false};
  std::atomic<std::uint64_t> next_id{1};
  mutable std::mutex run_lock;  // guards run
  std::shared_ptr<RunBlock> run;

  int report(const char* message, const char* operation, int code) const {
    return self.ReportError(self.report_name_, message, operation, code);
  }

  void accept_loop(const std::shared_ptr<RunBlock>& block);
  int add_client(const std::shared_ptr<RunBlock>& block, int socket, const std::string& ip,
                 int port);
  void client_thread(const std::shared_ptr<RunBlock>& block, int socket, const std::string& ip,
                     std::uint64_t id);
  void remove_client(RunBlock& block, int socket, std::uint64_t id, bool quiet);
};

ConnectionServer::ConnectionServer() : impl_(std::make_unique<Impl>(*this)) {}

ConnectionServer::~ConnectionServer() {
  StopAndWaitClients();
  impl_.reset();  // the thread cache lets its idle threads go and waits for them
}

bool ConnectionServer::CanAttachBody() { return t_attachment.enabled; }

bool ConnectionServer::AttachBody(std::shared_ptr<const std::string> body) {
  if (!t_attachment.enabled) return false;
  t_attachment.body = std::move(body);
  return true;
}

bool ConnectionServer::running() const { return impl_->running.load(); }

int ConnectionServer::live_clients() const { return impl_->clients.busy(); }

bool ConnectionServer::wait_clients(int timeout_ms) const {
  return impl_->clients.wait_idle(timeout_ms);
}

std::size_t ConnectionServer::pending_request_bytes() const { return impl_->pending.load(); }

void ConnectionServer::set_limits(const ConnectionLimits& limits) { impl_->limits = limits; }

void ConnectionServer::set_listen_address(const std::string& address) {
  impl_->listen_address = address;
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
  block->idle_timeout_ms = idle_timeout_ms;
  block->limits = m.limits;
  block->address = m.listen_address;
  if (!block->stop.valid()) {
    m.report("WSACreateEvent(...) failure for ShutdownEvent", "AcceptThread", block->stop.error());
    return 0;
  }
  {
    std::lock_guard<std::mutex> hold(m.run_lock);
    m.run = block;
  }
  auto forget_run = [&m] {
    std::lock_guard<std::mutex> hold(m.run_lock);
    m.run.reset();
  };

  Impl* impl = &m;
  if (!m.accept_thread.start([impl, block] { impl->accept_loop(block); }, kServiceStack)) {
    m.report("_beginthreadex(...) failure, for Launch Thread", "Run", m.accept_thread.error());
    forget_run();
    return 0;
  }
  if (!block->startup.wait(kStartupTimeoutMs)) {
    m.report("Unable to get response from Accept Thread withing specified Timeout ->", "Run",
             kTimeoutCode);
    block->stop.set();
    if (!m.accept_thread.join_for(kShutdownWaitMs)) m.accept_thread.detach();
    forget_run();
    return 0;
  }
  if (block->bind_failed) {
    m.report("unavailable port number", "Run", kTimeoutCode);
    // The accept thread ends by itself once the message has been shown; it
    // touches nothing of the server any more.
    m.accept_thread.detach();
    forget_run();
    return 0;
  }
  if (block->start_failed) {
    m.accept_thread.join_for(-1);  // it has reported and is ending
    forget_run();
    return 0;
  }

  block->startup.reset();
  if (!m.helper_thread.start([block] { block->startup.set(); }, kServiceStack)) {
    m.report("_beginthreadex(...) failure, for Helper Thread", "Run", m.helper_thread.error());
    block->stop.set();
    if (!m.accept_thread.join_for(kShutdownWaitMs)) m.accept_thread.detach();
    forget_run();
    return 0;
  }
  if (!block->startup.wait(kStartupTimeoutMs)) {
    m.report("Unable to get response from Helper Thread within specified Timeout ->", "Run",
             kTimeoutCode);
    block->stop.set();
    if (!m.accept_thread.join_for(kShutdownWaitMs)) m.accept_thread.detach();
    m.helper_thread.detach();
    forget_run();
    return 0;
  }
  m.running = true;
  return 1;
}

int ConnectionServer::Shutdown() {
  Impl& m = *impl_;
  if (!m.running) return 0;
  std::shared_ptr<RunBlock> block;
  {
    std::lock_guard<std::mutex> hold(m.run_lock);
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
    std::lock_guard<std::mutex> hold(m.run_lock);
    m.run.reset();
  }
  m.running = false;
  return result;
}

int ConnectionServer::AddClient(int socket, const std::string& ip, int port) {
  std::shared_ptr<RunBlock> block;
  {
    std::lock_guard<std::mutex> hold(impl_->run_lock);
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

void ConnectionServer::Impl::accept_loop(const std::shared_ptr<RunBlock>& block) {
  int error = 0;
  int listener = net::create_listen_socket(error);
  if (listener < 0) {
    report("WSASocket(...) failure", "AcceptThread", error);
    block->start_failed = true;
    block->startup.set();
    return;
  }
  // Port 0 would bind a random port nobody can find: it counts as a port
  // that cannot be bound.
  bool bound = (block->port & 0xffff) != 0 && net::bind_address(listener, block->address, block->port, error);
  if ((block->port & 0xffff) == 0) error = EADDRNOTAVAIL;
  if (!bound) {
    net::close_socket(listener);
    block->bind_failed = true;
    report("bind(...) failure", "AcceptThread", error);
    int port = block->port;
    block->startup.set();
    // Run returns at once; the message may stay on screen as long as the
    // user likes, so nothing of the server is touched after this point.
    TellPortUnavailable(port);
    return;
  }
  if (!net::start_listening(listener, net::kMaxBacklog, error)) {
    report("listen(...) failure", "AcceptThread", error);
    net::close_socket(listener);
    block->start_failed = true;
    block->startup.set();
    return;
  }
  block->startup.set();

  for (;;) {
    net::WaitResult w = net::wait_socket(listener, true, false, block->stop.fd(), -1);
    if (w.status < 0) {
      report("WaitForMultipleObjects(...) failure", "AcceptThread", w.error);
      break;
    }
    if (w.stop) break;
    if (!w.readable) continue;
    // Take every connection that is waiting before sleeping again.
    for (;;) {
      int socket = -1, raw_port = 0;
      std::string ip;
      net::AcceptResult r = net::accept_connection(listener, socket, ip, raw_port, error);
      if (r == net::AcceptResult::WouldBlock) break;
      if (r == net::AcceptResult::Failed) {
        report("WSAAccept(...) failure", "AcceptThread", error);
        // Out of descriptors and the like: the connection stays queued, so
        // pause instead of spinning on it.
        block->stop.wait(10);
        break;
      }
      if (!add_client(block, socket, ip, raw_port))
        report("AddClient(...) failure", "AcceptThread", 0);
    }
  }
  net::close_socket(listener);
}

int ConnectionServer::Impl::add_client(const std::shared_ptr<RunBlock>& block, int socket,
                                       const std::string& ip, int port) {
  self.OnConnect(ip, port);
  // The entry is in the registry before the client thread exists, so the
  // thread always finds it. The lock is not held across the hand-over:
  // finishing client threads take it to remove their entries, and making
  // them wait for a thread wake-up here showed up as lock contention on
  // every connection.
  std::uint64_t id = next_id++;
  {
    std::lock_guard<std::mutex> hold(block->registry_lock);
    block->registry.insert(id);
  }
  int error = 0;
  bool started = clients.run(
      [this, block, socket, ip, id] { client_thread(block, socket, ip, id); }, &error);
  if (!started) {
    {
      std::lock_guard<std::mutex> hold(block->registry_lock);
      block->registry.erase(id);
    }
    report("_beginthreadex(...) failure", "AddClient", error);
    net::close_socket(socket);
  }
  return 1;
}

void ConnectionServer::Impl::remove_client(RunBlock& block, int socket, std::uint64_t id,
                                           bool quiet) {
  net::close_socket(socket);
  std::lock_guard<std::mutex> hold(block.registry_lock);
  if (block.registry.erase(id) == 0 && !quiet)
    report("Thread not found in the list", "ClientThread", 0);
}

void ConnectionServer::Impl::client_thread(const std::shared_ptr<RunBlock>& block, int socket,
                                           const std::string& ip, std::uint64_t id) {
  char buffer[kReceiveBytes];
  AttachmentScope attachments;
  const ConnectionLimits& limits = block->limits;
  std::string request;
  std::string response;
  // A shared body sent after `response` (see AttachBody); empty when the
  // response string holds the whole answer.
  std::shared_ptr<const std::string> body;
  int keep_alive = 0;
  bool send_pending = false;
  bool peer_closed = false;  // the peer finished sending while an answer was pending
  // A client usually sends its request right after connecting, so it is
  // often there by the time this thread runs: the first receive is tried
  // before any wait, which saves a poll per connection (nothing there yet
  // is a plain EAGAIN below).
  bool read_first = true;
  std::size_t sent = 0;
  // Bytes of `request` counted in the shared figure of unfinished requests.
  std::size_t charged = 0;
  // The one deadline of the connection's current step: the first byte of a
  // request (idle_ms), the rest of a request (request_ms after its first
  // byte), or progress of a pending answer (send_stall_ms after the last).
  // It becomes the time-out of the wait, so no timer exists per request.
  std::int64_t deadline = now_ms() + limits.idle_ms;
  // The time-out of Run: a wait this long without any network activity ends
  // the connection too (none when 0).
  const int activity_ms =
      block->idle_timeout_ms == 0
          ? -1
          : static_cast<int>(std::min<unsigned>(block->idle_timeout_ms, INT_MAX));

  auto release = [&] {
    if (charged) {
      pending.fetch_sub(charged);
      charged = 0;
    }
  };
  // Counts the request text (the memory it holds) toward the bound of all
  // unfinished requests; false when it is larger than one request may be or
  // would take the total past the bound.
  auto charge = [&]() -> bool {
    if (request.size() > limits.request_bytes) return false;
    const std::size_t held = request.capacity();
    if (held > charged) {
      const std::size_t more = held - charged;
      // Added only when it fits, so the shared figure never passes the bound,
      // not even for a moment.
      std::size_t total = pending.load();
      do {
        if (total + more > limits.pending_bytes) return false;
      } while (!pending.compare_exchange_weak(total, total + more));
      charged = held;
    }
    return true;
  };
  auto end = [&](bool quiet) {
    release();
    remove_client(*block, socket, id, quiet);
  };

  enum class Step { Wait, Close };

  // Sends from `sent` on (counted over response and body together) in chunks
  // of at most kSendChunk bytes; Wait to go on (pending or kept alive), Close
  // to end the connection.
  auto send_rest = [&]() -> Step {
    const std::size_t head = response.size();
    const std::size_t total = head + (body ? body->size() : 0);
    const std::size_t before = sent;
    while (sent < total) {
      int error = 0;
      long n;
      if (!body) {
        std::size_t chunk = std::min(head - sent, kSendChunk);
        n = net::send_some(socket, response.data() + sent, chunk, error);
      } else {
        net::SendPart parts[2];
        int count = 0;
        std::size_t room = kSendChunk;
        if (sent < head) {
          std::size_t part = std::min(head - sent, room);
          parts[count++] = {response.data() + sent, part};
          room -= part;
        }
        const std::size_t from = sent > head ? sent - head : 0;
        const std::size_t part = std::min(body->size() - from, room);
        if (part > 0) parts[count++] = {body->data() + from, part};
        n = net::send_parts(socket, parts, count, error);
      }
      if (n < 0) {
        if (error == EAGAIN || error == EWOULDBLOCK) {
          // The stall clock starts with the wait and restarts with each
          // progress; a wake-up that moved nothing leaves it running.
          if (!send_pending || sent != before) deadline = now_ms() + limits.send_stall_ms;
          send_pending = true;
          return Step::Wait;
        }
        report("WSASend(...) failure", "ClientThread, Primary Send", error);
        keep_alive = 0;
        return Step::Close;
      }
      sent += static_cast<std::size_t>(n);
    }
    send_pending = false;
    body.reset();  // the cache may let it go; an idle connection holds none
    self.OnSent(sent);
    if (!keep_alive || peer_closed) return Step::Close;
    // The next request starts empty, even if bytes of it came meanwhile.
    request.clear();
    release();
    if (request.capacity() > kKeepRequestBytes) std::string().swap(request);
    if (response.capacity() > kKeepResponseBytes) std::string().swap(response);
    deadline = now_ms() + limits.idle_ms;
    return Step::Wait;
  };

  for (;;) {
    net::WaitResult w;
    if (read_first) {
      read_first = false;
      w.status = 1;
      w.readable = true;
    } else {
      const std::int64_t left = deadline - now_ms();
      if (left <= 0) {
        // Too slow a request, too long a silence or a stalled answer.
        end(true);
        return;
      }
      int timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
      bool activity_cut = false;
      if (activity_ms >= 0 && activity_ms <= timeout) {
        timeout = activity_ms;
        activity_cut = true;
      }
      w = net::wait_socket(socket, !peer_closed, send_pending, block->stop.fd(), timeout);
      // A time-out before the deadline is the time-out of Run; otherwise the
      // deadline is checked again above (the clock may have lagged the wait).
      if (w.status == 0 && !activity_cut) continue;
    }
    if (w.status < 0) {
      report("WSAWaitForMultipleEvents(...) failure", "ClientThread", w.error);
      end(false);
      return;
    }
    if (w.status == 0 || w.stop) {
      // Stop event or idle time-out: end at once, without an answer. The
      // socket and the registry entry are released here; the run block is
      // still alive because this thread holds it.
      end(true);
      return;
    }

    if (w.readable && !peer_closed) {
      int error = 0;
      const bool first_bytes = request.empty();
      long n;
      if (first_bytes || send_pending) {
        n = net::receive(socket, buffer, sizeof buffer, error);
        if (n > 0) request.append(buffer, static_cast<std::size_t>(n));
      } else {
        // The rest of an unfinished request goes straight into its text, so
        // it is held once, where it is counted, and not also in touched
        // pages of this thread's stack.
        const std::size_t had = request.size();
        request.resize(had + kGrowBytes);
        n = net::receive(socket, request.data() + had, kGrowBytes, error);
        request.resize(had + static_cast<std::size_t>(std::max(n, 0L)));
      }
      if (n == 0) {
        // The peer closed. An answer already under way is finished first.
        if (!send_pending) {
          end(false);
          return;
        }
        peer_closed = true;
      } else if (n < 0) {
        if (error != EAGAIN && error != EWOULDBLOCK) {
          // A failed receive on a stream socket means the connection is
          // broken (reset); waiting on it again would spin.
          report("WSARecv(...) failure", "ClientThread", error);
          end(false);
          return;
        }
      } else {
        if (!send_pending) {
          if (!self.IsRequestComplete(request)) {
            // Gathering without end would exhaust memory: this request, or
            // all unfinished ones together, may hold only so much.
            if (!charge()) {
              end(false);
              return;
            }
            if (first_bytes) deadline = now_ms() + limits.request_ms;
            continue;
          }
          release();
          response.clear();
          t_attachment.body.reset();
          if (!self.HandleRequest(ip, request, response, keep_alive)) {
            t_attachment.body.reset();
            end(false);
            return;
          }
          body = std::move(t_attachment.body);
          sent = 0;
          if (send_rest() == Step::Close) {
            end(false);
            return;
          }
          continue;
        }
        // Bytes that come while an answer is pending wait in the request
        // text and count like any unfinished request.
        if (!charge()) {
          end(false);
          return;
        }
      }
    }

    if ((w.writable || peer_closed) && send_pending) {
      if (send_rest() == Step::Close) {
        end(false);
        return;
      }
    }
  }
}

void ConnectionServer::TellPortUnavailable(int port) {
  char text[256];
  std::snprintf(text, sizeof text, kBindFailure, port);
  message_box("Tavella", text, MessageIcon::Error);
}

}  // namespace tvl
