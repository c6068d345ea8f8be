#include "platform/lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include "platform/retry.h"

namespace tvl {

LockFile::~LockFile() { release(); }

LockFile::Result LockFile::acquire(const std::string& path) {
  release();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return kFailed;
  if (retry_interrupted([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
    const int error = errno;
    ::close(fd);
    return error == EWOULDBLOCK ? kHeld : kFailed;
  }
  fd_.reset(fd);
  return kAcquired;
}

void LockFile::release() {
  if (!fd_.valid()) return;
  ::flock(fd_.get(), LOCK_UN);
  fd_.reset();
}

}  // namespace tvl
