#include "platform/detached_fork.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/retry.h"

namespace tvl {

void reset_signals_in_child() {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
}

pid_t fork_detached() {
  // The middle process tells the caller the pid of the one it forked.
  int pid_pipe[2];
  if (::pipe2(pid_pipe, O_CLOEXEC) != 0) return -1;
  const pid_t middle = ::fork();
  if (middle < 0) {
    ::close(pid_pipe[0]);
    ::close(pid_pipe[1]);
    return -1;
  }
  if (middle == 0) {
    reset_signals_in_child();
    ::close(pid_pipe[0]);
    ::setsid();
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(pid_pipe[1]);
      return 0;
    }
    const int reported = child > 0 ? static_cast<int>(child) : -1;
    (void)write_all(pid_pipe[1], &reported, sizeof reported);
    ::_exit(0);
  }
  ::close(pid_pipe[1]);
  int child = -1;
  if (!read_all(pid_pipe[0], &child, sizeof child)) child = -1;
  ::close(pid_pipe[0]);
  (void)retry_interrupted([&] { return ::waitpid(middle, nullptr, 0); });
  return child > 0 ? child : -1;
}

}  // namespace tvl
