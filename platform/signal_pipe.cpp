#include "platform/signal_pipe.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace tvl {

namespace {
int g_write_end = -1;

void on_term_signal(int) {
  // Only async-signal-safe work here; a full pipe already holds a wake-up.
  int saved = errno;
  char byte = 1;
  ssize_t ignored = ::write(g_write_end, &byte, 1);
  (void)ignored;
  errno = saved;
}
}  // namespace

int open_term_signal_pipe() {
  int ends[2];
  if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
  g_write_end = ends[1];
  struct sigaction action = {};
  action.sa_handler = on_term_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (::sigaction(SIGTERM, &action, nullptr) != 0 || ::sigaction(SIGINT, &action, nullptr) != 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    g_write_end = -1;
    return -1;
  }
  return ends[0];
}

void drain_signal_pipe(int fd) {
  char buffer[64];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace tvl
