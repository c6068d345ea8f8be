#include "platform/retry.h"

#include <sys/file.h>
#include <unistd.h>

#include <ctime>

namespace tvl {

namespace {

// Moves `size` bytes at `p` with `call(p, left)` (a read or a write) until
// all are moved; false when a call failed or moved nothing.
template <typename Byte, typename Call>
bool move_all(Byte* p, std::size_t size, Call call) {
  while (size > 0) {
    const ssize_t n = retry_interrupted([&] { return call(p, size); });
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool write_all(int fd, const void* data, std::size_t size) {
  return move_all(static_cast<const char*>(data), size,
                  [fd](const char* p, std::size_t left) { return ::write(fd, p, left); });
}

bool read_all(int fd, void* data, std::size_t size) {
  return move_all(static_cast<char*>(data), size,
                  [fd](char* p, std::size_t left) { return ::read(fd, p, left); });
}

void pause_ms(int ms) {
  struct timespec t{ms / 1000, long(ms % 1000) * 1000000L};
  while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

LockWait flock_within(int fd, int operation, int wait_ms) {
  for (int waited = 0;; waited += 5) {
    if (retry_interrupted([&] { return ::flock(fd, operation | LOCK_NB); }) == 0)
      return LockWait::Taken;
    if (errno != EWOULDBLOCK) return LockWait::Failed;
    if (waited >= wait_ms) return LockWait::Busy;
    pause_ms(5);
  }
}

}  // namespace tvl
