#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <chrono>

namespace tvl {

namespace {

using Clock = std::chrono::steady_clock;

// The text of the oldest queued OpenSSL error (the queue is emptied).
std::string openssl_error(const char* what) {
  unsigned long code = ERR_get_error();
  std::string text = what;
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += ": ";
    text += buffer;
  }
  ERR_clear_error();
  return text;
}

// Waits for the socket as OpenSSL asked; false on a time-out or failure.
bool wait_for(int socket, int ssl_error, int timeout_ms) {
  pollfd p{socket, static_cast<short>(ssl_error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
  for (;;) {
    int n = ::poll(&p, 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

// Every wait is a poll with a limit, so OpenSSL must never block in a read
// or write of its own.
bool make_non_blocking(int socket) {
  int flags = ::fcntl(socket, F_GETFL, 0);
  return flags >= 0 && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

int left_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

struct TlsContext::Impl {
  SSL_CTX* ctx = nullptr;
  ~Impl() {
    if (ctx) SSL_CTX_free(ctx);
  }
};

TlsContext::TlsContext() : impl_(std::make_unique<Impl>()) {}
TlsContext::~TlsContext() = default;

bool TlsContext::loaded() const { return impl_->ctx != nullptr; }

bool TlsContext::load_server(const std::string& certificate_file, const std::string& key_file,
                             std::string& reason) {
  impl_ = std::make_unique<Impl>();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) {
    reason = openssl_error("no TLS context");
    return false;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // write_some is retried with the rest of an answer, which may sit at
  // another address by then; a part written is reported as written.
  SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE |
                            SSL_MODE_RELEASE_BUFFERS);
  // Sessions are resumed from tickets, which the clients keep. A session
  // cache in the context would be one more lock that the handshake of every
  // client thread takes, and its periodic sweep holds it for all of them.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  if (SSL_CTX_use_certificate_chain_file(ctx, certificate_file.c_str()) != 1) {
    reason = openssl_error(("the certificate " + certificate_file + " cannot be read").c_str());
    SSL_CTX_free(ctx);
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    // A readable key of another certificate is refused here already.
    const bool mismatch = ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
    reason = openssl_error(("the key " + key_file +
                            (mismatch ? " does not belong to the certificate " + certificate_file
                                      : std::string(" cannot be read")))
                               .c_str());
    SSL_CTX_free(ctx);
    return false;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    reason = openssl_error(("the key " + key_file + " does not belong to the certificate " +
                            certificate_file).c_str());
    SSL_CTX_free(ctx);
    return false;
  }
  impl_->ctx = ctx;
  return true;
}

bool TlsContext::load_client(const std::string& ca_file, std::string& reason) {
  impl_ = std::make_unique<Impl>();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) {
    reason = openssl_error("no TLS context");
    return false;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  if (SSL_CTX_load_verify_locations(ctx, ca_file.c_str(), nullptr) != 1) {
    reason = openssl_error(("the certificates " + ca_file + " cannot be read").c_str());
    SSL_CTX_free(ctx);
    return false;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  impl_->ctx = ctx;
  return true;
}

bool TlsContext::load_legacy_client(std::string& reason) {
  impl_ = std::make_unique<Impl>();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) {
    reason = openssl_error("no TLS context");
    return false;
  }
  // Security level 0 lets this OpenSSL offer the old versions at all.
  SSL_CTX_set_security_level(ctx, 0);
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_1_VERSION) != 1) {
    reason = openssl_error("no TLS 1.1 client");
    SSL_CTX_free(ctx);
    return false;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  impl_->ctx = ctx;
  return true;
}

struct TlsConnection::Impl {
  SSL* ssl = nullptr;
  int socket = -1;
  bool peer_closed = false;
};

TlsConnection::TlsConnection() : impl_(std::make_unique<Impl>()) {}
TlsConnection::~TlsConnection() { close(); }

bool TlsConnection::open() const { return impl_->ssl != nullptr; }

std::string TlsConnection::protocol() const {
  return impl_->ssl ? SSL_get_version(impl_->ssl) : "";
}

namespace {

// One handshake step after another until done, failed or out of time.
bool handshake(SSL* ssl, int socket, bool server, int deadline_ms, std::string& reason) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  for (;;) {
    ERR_clear_error();
    int r = server ? SSL_accept(ssl) : SSL_connect(ssl);
    if (r == 1) return true;
    int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      if (!wait_for(socket, e, left_ms(deadline))) {
        reason = "the TLS handshake did not finish in time";
        return false;
      }
      continue;
    }
    if (e == SSL_ERROR_SSL) {
      reason = openssl_error("TLS handshake failed");
      long verify = SSL_get_verify_result(ssl);
      if (!server && verify != X509_V_OK)
        reason += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
    } else {
      reason = "the peer ended the connection during the TLS handshake";
      ERR_clear_error();
    }
    return false;
  }
}

}  // namespace

bool TlsConnection::accept(int socket, const TlsContext& context, int deadline_ms,
                           std::string& reason) {
  close();
  if (!context.loaded()) {
    reason = "no certificate loaded";
    return false;
  }
  SSL* ssl = SSL_new(context.impl_->ctx);
  if (!ssl || !make_non_blocking(socket) || SSL_set_fd(ssl, socket) != 1) {
    reason = openssl_error("no TLS session");
    if (ssl) SSL_free(ssl);
    return false;
  }
  impl_->ssl = ssl;
  impl_->socket = socket;
  impl_->peer_closed = false;
  if (handshake(ssl, socket, true, deadline_ms, reason)) return true;
  SSL_free(ssl);  // no close_notify on a session that never was
  impl_->ssl = nullptr;
  return false;
}

bool TlsConnection::connect(int socket, const TlsContext& context, const std::string& host_name,
                            int deadline_ms, std::string& reason) {
  close();
  if (!context.loaded()) {
    reason = "no TLS context loaded";
    return false;
  }
  SSL* ssl = SSL_new(context.impl_->ctx);
  if (!ssl || !make_non_blocking(socket) || SSL_set_fd(ssl, socket) != 1) {
    reason = openssl_error("no TLS session");
    if (ssl) SSL_free(ssl);
    return false;
  }
  SSL_set_tlsext_host_name(ssl, host_name.c_str());
  SSL_set1_host(ssl, host_name.c_str());
  impl_->ssl = ssl;
  impl_->socket = socket;
  impl_->peer_closed = false;
  if (handshake(ssl, socket, false, deadline_ms, reason)) return true;
  SSL_free(ssl);
  impl_->ssl = nullptr;
  return false;
}

long TlsConnection::read(char* buffer, std::size_t size, int timeout_ms) {
  if (!impl_->ssl) return -1;
  if (impl_->peer_closed) return 0;
  for (;;) {
    ERR_clear_error();
    std::size_t got = 0;
    int r = SSL_read_ex(impl_->ssl, buffer, size, &got);
    if (r == 1) return static_cast<long>(got);
    int e = SSL_get_error(impl_->ssl, r);
    if (e == SSL_ERROR_ZERO_RETURN) {
      impl_->peer_closed = true;
      return 0;
    }
    if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) &&
        wait_for(impl_->socket, e, timeout_ms))
      continue;
    ERR_clear_error();
    return -1;
  }
}

bool TlsConnection::write(const char* data, std::size_t size, int timeout_ms) {
  if (!impl_->ssl) return false;
  std::size_t done = 0;
  while (done < size) {
    ERR_clear_error();
    std::size_t put = 0;
    int r = SSL_write_ex(impl_->ssl, data + done, size - done, &put);
    if (r == 1) {
      done += put;
      continue;
    }
    int e = SSL_get_error(impl_->ssl, r);
    if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) &&
        wait_for(impl_->socket, e, timeout_ms))
      continue;
    ERR_clear_error();
    return false;
  }
  return true;
}

bool TlsConnection::start_server(int socket, const TlsContext& context, std::string& reason) {
  close();
  if (!context.loaded()) {
    reason = "no certificate loaded";
    return false;
  }
  SSL* ssl = SSL_new(context.impl_->ctx);
  if (!ssl || !make_non_blocking(socket) || SSL_set_fd(ssl, socket) != 1) {
    reason = openssl_error("no TLS session");
    if (ssl) SSL_free(ssl);
    return false;
  }
  SSL_set_accept_state(ssl);
  impl_->ssl = ssl;
  impl_->socket = socket;
  impl_->peer_closed = false;
  return true;
}

namespace {

TlsConnection::Want want_of(int ssl_error) {
  if (ssl_error == SSL_ERROR_WANT_READ) return TlsConnection::Want::Read;
  if (ssl_error == SSL_ERROR_WANT_WRITE) return TlsConnection::Want::Write;
  return TlsConnection::Want::Nothing;
}

}  // namespace

int TlsConnection::handshake_step(Want& want, std::string& reason) {
  want = Want::Nothing;
  if (!impl_->ssl) {
    reason = "no TLS session";
    return -1;
  }
  ERR_clear_error();
  int r = SSL_do_handshake(impl_->ssl);
  if (r == 1) return 1;
  int e = SSL_get_error(impl_->ssl, r);
  want = want_of(e);
  if (want != Want::Nothing) return 0;
  if (e == SSL_ERROR_SSL) {
    reason = openssl_error("TLS handshake failed");
  } else {
    reason = "the peer ended the connection during the TLS handshake";
    ERR_clear_error();
  }
  SSL_free(impl_->ssl);  // no close_notify on a session that never was
  impl_->ssl = nullptr;
  impl_->socket = -1;
  return -1;
}

long TlsConnection::read_some(char* buffer, std::size_t size, Want& want) {
  want = Want::Nothing;
  if (!impl_->ssl) return -1;
  if (impl_->peer_closed) return 0;
  ERR_clear_error();
  std::size_t got = 0;
  int r = SSL_read_ex(impl_->ssl, buffer, size, &got);
  if (r == 1) return static_cast<long>(got);
  int e = SSL_get_error(impl_->ssl, r);
  if (e == SSL_ERROR_ZERO_RETURN) {
    impl_->peer_closed = true;
    return 0;
  }
  want = want_of(e);
  ERR_clear_error();
  return -1;
}

long TlsConnection::write_some(const char* data, std::size_t size, Want& want) {
  want = Want::Nothing;
  if (!impl_->ssl) return -1;
  ERR_clear_error();
  std::size_t put = 0;
  int r = SSL_write_ex(impl_->ssl, data, size, &put);
  if (r == 1) return static_cast<long>(put);
  want = want_of(SSL_get_error(impl_->ssl, r));
  ERR_clear_error();
  return -1;
}

bool TlsConnection::has_buffered() const { return impl_->ssl && SSL_pending(impl_->ssl) > 0; }

void TlsConnection::close() {
  if (!impl_->ssl) return;
  // One close_notify; the peer's answer is not awaited (the socket is about
  // to be closed by its owner), and a failure changes nothing.
  (void)SSL_shutdown(impl_->ssl);
  ERR_clear_error();
  SSL_free(impl_->ssl);
  impl_->ssl = nullptr;
  impl_->socket = -1;
}

}  // namespace tvl
