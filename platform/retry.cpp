#include "platform/retry.h"

#include <unistd.h>

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

}  // namespace tvl
