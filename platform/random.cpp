#include "platform/random.h"

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#include "platform/retry.h"

namespace tvl {

namespace {

// Kernels without getrandom(): the same pool read through its device file.
bool read_urandom(unsigned char* into, std::size_t size) {
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool whole = read_all(fd, into, size);
  ::close(fd);
  return whole;
}

}  // namespace

bool random_bytes(void* into, std::size_t size) {
  unsigned char* out = static_cast<unsigned char*>(into);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = retry_interrupted([&] { return ::getrandom(out + done, size - done, 0); });
    if (n <= 0) return read_urandom(out + done, size - done);
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string random_hex(std::size_t bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::vector<unsigned char> raw(bytes);
  if (!random_bytes(raw.data(), raw.size())) return std::string();
  std::string text;
  text.reserve(bytes * 2);
  for (unsigned char b : raw) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

}  // namespace tvl
