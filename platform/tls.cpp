#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include "platform/retry.h"

namespace tvl {

namespace {

using Clock = std::chrono::steady_clock;

// The text of the oldest queued OpenSSL error (the queue is emptied).
std::string openssl_error(const std::string& what) {
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

// Every wait is a poll with a limit, so OpenSSL must never block in a read
// or write of its own.
bool make_non_blocking(int socket) {
  int flags = ::fcntl(socket, F_GETFL, 0);
  if (flags >= 0 && (flags & O_NONBLOCK)) return true;  // accepted sockets are
  return flags >= 0 && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

// An OpenSSL context that is freed unless released into a TlsContext.
using ContextHold = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

// A new context of `method`; empty (why set) when none can be made.
ContextHold new_context(const SSL_METHOD* method, Reason& why) {
  ContextHold ctx(SSL_CTX_new(method), &SSL_CTX_free);
  if (!ctx) why.text = openssl_error("no TLS context");
  return ctx;
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
                             Reason& why) {
  impl_ = std::make_unique<Impl>();
  ContextHold ctx = new_context(TLS_server_method(), why);
  if (!ctx) return false;
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // write_some is retried with the rest of an answer, which may sit at
  // another address by then; a part written is reported as written.
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE |
                                  SSL_MODE_RELEASE_BUFFERS);
  // Sessions are resumed from tickets, which the clients keep. A session
  // cache in the context would be one more lock that the handshake of every
  // client thread takes, and its periodic sweep holds it for all of them.
  SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
  // One ticket per connection (the default is two, each a record to seal and
  // write): a browser resumes a session once per connection it opens.
  SSL_CTX_set_num_tickets(ctx.get(), 1);
  // Records are read as much as the socket holds at a time, not header and
  // body in a read each (has_buffered counts what was read ahead).
  SSL_CTX_set_read_ahead(ctx.get(), 1);
  const std::string not_the_key =
      "the key " + key_file + " does not belong to the certificate " + certificate_file;
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), certificate_file.c_str()) != 1)
    return why.fail(openssl_error("the certificate " + certificate_file + " cannot be read"));
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    // A readable key of another certificate is refused here already.
    const bool mismatch = ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
    return why.fail(
        openssl_error(mismatch ? not_the_key : "the key " + key_file + " cannot be read"));
  }
  if (SSL_CTX_check_private_key(ctx.get()) != 1) return why.fail(openssl_error(not_the_key));
  impl_->ctx = ctx.release();
  return true;
}

bool TlsContext::load_client(const std::string& ca_file, Reason& why) {
  impl_ = std::make_unique<Impl>();
  ContextHold ctx = new_context(TLS_client_method(), why);
  if (!ctx) return false;
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  if (SSL_CTX_load_verify_locations(ctx.get(), ca_file.c_str(), nullptr) != 1)
    return why.fail(openssl_error("the certificates " + ca_file + " cannot be read"));
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  impl_->ctx = ctx.release();
  return true;
}

bool TlsContext::load_legacy_client(Reason& why) {
  impl_ = std::make_unique<Impl>();
  ContextHold ctx = new_context(TLS_client_method(), why);
  if (!ctx) return false;
  // Security level 0 lets this OpenSSL offer the old versions at all.
  SSL_CTX_set_security_level(ctx.get(), 0);
  if (SSL_CTX_set_min_proto_version(ctx.get(), TLS1_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx.get(), TLS1_1_VERSION) != 1)
    return why.fail(openssl_error("no TLS 1.1 client"));
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  impl_->ctx = ctx.release();
  return true;
}

struct TlsConnection::Impl {
  SSL* ssl = nullptr;
  int socket = -1;
  bool peer_closed = false;

  // A new session on `socket` (made non-blocking) for the server's or the
  // client's side; false with a reason, nothing attached.
  bool attach(int fd, SSL_CTX* context, bool server, Reason& why) {
    if (!context) {
      why.text = server ? "no certificate loaded" : "no TLS context loaded";
      return false;
    }
    SSL* made = SSL_new(context);
    if (!made || !make_non_blocking(fd) || SSL_set_fd(made, fd) != 1) {
      why.text = openssl_error("no TLS session");
      if (made) SSL_free(made);
      return false;
    }
    if (server) SSL_set_accept_state(made);
    else SSL_set_connect_state(made);
    ssl = made;
    socket = fd;
    peer_closed = false;
    return true;
  }
  // Frees a session without a close_notify (one that never was, or failed).
  void drop() {
    SSL_free(ssl);
    ssl = nullptr;
    socket = -1;
  }
};

TlsConnection::TlsConnection() : impl_(std::make_unique<Impl>()) {}
TlsConnection::~TlsConnection() { close(); }

bool TlsConnection::open() const { return impl_->ssl != nullptr; }

std::string TlsConnection::protocol() const {
  return impl_->ssl ? SSL_get_version(impl_->ssl) : "";
}

namespace {

TlsConnection::Want want_of(int ssl_error) {
  if (ssl_error == SSL_ERROR_WANT_READ) return TlsConnection::Want::Read;
  if (ssl_error == SSL_ERROR_WANT_WRITE) return TlsConnection::Want::Write;
  return TlsConnection::Want::Nothing;
}

// Waits until the socket is ready as `want` says; false on a time-out or
// failure.
bool wait_for(int socket, TlsConnection::Want want, int timeout_ms) {
  pollfd p{socket, static_cast<short>(want == TlsConnection::Want::Write ? POLLOUT : POLLIN), 0};
  return retry_interrupted([&] { return ::poll(&p, 1, timeout_ms); }) > 0;
}

// The blocking calls are the non-blocking steps with waits in between:
// `step(want)` is repeated while it sets `want`, each time after the socket
// became ready that way within limit_ms() ms. False when a wait ran out;
// otherwise true with the step's last result in `result`.
template <class Step, class Limit>
bool until_done(int socket, Step step, Limit limit_ms, long& result) {
  for (;;) {
    TlsConnection::Want want = TlsConnection::Want::Nothing;
    result = step(want);
    if (want == TlsConnection::Want::Nothing) return true;
    if (!wait_for(socket, want, limit_ms())) return false;
  }
}

}  // namespace

bool TlsConnection::handshake(int deadline_ms, Reason& why) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  const int socket = impl_->socket;
  long done = -1;
  auto step = [&](Want& want) {
    const Handshake h = handshake_step(want, why);
    return h == Handshake::Done ? 1L : h == Handshake::Again ? 0L : -1L;
  };
  if (until_done(socket, step, [&] { return left_ms(deadline); }, done)) return done == 1;
  why.text = "the TLS handshake did not finish in time";
  impl_->drop();  // no close_notify on a session that never was
  return false;
}

bool TlsConnection::accept(int socket, const TlsContext& context, int deadline_ms,
                           Reason& why) {
  close();
  return impl_->attach(socket, context.impl_->ctx, true, why) && handshake(deadline_ms, why);
}

bool TlsConnection::connect(int socket, const TlsContext& context, const std::string& host_name,
                            int deadline_ms, Reason& why) {
  close();
  if (!impl_->attach(socket, context.impl_->ctx, false, why)) return false;
  SSL_set_tlsext_host_name(impl_->ssl, host_name.c_str());
  SSL_set1_host(impl_->ssl, host_name.c_str());
  return handshake(deadline_ms, why);
}

long TlsConnection::read(char* buffer, std::size_t size, int timeout_ms) {
  long got = -1;
  if (!until_done(
          impl_->socket, [&](Want& want) { return read_some(buffer, size, want); },
          [timeout_ms] { return timeout_ms; }, got))
    return -1;
  return got;
}

bool TlsConnection::write(const char* data, std::size_t size, int timeout_ms) {
  std::size_t done = 0;
  while (done < size) {
    long put = -1;
    if (!until_done(
            impl_->socket, [&](Want& want) { return write_some(data + done, size - done, want); },
            [timeout_ms] { return timeout_ms; }, put) ||
        put <= 0)
      return false;
    done += static_cast<std::size_t>(put);
  }
  return open();
}

bool TlsConnection::start_server(int socket, const TlsContext& context, Reason& why) {
  close();
  return impl_->attach(socket, context.impl_->ctx, true, why);
}

TlsConnection::Handshake TlsConnection::handshake_step(Want& want, Reason& why) {
  want = Want::Nothing;
  if (!impl_->ssl) {
    why.text = "no TLS session";
    return Handshake::Failed;
  }
  ERR_clear_error();
  int r = SSL_do_handshake(impl_->ssl);
  if (r == 1) return Handshake::Done;
  int e = SSL_get_error(impl_->ssl, r);
  want = want_of(e);
  if (want != Want::Nothing) return Handshake::Again;
  if (e == SSL_ERROR_SSL) {
    why.text = openssl_error("TLS handshake failed");
    const long verify = SSL_get_verify_result(impl_->ssl);
    if (!SSL_is_server(impl_->ssl) && verify != X509_V_OK)
      why.text += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
  } else {
    why.text = "the peer ended the connection during the TLS handshake";
    ERR_clear_error();
  }
  impl_->drop();  // no close_notify on a session that never was
  return Handshake::Failed;
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

bool TlsConnection::has_buffered() const { return impl_->ssl && SSL_has_pending(impl_->ssl); }

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
