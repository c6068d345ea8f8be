// System calls that a signal may cut short. A call interrupted by a signal
// fails with EINTR and is simply made again; a short read or write goes on
// where it stopped; a lock another holder keeps is tried again for a while.
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

// Reads from `fd` until `size` bytes came, the end came or a read failed;
// returns how many bytes came (fewer than `size` at the end or on a fault).
std::size_t read_up_to(int fd, void* data, std::size_t size);

// Sleeps `ms` milliseconds, the whole time however many signals come.
void pause_ms(int ms);

// How flock_within went.
enum class LockWait { Taken, Busy, Failed };

// Takes the flock `operation` (LOCK_SH or LOCK_EX) on `fd`, trying again
// every 5 ms for at most `wait_ms` while another holder keeps it: Taken,
// Busy when the other kept it that long, Failed on any other error (errno
// tells which).
[[nodiscard]] LockWait flock_within(int fd, int operation, int wait_ms);

}  // namespace tvl
