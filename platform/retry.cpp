#include "platform/retry.h"

#include <sys/file.h>
#include <unistd.h>

#include <ctime>

namespace tvl {

namespace {

// Moves up to `size` bytes at `p` with `call(p, left)` (a read or a write)
// until all are moved or a call failed or moved nothing; returns how many
// were moved.
template <typename Byte, typename Call>
std::size_t move_all(Byte* p, std::size_t size, Call call) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = retry_interrupted([&] { return call(p + done, size - done); });
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace

bool write_all(int fd, const void* data, std::size_t size) {
  return move_all(static_cast<const char*>(data), size,
                  [fd](const char* p, std::size_t left) { return ::write(fd, p, left); }) == size;
}

bool read_all(int fd, void* data, std::size_t size) { return read_up_to(fd, data, size) == size; }

std::size_t read_up_to(int fd, void* data, std::size_t size) {
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
