#include "platform/control_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include "platform/retry.h"

namespace tvl {

namespace {

bool make_address(const std::string& path, sockaddr_un& a) {
  std::memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof a.sun_path) return false;
  std::memcpy(a.sun_path, path.data(), path.size());
  return true;
}

bool peer_allowed(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  return cred.uid == 0 || cred.uid == ::geteuid();
}

bool write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = retry_interrupted(
        [&] { return ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL); });
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

ControlListener::~ControlListener() { close(); }

bool ControlListener::open(const std::string& path, Reason& why) {
  close();
  sockaddr_un a;
  if (!make_address(path, a)) {
    why.text = "the path is too long for a socket: " + path;
    return false;
  }
  // A socket another server answers on stays; a stale file goes.
  int probe = connect_control(path);
  if (probe >= 0) {
    close_control(probe);
    why.text = "another server answers on " + path;
    return false;
  }
  ::unlink(path.c_str());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    why.text = std::strerror(errno);
    return false;
  }
  // The file is made without any right for others, before anyone can
  // connect; the mode is then set exactly.
  const mode_t old_mask = ::umask(0177);
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  const int bind_error = errno;
  ::umask(old_mask);
  if (!bound || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 16) != 0) {
    why.text = std::strerror(bound ? errno : bind_error);
    ::close(fd);
    if (bound) ::unlink(path.c_str());
    return false;
  }
  fd_.reset(fd);
  path_ = path;
  return true;
}

void ControlListener::close() {
  if (!fd_.valid()) return;
  fd_.reset();
  ::unlink(path_.c_str());
}

int ControlListener::accept_peer(int stop_fd, int timeout_ms, bool& stopped) {
  stopped = false;
  if (!fd_.valid()) return -1;
  pollfd p[2] = {{fd_.get(), POLLIN, 0}, {stop_fd, POLLIN, 0}};
  int n = ::poll(p, stop_fd >= 0 ? 2 : 1, timeout_ms);
  if (n <= 0) return -1;
  if (stop_fd >= 0 && (p[1].revents & POLLIN)) {
    stopped = true;
    return -1;
  }
  int c = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
  if (c < 0) return -1;
  if (!peer_allowed(c)) {
    ::close(c);
    return -1;
  }
  return c;
}

int connect_control(const std::string& path) {
  int fd = -1;
  return reach_control(path, fd) == ControlReach::Connected ? fd : -1;
}

ControlReach reach_control(const std::string& path, int& fd) {
  fd = -1;
  sockaddr_un a;
  if (!make_address(path, a)) return ControlReach::Nobody;
  const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return ControlReach::Nobody;
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    const int error = errno;
    ::close(s);
    return error == EACCES || error == EPERM ? ControlReach::Refused : ControlReach::Nobody;
  }
  fd = s;
  return ControlReach::Connected;
}

bool send_request(int fd, const std::string& data) {
  return write_all(fd, data) && ::shutdown(fd, SHUT_WR) == 0;
}

bool send_answer(int fd, const std::string& data) { return write_all(fd, data); }

bool receive_all(int fd, std::string& out, std::size_t max_bytes, int timeout_ms) {
  out.clear();
  char buffer[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int n = retry_interrupted([&] { return ::poll(&p, 1, timeout_ms); });
    if (n <= 0) return false;
    ssize_t got = retry_interrupted([&] { return ::recv(fd, buffer, sizeof buffer, 0); });
    if (got < 0 && errno == EAGAIN) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (out.size() + static_cast<std::size_t>(got) > max_bytes) return false;
    out.append(buffer, static_cast<std::size_t>(got));
  }
}

void close_control(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace tvl
