#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include "platform/detached_fork.h"
#include "platform/retry.h"

namespace tvl {

namespace {

std::vector<char*> make_argv(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

int wait_for(pid_t pid) {
  int status = 0;
  if (retry_interrupted([&] { return ::waitpid(pid, &status, 0); }) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string program_path() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

int current_process_id() { return static_cast<int>(::getpid()); }

int run_program(const std::string& program, const std::vector<std::string>& args,
                std::string* output) {
  int out_pipe[2] = {-1, -1};
  if (output && ::pipe2(out_pipe, O_CLOEXEC) != 0) return -1;
  std::vector<char*> argv = make_argv(program, args);
  pid_t pid = ::fork();
  if (pid < 0) {
    if (output) {
      ::close(out_pipe[0]);
      ::close(out_pipe[1]);
    }
    return -1;
  }
  if (pid == 0) {
    reset_signals_in_child();
    if (output) ::dup2(out_pipe[1], STDOUT_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  if (output) {
    ::close(out_pipe[1]);
    output->clear();
    char buffer[4096];
    for (;;) {
      ssize_t n = retry_interrupted([&] { return ::read(out_pipe[0], buffer, sizeof buffer); });
      if (n <= 0) break;
      output->append(buffer, static_cast<size_t>(n));
    }
    ::close(out_pipe[0]);
  }
  return wait_for(pid);
}

int spawn_detached(const std::string& path, const std::vector<std::string>& args,
                   const std::function<void(int pid)>& on_spawned) {
  // go_pipe: the caller releases the new process once on_spawned has run.
  int go_pipe[2];
  if (::pipe2(go_pipe, O_CLOEXEC) != 0) return -1;
  std::vector<char*> argv = make_argv(path, args);
  const pid_t child = fork_detached();
  if (child == 0) {
    ::close(go_pipe[1]);
    char go = 0;
    if (!read_all(go_pipe[0], &go, 1) || go != 'g') ::_exit(126);
    ::close(go_pipe[0]);
    int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      ::dup2(null_fd, STDIN_FILENO);
      ::dup2(null_fd, STDOUT_FILENO);
      ::dup2(null_fd, STDERR_FILENO);
      if (null_fd > STDERR_FILENO) ::close(null_fd);
    }
    if (::chdir("/") != 0) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(go_pipe[0]);
  if (child > 0) {
    if (on_spawned) on_spawned(child);
    const char go = 'g';
    (void)write_all(go_pipe[1], &go, 1);
  }
  // Closing without "go" makes a process that exists end unexecuted.
  ::close(go_pipe[1]);
  return child;
}

bool process_alive(int pid) {
  if (pid <= 0) return false;
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  // A zombie still answers kill(); its state letter in /proc tells.
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = std::fopen(path, "r");
  if (!f) return true;  // no /proc: trust kill()
  char line[512] = {0};
  size_t n = std::fread(line, 1, sizeof line - 1, f);
  std::fclose(f);
  line[n] = 0;
  const char* close_paren = std::strrchr(line, ')');
  if (!close_paren || close_paren[1] == 0 || close_paren[2] == 0) return true;
  char state = close_paren[2];
  return state != 'Z' && state != 'X';
}

bool send_stop_signal(int pid) {
  if (pid <= 0) return false;
  return ::kill(pid, SIGTERM) == 0;
}

}  // namespace tvl

namespace tvl {

long raise_descriptor_limit() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    struct rlimit wanted = limit;
    wanted.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &wanted) == 0) limit = wanted;
  }
  // An unlimited hard limit is never the case for descriptors on Linux, but
  // the figure must stay a usable count.
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1L << 30)) return 1L << 30;
  return static_cast<long>(limit.rlim_cur);
}

}  // namespace tvl
