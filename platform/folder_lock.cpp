#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace tvl {

FolderLock::~FolderLock() { release(); }

bool FolderLock::acquire(const std::string& folder, int wait_ms) {
  return take(folder, Mode::kExclusive, wait_ms) == Outcome::kLocked;
}

FolderLock::Outcome FolderLock::take(const std::string& folder, Mode mode, int wait_ms) {
  release();
  // O_CLOEXEC: a program this process starts must not keep the lock alive.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Outcome::kFailed;
  const int operation = (mode == Mode::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB;
  for (int waited = 0;; waited += 5) {
    if (::flock(fd, operation) == 0) break;
    if (errno == EINTR) continue;
    const bool busy = errno == EWOULDBLOCK;
    if (!busy || waited >= wait_ms) {
      ::close(fd);
      return busy ? Outcome::kBusy : Outcome::kFailed;
    }
    struct timespec t{0, 5000000L};
    ::nanosleep(&t, nullptr);
  }
  fd_ = fd;
  return Outcome::kLocked;
}

void FolderLock::release() {
  if (fd_ < 0) return;
  ::close(fd_);  // ends the lock
  fd_ = -1;
}

}  // namespace tvl
