// TLS over a connected TCP socket, through OpenSSL: TLS 1.2 and newer only,
// a server certificate file in PEM that may carry its chain after it (leaf
// first, as a web server's full chain), and a PEM private key. Every wait
// (handshake, read, write) is a poll() on the socket with a limit, so a
// peer that stalls costs at most that time; the socket is switched to
// non-blocking mode for that. The process must ignore SIGPIPE (tvlService
// does), since OpenSSL writes to the socket itself. The socket stays owned by the caller: close() ends the TLS
// session (a close_notify when possible) but does not close the descriptor.
// Thread safety: a TlsContext is read-only after loading and may be shared
// by any number of connections on any threads; a TlsConnection is used by
// one thread at a time.
#pragma once
#include <cstddef>
#include <memory>
#include <string>

#include "platform/reason.h"

namespace tvl {

class TlsContext {
 public:
  TlsContext();
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // A server's context: the certificate chain and the key, which must
  // belong together. False with a reason for a person (the file and what is
  // wrong); the context is then unusable.
  [[nodiscard]] bool load_server(const std::string& certificate_file, const std::string& key_file,
                                 Reason& why);
  // A client's context (TLS 1.2 and newer) that trusts the certificates of
  // ca_file (PEM) and checks the server's name.
  [[nodiscard]] bool load_client(const std::string& ca_file, Reason& why);
  // For tests: a client that offers at most TLS 1.1, which a server here
  // must refuse. False when this OpenSSL cannot even build one.
  [[nodiscard]] bool load_legacy_client(Reason& why);

  bool loaded() const;

 private:
  friend class TlsConnection;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class TlsConnection {
 public:
  TlsConnection();
  ~TlsConnection();  // close()
  TlsConnection(const TlsConnection&) = delete;
  TlsConnection& operator=(const TlsConnection&) = delete;

  // The server's handshake on `socket` within deadline_ms. False when the
  // peer is no TLS client (a plain HTTP request, for example), offers only
  // older versions, fails the handshake or does not finish in time; the
  // reason is for a log. The connection is then closed (the socket not).
  [[nodiscard]] bool accept(int socket, const TlsContext& context, int deadline_ms,
                            Reason& why);
  // The client's handshake, checking the certificate against host_name.
  [[nodiscard]] bool connect(int socket, const TlsContext& context, const std::string& host_name,
                             int deadline_ms, Reason& why);

  // Reads what is there, waiting up to timeout_ms for something: > 0 bytes
  // read, 0 when the peer closed the session, -1 on a failure or time-out.
  long read(char* buffer, std::size_t size, int timeout_ms);
  // Writes all of data, each wait up to timeout_ms. False on a failure or
  // time-out.
  [[nodiscard]] bool write(const char* data, std::size_t size, int timeout_ms);
  // Sends close_notify (without waiting for the peer's) and frees the
  // session. Nothing when not open.
  void close();
  bool open() const;
  // Steps for a caller that does its own waiting (all at once, never a
  // wait): after start_server, handshake_step until it gives 1; read_some
  // and write_some then work as a socket's calls. Where one cannot go on
  // yet, `want` says which way the socket must become ready first.
  enum class Want { Nothing, Read, Write };
  // Attaches a server session to `socket` (made non-blocking).
  [[nodiscard]] bool start_server(int socket, const TlsContext& context, Reason& why);
  // Done; Again once the socket is ready as `want` says; Failed (the
  // session is freed).
  enum class Handshake { Done, Again, Failed };
  Handshake handshake_step(Want& want, Reason& why);
  // > 0 bytes, 0 when the peer closed the session, -1 with want set (again
  // later) or Nothing (failed).
  long read_some(char* buffer, std::size_t size, Want& want);
  // Bytes taken (> 0), or -1 with want set (again later, with the same
  // bytes at least) or Nothing (failed).
  long write_some(const char* data, std::size_t size, Want& want);
  // Bytes already held (decrypted, or records read ahead), which no poll of
  // the socket would show.
  bool has_buffered() const;

  // "TLSv1.3" and the like, while open.
  std::string protocol() const;

 private:
  // The handshake of an attached session, waiting within deadline_ms; on
  // a failure the session is freed.
  bool handshake(int deadline_ms, Reason& why);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tvl
