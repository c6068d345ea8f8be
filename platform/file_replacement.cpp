#include "platform/file_replacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/locked_file.h"
#include "platform/retry.h"
#include "platform/write_faults.h"

namespace tvl {

namespace {
using write_faults::Step;

std::string failure(const std::string& what, const std::string& path, int error) {
  return "cannot " + what + " " + path + ": " + std::strerror(error);
}

// One write call through the fault steps: the bytes written, or -1 with
// errno set.
ssize_t faulty_pwrite(int fd, const uint8_t* p, std::size_t n, off_t at) {
  switch (write_faults::next_write()) {
    case Step::Run:
      return ::pwrite(fd, p, n, at);
    case Step::Fail:
      errno = EIO;
      return -1;
    case Step::NoSpace:
      errno = ENOSPC;
      return -1;
    case Step::HalfThenNoSpace:
      return ::pwrite(fd, p, n / 2, at);
    case Step::HalfThenStop:
      (void)!::pwrite(fd, p, n / 2, at);
      ::_exit(kWriteFaultStopStatus);
    case Step::Stop:
      ::_exit(kWriteFaultStopStatus);
  }
  return -1;
}

// A flush or rename through the fault steps: false with errno set.
bool other_step_allowed() {
  switch (write_faults::next_other()) {
    case Step::Stop:
    case Step::HalfThenStop:
      ::_exit(kWriteFaultStopStatus);
    case Step::Fail:
    case Step::NoSpace:
    case Step::HalfThenNoSpace:
      errno = EIO;
      return false;
    case Step::Run:
      break;
  }
  return true;
}

std::string folder_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

FileReplacement::~FileReplacement() { abandon(); }

bool FileReplacement::begin(const LockedFile& original, Reason& why) {
  abandon();
  path_ = original.path();
  temp_ = path_ + ".new";
  // O_TRUNC: a leftover of an earlier, interrupted change is worth nothing.
  fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) {
    why.text = failure("create", temp_, errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && (st.st_uid != original.owner() || st.st_gid != original.group())) {
    // Root changing a file of the server's user gives it back to that user;
    // a group that cannot be kept is no reason to refuse the change.
    if (::fchown(fd_, original.owner(), original.group()) != 0 &&
        ::fchown(fd_, original.owner(), gid_t(-1)) != 0 && st.st_uid != original.owner()) {
      why.text = failure("give the owner of " + path_ + " to", temp_, errno);
      abandon();
      return false;
    }
  }
  if (::fchmod(fd_, mode_t(original.mode())) != 0) {
    why.text = failure("set the permissions of", temp_, errno);
    abandon();
    return false;
  }
  return true;
}

bool FileReplacement::write(int64_t pos, const void* data, int64_t len, Reason& why) {
  if (fd_ < 0) {
    why.text = "no replacement file is open";
    return false;
  }
  auto* p = static_cast<const uint8_t*>(data);
  int64_t done = 0;
  while (done < len) {
    const ssize_t n = retry_interrupted(
        [&] { return faulty_pwrite(fd_, p + done, std::size_t(len - done), off_t(pos + done)); });
    if (n < 0) {
      why.text = failure("write", temp_, errno);
      return false;
    }
    if (n == 0) {
      why.text = failure("write", temp_, ENOSPC);
      return false;
    }
    done += n;
  }
  return true;
}

bool FileReplacement::commit(Reason& why) {
  if (fd_ < 0) {
    why.text = "no replacement file is open";
    return false;
  }
  // The data must be on the disk before the name moves to it: otherwise a
  // crash right after the rename may leave an empty or partial file.
  if (!other_step_allowed() || ::fsync(fd_) != 0) {
    why.text = failure("flush", temp_, errno);
    abandon();
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    why.text = failure("close", temp_, errno);
    ::unlink(temp_.c_str());
    return false;
  }
  if (!other_step_allowed() || ::rename(temp_.c_str(), path_.c_str()) != 0) {
    why.text = failure("rename " + temp_ + " to", path_, errno);
    ::unlink(temp_.c_str());
    return false;
  }
  // The change is made once the rename is: a folder that cannot be flushed
  // only leaves the rename to the file system's own schedule, which is not
  // worth refusing a change that every reader already sees.
  const int dir = ::open(folder_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    if (other_step_allowed()) (void)::fsync(dir);  // not reported, by design
    ::close(dir);
  }
  return true;
}

void FileReplacement::abandon() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  ::unlink(temp_.c_str());
}

}  // namespace tvl
