// System calls that a signal may cut short. A call interrupted by a signal
// fails with EINTR and is simply made again; a short read or write goes on
// where it stopped.
// Thread safety: none needed (each call works on what it is given).
#pragma once
#include <cerrno>
#include <cstddef>

namespace tvl {

// Makes `call` (a system call returning a negative number on failure) again
// while it fails with EINTR, and returns its last result; errno stands as
// that call left it.
template <typename Call>
auto retry_interrupted(Call&& call) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

// Writes all `size` bytes to `fd`. False when a write failed or wrote
// nothing; part of the bytes may have been written then.
[[nodiscard]] bool write_all(int fd, const void* data, std::size_t size);

// Reads exactly `size` bytes from `fd`. False when a read failed or the end
// came first; part of `data` may have been filled then.
[[nodiscard]] bool read_all(int fd, void* data, std::size_t size);

}  // namespace tvl
