#include "platform/append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/retry.h"
#include "platform/write_faults.h"

namespace tvl {

bool AppendFile::open(const std::string& path, int mode) {
  close();
  fd_.reset(
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode_t(mode)));
  torn_ = false;
  return fd_.valid();
}

void AppendFile::close() { fd_.reset(); }

bool AppendFile::append(const std::string& row) {
  if (!fd_.valid()) return false;
  const int fd = fd_.get();
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  // A row cut short earlier and never taken back: the next one begins on a
  // new line rather than continuing it.
  const std::string out = torn_ ? "\r\n" + row : row;
  std::size_t done = 0;
  bool whole = true;
  while (done < out.size()) {
    ssize_t n;
    switch (write_faults::next_write()) {
      case write_faults::Step::Run:
        n = retry_interrupted([&] { return ::write(fd, out.data() + done, out.size() - done); });
        break;
      case write_faults::Step::HalfThenNoSpace:
        n = ::write(fd, out.data() + done, (out.size() - done) / 2);
        break;
      case write_faults::Step::HalfThenStop:
        (void)!::write(fd, out.data() + done, (out.size() - done) / 2);
        ::_exit(kWriteFaultStopStatus);
      case write_faults::Step::Stop:
        ::_exit(kWriteFaultStopStatus);
      default:
        errno = ENOSPC;
        n = -1;
    }
    if (n <= 0) {
      whole = false;
      break;
    }
    done += std::size_t(n);
  }
  if (whole) {
    torn_ = false;
    return true;
  }
  if (done > 0) torn_ = ::ftruncate(fd, st.st_size) != 0;
  return false;
}

}  // namespace tvl
