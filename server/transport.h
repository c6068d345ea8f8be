// The byte stream of one connection. A connection reads, writes and waits
// only through this seam, so a stream with its own framing (an encrypted
// one) can take the place of the plain socket without the connection's
// steps changing.
//
// Results follow the socket calls: receive gives >0 bytes, 0 when the peer
// closed, -1 with `error` set (WouldBlock: nothing there yet); send gives
// the bytes taken or -1 (WouldBlock: the peer's window is full). A stream that needs
// to read before it can write (or the other way round) says so through
// wait(), which then watches whatever it needs.
// Thread safety: one client thread uses a transport; abort() alone may be
// called from another thread, until close().
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/net.h"

namespace tvl {

class Transport {
 public:
  virtual ~Transport() = default;
  virtual long receive(char* buffer, std::size_t size, net::IoError& error) = 0;
  // One gathering send of up to net::kMaxSendParts pieces, in order.
  virtual long send(const net::SendPart* parts, int count, net::IoError& error) = 0;
  // Whether send_file works here: a plain socket can send a file's bytes
  // from the file; a stream that must see every byte (encryption) cannot.
  virtual bool sends_files() const { return false; }
  // Whether send may be called from another thread while the client thread
  // waits elsewhere (its locks keeping the two apart): a plain socket, yes;
  // an encrypted stream keeps state of its own between its steps.
  virtual bool sends_from_any_thread() const { return false; }
  // One step of `head` followed by `size` bytes of the open file `file`
  // from `offset`: the bytes taken of the two together, as send counts
  // them; 0 when the file ends early.
  virtual long send_file(const char* head, std::size_t head_size, int file, std::uint64_t offset,
                         std::size_t size, net::IoError& error) {
    (void)head, (void)head_size, (void)file, (void)offset, (void)size;
    error = {net::IoFault::Unsupported, 0};
    return -1;
  }
  // Waits for the stream (and for stop_fd) as net::wait_socket does.
  virtual net::WaitResult wait(bool want_read, bool want_write, int stop_fd, int timeout_ms) = 0;
  // Makes the owning thread's next wait return and its receive report a
  // close, without releasing anything.
  virtual void abort() = 0;
  // Releases the stream; nothing may be called after it.
  virtual void close() = 0;
};

// A plain TCP socket (non-blocking), owned from construction to close().
class SocketTransport final : public Transport {
 public:
  explicit SocketTransport(int socket) : socket_(socket) {}
  ~SocketTransport() override { close(); }
  SocketTransport(const SocketTransport&) = delete;
  SocketTransport& operator=(const SocketTransport&) = delete;

  long receive(char* buffer, std::size_t size, net::IoError& error) override {
    return net::receive(socket_, buffer, size, error);
  }
  long send(const net::SendPart* parts, int count, net::IoError& error) override {
    if (count == 1) return net::send_some(socket_, parts[0].data, parts[0].size, error);
    return net::send_parts(socket_, parts, count, error);
  }
  bool sends_files() const override { return true; }
  bool sends_from_any_thread() const override { return true; }
  long send_file(const char* head, std::size_t head_size, int file, std::uint64_t offset,
                 std::size_t size, net::IoError& error) override {
    // The head waits for the file's first bytes to share their packet.
    if (head_size > 0) return net::send_some(socket_, head, head_size, error, size > 0);
    return net::send_file(socket_, file, offset, size, error);
  }
  net::WaitResult wait(bool want_read, bool want_write, int stop_fd, int timeout_ms) override {
    return net::wait_socket(socket_, want_read, want_write, stop_fd, timeout_ms);
  }
  void abort() override { net::shutdown_socket(socket_); }
  void close() override {
    if (socket_ >= 0) net::close_socket(socket_);
    socket_ = -1;
  }

 private:
  int socket_;
};

}  // namespace tvl
