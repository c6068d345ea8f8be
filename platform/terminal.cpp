#include "platform/terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace tvl {

bool read_hidden_line(const std::string& prompt, std::string& line) {
  int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  termios old{};
  const bool have_mode = ::tcgetattr(fd, &old) == 0;
  if (have_mode) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    (void)::tcsetattr(fd, TCSAFLUSH, &quiet);  // without it the line is echoed, no worse
  }
  (void)::write(fd, prompt.data(), prompt.size());  // a prompt that fails still reads
  std::string got;
  char c;
  bool ok = false;
  while (::read(fd, &c, 1) == 1) {
    if (c == '\n') {
      ok = true;
      break;
    }
    got += c;
  }
  if (have_mode) (void)::tcsetattr(fd, TCSAFLUSH, &old);
  ::close(fd);
  if (ok) line = got;
  return ok;
}

}  // namespace tvl
