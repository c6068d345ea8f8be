// The byte stream of an HTTPS connection: TLS over a plain TCP socket, with
// the socket's non-blocking results (see transport.h). The handshake is a
// step of its own, run on the connection's thread before any request.
// Thread safety: as Transport; abort() alone from another thread.
#pragma once
#include <string>

#include "platform/tls.h"
#include "server/transport.h"

namespace tvl {

class TlsTransport final : public Transport {
 public:
  TlsTransport(int socket, const TlsContext& context) : socket_(socket), context_(context) {}
  ~TlsTransport() override { close(); }
  TlsTransport(const TlsTransport&) = delete;
  TlsTransport& operator=(const TlsTransport&) = delete;

  // The server's handshake within deadline_ms. False when the peer is no
  // TLS 1.2+ client, is too slow, or stop_fd is set or abort() was called
  // meanwhile (nobody is told why: the peer is closed without a word).
  [[nodiscard]] bool handshake(int stop_fd, int deadline_ms);

  long receive(char* buffer, std::size_t size, net::IoError& error) override;
  long send(const net::SendPart* parts, int count, net::IoError& error) override;
  net::WaitResult wait(bool want_read, bool want_write, int stop_fd, int timeout_ms) override;
  void abort() override;
  void close() override;

 private:
  int socket_;
  const TlsContext& context_;
  TlsConnection tls_;
  // Which way the last receive or send could not go on.
  TlsConnection::Want receive_want_ = TlsConnection::Want::Nothing;
  TlsConnection::Want send_want_ = TlsConnection::Want::Nothing;
};

}  // namespace tvl
