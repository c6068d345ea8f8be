#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/retry.h"

namespace tvl {

bool FolderLock::acquire(const std::string& folder, int wait_ms) {
  return take(folder, Mode::Exclusive, wait_ms) == Outcome::Locked;
}

FolderLock::Outcome FolderLock::take(const std::string& folder, Mode mode, int wait_ms) {
  release();
  // O_CLOEXEC: a program this process starts must not keep the lock alive.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Outcome::Failed;
  const LockWait got = flock_within(fd, mode == Mode::Shared ? LOCK_SH : LOCK_EX, wait_ms);
  if (got != LockWait::Taken) {
    ::close(fd);
    return got == LockWait::Busy ? Outcome::Busy : Outcome::Failed;
  }
  fd_.reset(fd);
  return Outcome::Locked;
}

void FolderLock::release() { fd_.reset(); }

}  // namespace tvl
