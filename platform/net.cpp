#include "platform/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include "platform/retry.h"

namespace tvl::net {

namespace {

int open_tcp_socket(int family, int& error) {
  int s = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) {
    error = errno;
    return -1;
  }
  int on = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Accepted connections take it over from the listener: no call per
  // connection.
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return s;
}

int socket_family(int socket) {
  int family = AF_INET;
  socklen_t len = sizeof family;
  if (::getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &family, &len) != 0) return AF_INET;
  return family;
}

}  // namespace

int create_listen_socket(int& error) { return open_tcp_socket(AF_INET, error); }

int create_listen_socket(const std::string& address, int& error) {
  if (address.find(':') != std::string::npos) {
    int s = open_tcp_socket(AF_INET6, error);
    int on = 1;
    if (s >= 0) ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    return s;
  }
  if (!address.empty()) return open_tcp_socket(AF_INET, error);
  // All local addresses of both families on one socket; IPv4 clients then
  // arrive as mapped addresses. A host without IPv6 gets IPv4 alone.
  int s = open_tcp_socket(AF_INET6, error);
  if (s < 0) return open_tcp_socket(AF_INET, error);
  int off = 0;
  if (::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
    ::close(s);
    return open_tcp_socket(AF_INET, error);
  }
  return s;
}

namespace {

// Binds to an IPv6 (`v6`) or IPv4 address as inet_pton writes it (all
// addresses when null) and the low 16 bits of port.
bool bind_to(int socket, bool v6, const void* address, int port, int& error) {
  const uint16_t net_port = htons(static_cast<uint16_t>(port & 0xffff));
  sockaddr_in6 a6{};
  sockaddr_in a4{};
  sockaddr* a;
  socklen_t size;
  if (v6) {
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_any;
    if (address) std::memcpy(&a6.sin6_addr, address, sizeof a6.sin6_addr);
    a6.sin6_port = net_port;
    a = reinterpret_cast<sockaddr*>(&a6);
    size = sizeof a6;
  } else {
    a4.sin_family = AF_INET;
    a4.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address) std::memcpy(&a4.sin_addr, address, sizeof a4.sin_addr);
    a4.sin_port = net_port;
    a = reinterpret_cast<sockaddr*>(&a4);
    size = sizeof a4;
  }
  if (::bind(socket, a, size) == 0) return true;
  error = errno;
  return false;
}

}  // namespace

bool bind_any(int socket, int port, int& error) {
  return bind_to(socket, socket_family(socket) == AF_INET6, nullptr, port, error);
}

int local_port(int socket) {
  sockaddr_storage a{};
  socklen_t size = sizeof a;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&a), &size) != 0) return 0;
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&a)->sin6_port);
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&a)->sin_port);
  return 0;
}

bool bind_address(int socket, const std::string& address, int port, int& error) {
  if (address.empty()) return bind_any(socket, port, error);
  const bool v6 = address.find(':') != std::string::npos;
  in6_addr parsed{};  // room for either family
  if (socket_family(socket) != (v6 ? AF_INET6 : AF_INET) ||
      ::inet_pton(v6 ? AF_INET6 : AF_INET, address.c_str(), &parsed) != 1) {
    error = EINVAL;
    return false;
  }
  return bind_to(socket, v6, &parsed, port, error);
}

std::string error_text(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, which need not be in buffer.
  return ::strerror_r(error, buffer, sizeof buffer);
}

bool defer_accept(int socket, int seconds) {
  return ::setsockopt(socket, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds) == 0;
}

bool start_listening(int socket, int backlog, int& error) {
  if (::listen(socket, backlog) == 0) return true;
  error = errno;
  return false;
}

AcceptResult accept_connection(int listen_socket, int& socket, std::string& ip, int& raw_port,
                               int& error) {
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  const int s = retry_interrupted([&] {
    return ::accept4(listen_socket, reinterpret_cast<sockaddr*>(&peer), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
  });
  if (s < 0) {
    error = errno;
    // A connection the peer reset before we took it is simply gone.
    if (error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED)
      return AcceptResult::WouldBlock;
    return AcceptResult::Failed;
  }
  char text[INET6_ADDRSTRLEN];
  if (peer.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&peer);
    const unsigned char* b = a->sin6_addr.s6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr))  // an IPv4 client of a socket of both families
      std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[12], b[13], b[14], b[15]);
    else if (!::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text))
      text[0] = '\0';
    raw_port = a->sin6_port;
  } else {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&peer);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&a->sin_addr.s_addr);
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    raw_port = a->sin_port;
  }
  ip.assign(text);
  socket = s;
  return AcceptResult::Accepted;
}

namespace {
// The named fault of a failed socket call's errno.
IoError io_error(int code) {
  if (code == EAGAIN || code == EWOULDBLOCK) return {IoFault::WouldBlock, 0};
  if (code == ECONNRESET) return {IoFault::Reset, 0};
  if (code == EPIPE) return {IoFault::PeerClosed, 0};
  if (code == EOPNOTSUPP) return {IoFault::Unsupported, 0};
  return {IoFault::Other, code};
}
}  // namespace

int IoError::system_code() const {
  switch (fault) {
    case IoFault::None:
      return 0;
    case IoFault::WouldBlock:
      return EAGAIN;
    case IoFault::Reset:
      return ECONNRESET;
    case IoFault::PeerClosed:
      return EPIPE;
    case IoFault::Unsupported:
      return EOPNOTSUPP;
    case IoFault::AddressUnusable:
      return EADDRNOTAVAIL;
    case IoFault::Other:
      break;
  }
  return code;
}

long receive(int socket, char* buffer, std::size_t size, IoError& error) {
  const ssize_t n = retry_interrupted([&] { return ::recv(socket, buffer, size, 0); });
  if (n < 0) error = io_error(errno);
  return static_cast<long>(n);
}

long send_some(int socket, const char* data, std::size_t size, IoError& error, bool more) {
  const ssize_t n = retry_interrupted(
      [&] { return ::send(socket, data, size, MSG_NOSIGNAL | (more ? MSG_MORE : 0)); });
  if (n < 0) error = io_error(errno);
  return static_cast<long>(n);
}

long send_file(int socket, int file, std::uint64_t offset, std::size_t size, IoError& error) {
  off_t at = static_cast<off_t>(offset);
  const ssize_t n = retry_interrupted([&] { return ::sendfile(socket, file, &at, size); });
  if (n < 0) error = io_error(errno);
  return static_cast<long>(n);
}

long send_parts(int socket, const SendPart* parts, int count, IoError& error) {
  if (count < 0 || count > kMaxSendParts) {
    error = {IoFault::Other, EINVAL};
    return -1;
  }
  iovec pieces[kMaxSendParts];
  for (int i = 0; i < count; ++i) {
    pieces[i].iov_base = const_cast<char*>(parts[i].data);
    pieces[i].iov_len = parts[i].size;
  }
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = static_cast<std::size_t>(count);
  const ssize_t n = retry_interrupted([&] { return ::sendmsg(socket, &message, MSG_NOSIGNAL); });
  if (n < 0) error = io_error(errno);
  return static_cast<long>(n);
}

void close_socket(int socket) {
  if (socket >= 0) ::close(socket);
}

namespace {

// One poll, repeated when a signal cut it short; sets r.status (1: some
// descriptor is ready, 0: the time-out passed) or, on failure, r.status -1
// and r.error, and then returns false.
bool poll_all(pollfd* p, int count, int timeout_ms, WaitResult& r) {
  const int n = retry_interrupted([&] { return ::poll(p, static_cast<nfds_t>(count), timeout_ms); });
  if (n < 0) {
    r.status = -1;
    r.error = errno;
    return false;
  }
  r.status = n > 0 ? 1 : 0;
  return true;
}

}  // namespace

WaitResult wait_socket(int socket, bool want_read, bool want_write, int stop_fd, int timeout_ms) {
  pollfd p[2];
  p[0].fd = socket;
  p[0].events = static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0));
  p[0].revents = 0;
  p[1].fd = stop_fd;
  p[1].events = POLLIN;
  p[1].revents = 0;
  WaitResult r;
  if (!poll_all(p, 2, timeout_ms, r)) return r;
  r.stop = (p[1].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
  r.readable = (p[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
  r.writable = (p[0].revents & POLLOUT) != 0;
  if (p[0].revents & POLLNVAL) {
    r.status = -1;
    r.error = EBADF;
  }
  return r;
}

WaitResult wait_readable(const int* sockets, bool* ready, int count, int stop_fd,
                         int timeout_ms) {
  pollfd p[5];
  count = count < 0 ? 0 : (count > 4 ? 4 : count);
  for (int i = 0; i < count; ++i) p[i] = pollfd{sockets[i], POLLIN, 0};
  p[count] = pollfd{stop_fd, POLLIN, 0};
  WaitResult r;
  if (!poll_all(p, count + 1, timeout_ms, r)) return r;
  r.stop = (p[count].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
  for (int i = 0; i < count; ++i) {
    ready[i] = (p[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    r.readable = r.readable || ready[i];
    if (p[i].revents & POLLNVAL) {
      r.status = -1;
      r.error = EBADF;
    }
  }
  return r;
}

ListenWait::ListenWait(const int* sockets, int count, int stop_fd) {
  count_ = count < 0 ? 0 : (count > 4 ? 4 : count);
  fd_.reset(::epoll_create1(EPOLL_CLOEXEC));
  if (!fd_.valid()) {
    error_ = errno;
    return;
  }
  // The index of each socket rides in the event; the stop event has count_.
  for (int i = 0; i <= count_; ++i) {
    epoll_event e{};
    e.events = i < count_ ? EPOLLIN | EPOLLEXCLUSIVE : EPOLLIN;
    e.data.u32 = static_cast<uint32_t>(i);
    if (::epoll_ctl(fd_.get(), EPOLL_CTL_ADD, i < count_ ? sockets[i] : stop_fd, &e) != 0) {
      error_ = errno;
      fd_.reset();
      return;
    }
  }
}

WaitResult ListenWait::wait(bool* ready, int timeout_ms) {
  WaitResult r;
  for (int i = 0; i < count_; ++i) ready[i] = false;
  epoll_event events[5];
  const int n =
      retry_interrupted([&] { return ::epoll_wait(fd_.get(), events, count_ + 1, timeout_ms); });
  if (n < 0) {
    r.status = -1;
    r.error = errno;
    return r;
  }
  r.status = n > 0 ? 1 : 0;
  for (int i = 0; i < n; ++i) {
    const uint32_t which = events[i].data.u32;
    if (which >= static_cast<uint32_t>(count_)) {
      r.stop = true;
    } else {
      ready[which] = true;
      r.readable = true;
    }
  }
  return r;
}

void shutdown_socket(int socket) {
  if (socket >= 0) ::shutdown(socket, SHUT_RDWR);
}

bool out_of_descriptors(int error) { return error == EMFILE || error == ENFILE; }

}  // namespace tvl::net
