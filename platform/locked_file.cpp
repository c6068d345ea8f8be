#include "platform/locked_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/retry.h"

namespace tvl {

LockedOpen LockedFile::open(const std::string& path, int wait_ms, Reason& why) {
  close();
  // A few rounds at most: each one lost means another writer replaced the
  // file meanwhile, which takes it a whole change.
  for (int round = 0; round < 100; ++round) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      why.text = path + ": " + std::strerror(errno);
      return errno == ENOENT ? LockedOpen::Missing : LockedOpen::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
      why.text = path + " is not a file";
      return LockedOpen::NotAFile;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      why.text = path + ": " + std::strerror(errno);
      if (errno == ENOENT) continue;
      return LockedOpen::Failed;
    }
    const LockWait got = flock_within(fd, LOCK_EX, wait_ms);
    if (got != LockWait::Taken) {
      ::close(fd);
      const bool busy = got == LockWait::Busy;
      why.text = path + (busy ? " is locked by another program" : ": cannot be locked");
      return busy ? LockedOpen::Busy : LockedOpen::Failed;
    }
    struct stat locked {}, now {};
    if (::fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode)) {
      ::close(fd);
      why.text = path + " is not a file";
      return LockedOpen::NotAFile;
    }
    if (::stat(path.c_str(), &now) != 0 || now.st_ino != locked.st_ino || now.st_dev != locked.st_dev) {
      ::close(fd);  // replaced while we waited: lock the new one
      continue;
    }
    fd_.reset(fd);
    path_ = path;
    size_ = int64_t(locked.st_size);
    mode_ = int(locked.st_mode & 07777);
    uid_ = locked.st_uid;
    gid_ = locked.st_gid;
    return LockedOpen::Opened;
  }
  why.text = path + " is replaced too often to be locked";
  return LockedOpen::Busy;
}

void LockedFile::close() {
  if (!fd_.valid()) return;
  fd_.reset();
  path_.clear();
  size_ = 0;
}

bool LockedFile::read(int64_t pos, void* out, int64_t len, int64_t* got) {
  *got = 0;
  if (!fd_.valid() || pos < 0 || len < 0) return false;
  auto* p = static_cast<uint8_t*>(out);
  while (*got < len) {
    const ssize_t n = retry_interrupted(
        [&] { return ::pread(fd_.get(), p + *got, std::size_t(len - *got), off_t(pos + *got)); });
    if (n < 0) return false;
    if (n == 0) break;
    *got += n;
  }
  return true;
}

}  // namespace tvl
