// The socket layer of the chat server: listens on one TCP port (of the
// address set_listen_address names, or of every local address), accepts connections on an accept thread, runs one client
// thread per connection that gathers request bytes until IsRequestComplete
// accepts them, hands the request to HandleRequest and writes the answer
// back in chunks of at most 200000 bytes. Each connection is a Connection
// (server/connection.h) on a thread of its own. A thread whose connection
// ended waits on the listening sockets for the next one and serves it
// itself, so a newcomer costs neither a thread start nor a hand-over; the
// accept thread accepts (and starts threads from a small thread cache) only
// while no such thread waits. It knows nothing of HTTP.
//
// Bounds (server/connection_limits.h): a request must be complete within
// request_ms of its first byte, a connection waiting for a request is closed
// after idle_ms without a byte, an answer that makes no progress for
// send_stall_ms ends the connection, a request may hold request_bytes, and
// all unfinished requests together pending_bytes (past it the connection
// whose request grows is closed). Each is a close without an answer. The
// deadlines become the time-out of the wait a client thread makes anyway,
// so they cost no call per request beyond reading the clock.
//
// Bounds per address (the peer's; exempt_addresses are not bounded): at
// most connections_per_address connections (a further one is closed at
// once) and pending_bytes_per_address of the unfinished-request memory.
// Once the connections reach max_connections (never more than what the
// descriptor limit, raised to its hard limit at Run, leaves), or accepting
// fails for want of descriptors, or no thread can be started for a
// newcomer, the connection waiting longest for its client of the network
// holding the most is closed (ConnectionRegistry), so a newcomer is served
// while any connection waits for its client; short of threads, the
// newcomer is served by the thread of the one closed.
//
// Lifetime: Run/Shutdown may alternate any number of times. The stop event
// and the client registry of one run live in a block shared by the run's
// threads, so a client thread that is still busy after Shutdown never touches
// freed memory. The destructor waits for the remaining client threads.
// Thread safety: Run, Shutdown and the destructor are called from one
// controlling thread; the hooks are called on client threads, concurrently.
#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <string_view>

#include "server/answer.h"
#include "server/connection_limits.h"

namespace tvl {

class TlsContext;

class ConnectionServer {
 public:
  static constexpr std::size_t kReceiveBuffer = kReceiveBytes;
  static constexpr std::size_t kSendChunk = kSendChunkBytes;
  // A connection that gathers more than this without completing a request
  // is closed without an answer (the default of ConnectionLimits).
  static constexpr std::size_t kMaxRequest = kMaxRequestBytes;

  ConnectionServer();
  virtual ~ConnectionServer();
  ConnectionServer(const ConnectionServer&) = delete;
  ConnectionServer& operator=(const ConnectionServer&) = delete;

  // The bounds the next Run takes (defaults: connection_limits.h). Only
  // while stopped; a running server keeps the bounds it started with.
  void set_limits(const ConnectionLimits& limits);
  const ConnectionLimits& limits() const;
  // The local IPv4 address the next Run listens on; empty (the default):
  // all of them. Only while stopped.
  void set_listen_address(const std::string& address);

  // HTTPS for the next Run: the server also listens on tls_port (same
  // address, bounds and hooks) and runs each connection there through TLS
  // with `context` (loaded). Port 0 or no context: none. Only while
  // stopped. The handshake runs on the connection's thread within the
  // request bound (request_ms); a peer that fails it is closed quietly.
  void set_tls(int tls_port, std::shared_ptr<const TlsContext> context);
  // True while running and listening on the TLS port too. A TLS port that
  // cannot be bound is reported and leaves the plain port serving.
  bool tls_listening() const;

  // Whether port 0 of the next Run asks the system for a free port, which
  // port() then tells, instead of failing like a port that cannot be bound.
  // For tests, which must not probe for a port that another process may
  // take before they bind it. Off by default: an operator's port 0 (or a
  // port setting that does not read as a number) would serve where nobody
  // can find it. Only while stopped.
  void set_any_port(bool allowed);
  bool any_port() const;
  // The port the plain listener holds while running (the one the system
  // chose for port 0); 0 when stopped.
  int port() const;

  // 1 when the server listens and its threads run, 0 otherwise (already
  // running, port taken, threads not started). A taken port shows the
  // bind-failure message through message_box and returns at once; so does
  // a port whose low 16 bits are 0 (unless set_any_port). Any other start failure also returns 0
  // at once.
  int Run(int port, unsigned idle_timeout_ms);

  // 1 when the accept and helper threads ended within one second, 0 when
  // they had to be abandoned or the server was not running.
  int Shutdown();

  // Called by the accept thread for each accepted connection (port: the
  // peer port as it stands in the address structure, network byte order);
  // starts the connection's client thread. Always 1; a thread that cannot
  // be started is reported and the socket closed.
  int AddClient(int socket, const std::string& ip, int port);

  // Shutdown (when running), then waits until every client thread of every
  // run has ended. A derived class calls it first thing in its destructor:
  // client threads call its hooks, which must not outlive it.
  void StopAndWaitClients();

  // Waits up to timeout_ms (negative: without limit) until every client
  // thread of every run has ended; false when some are still running (a
  // page handler that has not returned). After Shutdown each client thread
  // ends as soon as its current hook returns.
  bool wait_clients(int timeout_ms) const;

  bool running() const;
  // Connections being served (all runs); a thread waiting for its next
  // connection serves none.
  int live_clients() const;
  // Bytes held by unfinished requests of all connections right now (the
  // figure pending_bytes bounds).
  std::size_t pending_request_bytes() const;
  // Bytes connections hold for their answers right now, over all
  // connections: answer texts and the pieces of streamed bodies in hand
  // (shared bodies of the file cache are not counted; they are held once).
  std::size_t answer_bytes() const;
  // Connections of the current run (0 when stopped), and those of one peer
  // address.
  std::size_t connections() const;
  int connections_of(const std::string& ip) const;

  // Where the error reports of the socket layer go: the failing call and
  // the operation ("WSARecv(...) failure", "ClientThread") with the system's
  // error code. Called on the failing thread, which it must not hold up.
  // None by default: the reports are dropped. Only while stopped.
  using ReportSink = std::function<void(const char* message, const char* operation, int code)>;
  void set_report_sink(ReportSink sink) { report_sink_ = std::move(sink); }

 protected:
  // Tells the user (message box) that the server cannot listen on `port`.
  static void TellPortUnavailable(int port);

  virtual int OnConnect(const std::string& ip, int port) = 0;
  virtual int OnSent(std::size_t count) = 0;
  virtual int IsRequestComplete(const std::string& request) = 0;
  // Length of the complete request at the start of the gathered bytes; 0
  // while incomplete. The bytes after it are kept for the next request of
  // the connection (pipelining). By default the whole text once
  // IsRequestComplete accepts it.
  virtual std::size_t RequestLength(const std::string& request) {
    return IsRequestComplete(request) ? request.size() : 0;
  }
  // The answer to one complete request from `ip`, which came to the TLS
  // port when `secure` (Answer::none() closes without an answer). The
  // request's bytes live until the hook returns.
  virtual Answer HandleRequest(const std::string& ip, std::string_view request, bool secure) = 0;

  // One error report of the socket layer to the report sink.
  void ReportError(const char* message, const char* operation, int code) const;

 private:
  struct Impl;
  friend struct Impl;
  std::unique_ptr<Impl> impl_;
  ReportSink report_sink_;
};

}  // namespace tvl
