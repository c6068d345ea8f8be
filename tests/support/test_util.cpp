#include "tests/support/test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tvl::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  char pattern[] = "/tmp/tavella-test-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = std::string(pattern) + "/";
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void TempDir::write(const std::string& relative, const std::string& content) const {
  fs::path p = fs::path(path_) / relative;
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string TempDir::read(const std::string& relative) const {
  std::ifstream in(fs::path(path_) / relative, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

bool TempDir::exists(const std::string& relative) const {
  return fs::exists(fs::path(path_) / relative);
}

TestEnvironment::TestEnvironment() {
  setenv("TAVELLA_STATE_DIR", state_.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
}

TestEnvironment::~TestEnvironment() {
  unsetenv("TAVELLA_STATE_DIR");
  unsetenv("XDG_CONFIG_HOME");
}

PortReservation::PortReservation() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  const int fd = fd_.get();
  const int on = 1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof a;
  if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
      ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port_ = ntohs(a.sin_port);
}

int bind_datagram_socket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

int RawClient::open_socket() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0 || source_.empty()) return fd;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  if (inet_pton(AF_INET, source_.c_str(), &from.sin_addr) != 1 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool RawClient::connect(int port, int timeout_ms) {
  close();
  fd_.reset(open_socket());
  if (!fd_.valid()) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  // Loopback connects complete at once or fail; retry briefly while a server
  // that was just started gets to listen().
  for (int waited = 0; waited <= timeout_ms; waited += 20) {
    if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
    fd_.reset();
    usleep(20 * 1000);
    fd_.reset(open_socket());
  }
  close();
  return false;
}

bool RawClient::send(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

namespace {
// One read with a time-out: >0 bytes appended, 0 closed, -1 timeout/error.
int read_some(int fd, std::string& into, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return -1;
  char buf[65536];
  ssize_t n = ::recv(fd, buf, sizeof buf, 0);
  if (n < 0) return -1;
  into.append(buf, static_cast<std::size_t>(n));
  return static_cast<int>(n);
}
}  // namespace

std::string RawClient::read_all(int timeout_ms) {
  std::string out;
  out.swap(pending_);
  while (fd_.valid() && read_some(fd_.get(), out, timeout_ms) > 0) {
  }
  return out;
}

std::string RawClient::read_bytes(std::size_t count, int timeout_ms) {
  std::string out;
  out.swap(pending_);
  while (out.size() < count && fd_.valid() && read_some(fd_.get(), out, timeout_ms) > 0) {
  }
  if (out.size() > count) {
    pending_ = out.substr(count);
    out.resize(count);
  }
  return out;
}

std::string RawClient::read_http_answer(int timeout_ms) {
  std::string out;
  out.swap(pending_);
  std::size_t end;
  while ((end = out.find("\r\n\r\n")) == std::string::npos)
    if (!fd_.valid() || read_some(fd_.get(), out, timeout_ms) <= 0) return out;
  std::size_t header_end = end + 4;
  std::size_t cl = out.find("Content-Length: ");
  if (cl == std::string::npos || cl > header_end) {
    while (read_some(fd_.get(), out, timeout_ms) > 0) {
    }
    return out;
  }
  std::size_t want = header_end + std::strtoul(out.c_str() + cl + 16, nullptr, 10);
  while (out.size() < want && read_some(fd_.get(), out, timeout_ms) > 0) {
  }
  if (out.size() > want) {
    pending_ = out.substr(want);
    out.resize(want);
  }
  return out;
}

bool RawClient::wait_closed(int timeout_ms) {
  if (!fd_.valid()) return true;
  std::string sink;
  for (;;) {
    int r = read_some(fd_.get(), sink, timeout_ms);
    if (r == 0) return true;
    if (r < 0) return false;
  }
}

void RawClient::close() {
  fd_.reset();
  pending_.clear();
}

std::string http_exchange(int port, const std::string& request, int timeout_ms) {
  RawClient c;
  if (!c.connect(port)) return std::string();
  c.send(request);
  return c.read_all(timeout_ms);
}

std::string http_exchange_from(const std::string& source, int port, const std::string& request,
                               int timeout_ms) {
  RawClient c;
  c.set_source(source);
  if (!c.connect(port)) return std::string();
  c.send(request);
  return c.read_all(timeout_ms);
}

int count_of(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string file_text(const std::string& path) {
  if (!fs::is_regular_file(path)) return "<missing>";
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string mask_date(const std::string& answer) {
  std::string out = answer;
  std::size_t at = out.find("Date: ");
  if (at == std::string::npos) return out;
  std::size_t end = out.find("\r\n", at);
  if (end == std::string::npos) return out;
  out.replace(at + 6, end - at - 6, "<date>");
  return out;
}

std::string wire_bytes(Answer& answer) {
  std::string bytes = answer.text;
  if (answer.body) bytes += *answer.body;
  if (answer.stream) {
    char piece[65536];
    std::uint64_t at = 0;
    while (at < answer.stream->size()) {
      const long n = answer.stream->read_at(at, piece, sizeof piece);
      if (n <= 0) break;
      bytes.append(piece, static_cast<std::size_t>(n));
      at += static_cast<std::uint64_t>(n);
    }
  }
  return bytes;
}

}  // namespace tvl::test
