#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace tvl {

FolderLock::~FolderLock() { release(); }

bool FolderLock::acquire(const std::string& folder, int wait_ms) {
  release();
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  for (int waited = 0;; waited += 5) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || waited >= wait_ms) {
      ::close(fd);
      return false;
    }
    struct timespec t{0, 5000000L};
    ::nanosleep(&t, nullptr);
  }
  fd_ = fd;
  return true;
}

void FolderLock::release() {
  if (fd_ < 0) return;
  ::close(fd_);  // ends the lock
  fd_ = -1;
}

}  // namespace tvl
