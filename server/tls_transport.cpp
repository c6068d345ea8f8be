#include "server/tls_transport.h"

#include <chrono>
#include <cstring>

namespace tvl {

namespace {

using Want = TlsConnection::Want;

// Up to this much of a gathered answer is copied into one TLS record, so a
// head and a small body cost one record rather than two.
constexpr std::size_t kJoinBytes = 16384;

}  // namespace

bool TlsTransport::handshake(int stop_fd, int deadline_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  Reason why;  // for nobody: the connection just ends
  if (!tls_.start_server(socket_, context_, why)) return false;
  for (;;) {
    Want want = Want::Nothing;
    const TlsConnection::Handshake step = tls_.handshake_step(want, why);
    if (step == TlsConnection::Handshake::Done) return true;
    if (step == TlsConnection::Handshake::Failed) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      tls_.close();
      return false;
    }
    net::WaitResult w = net::wait_socket(socket_, want == Want::Read, want == Want::Write,
                                         stop_fd, static_cast<int>(left));
    if (w.stop || w.status < 0) {
      tls_.close();
      return false;
    }
    // A time-out is found by the deadline check; readiness, a hang-up or an
    // abort by the next step.
  }
}

long TlsTransport::receive(char* buffer, std::size_t size, net::IoError& error) {
  const long n = tls_.read_some(buffer, size, receive_want_);
  if (n >= 0) return n;
  error = {receive_want_ == Want::Nothing ? net::IoFault::Reset : net::IoFault::WouldBlock, 0};
  return -1;
}

long TlsTransport::send(const net::SendPart* parts, int count, net::IoError& error) {
  std::size_t total = 0;
  for (int i = 0; i < count; ++i) total += parts[i].size;
  char joined[kJoinBytes];
  net::SendPart one{nullptr, 0};
  if (count > 1 && total <= sizeof joined) {
    for (int i = 0; i < count; ++i) {
      if (parts[i].size) std::memcpy(joined + one.size, parts[i].data, parts[i].size);
      one.size += parts[i].size;
    }
    one.data = joined;
    parts = &one;
    count = 1;
  }
  long done = 0;
  for (int i = 0; i < count; ++i) {
    if (parts[i].size == 0) continue;
    const long n = tls_.write_some(parts[i].data, parts[i].size, send_want_);
    if (n < 0) {
      if (done > 0) return done;
      error = {send_want_ == Want::Nothing ? net::IoFault::PeerClosed : net::IoFault::WouldBlock, 0};
      return -1;
    }
    done += n;
    if (static_cast<std::size_t>(n) < parts[i].size) break;
  }
  send_want_ = Want::Nothing;
  return done;
}

net::WaitResult TlsTransport::wait(bool want_read, bool want_write, int stop_fd, int timeout_ms) {
  if (want_read && tls_.has_buffered()) {
    net::WaitResult ready;
    ready.status = 1;
    ready.readable = true;
    return ready;
  }
  // TLS may need the other direction than the caller's: a read can wait
  // for the socket to take bytes, a write for bytes to come.
  bool read = false, write = false;
  if (want_read) (receive_want_ == Want::Write ? write : read) = true;
  if (want_write) (send_want_ == Want::Read ? read : write) = true;
  net::WaitResult w = net::wait_socket(socket_, read, write, stop_fd, timeout_ms);
  // Reported as the caller asked, so its next receive or send retries.
  if (w.readable || w.writable) {
    const bool any = w.readable || w.writable;
    w.readable = want_read && any;
    w.writable = want_write && any;
  }
  return w;
}

void TlsTransport::abort() { net::shutdown_socket(socket_); }

void TlsTransport::close() {
  if (socket_ < 0) return;
  tls_.close();
  net::close_socket(socket_);
  socket_ = -1;
}

}  // namespace tvl
