// Real processes for the tests of tvlService: a child with its standard
// output and error read through pipes, waits with deadlines, and a kill on
// destruction so no test leaves a process behind, whatever happens.
// Header-only; used by the service suites.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace tvl::test {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { kill_now(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `path` with `args`; the environment is this process's.
  bool start(const std::string& path, const std::vector<std::string>& args) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    if (::pipe2(err, O_CLOEXEC) != 0) return false;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    return true;
  }

  int pid() const { return pid_; }

  // Reads both pipes until standard output holds `text` or the deadline
  // passes.
  bool wait_for_output(const std::string& text, int timeout_ms = 15000) {
    return wait_for_text(out_, text, timeout_ms);
  }
  // The same for standard error.
  bool wait_for_error(const std::string& text, int timeout_ms = 15000) {
    return wait_for_text(err_, text, timeout_ms);
  }

  void signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
  }

  // Waits for the exit and drains both pipes. The exit status, or -1 after
  // the deadline (the process is then killed) or on a signal death.
  int wait(int timeout_ms = 20000) {
    if (pid_ <= 0) return exit_code_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      int status = 0;
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        while (pump(50)) {
        }
        pid_ = -1;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        close_pipes();
        return exit_code_;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        kill_now();
        return -1;
      }
      pump(20);
    }
  }

  // What was read so far. The pipes are read only by the waits above and
  // by wait(): a line written after the last wait is not here yet.
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

  void kill_now() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    close_pipes();
  }

 private:
  bool wait_for_text(const std::string& read, const std::string& text, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (read.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      if (!pump(static_cast<int>(left.count()))) return read.find(text) != std::string::npos;
    }
    return true;
  }

  // Reads what is available within timeout_ms; false when both pipes ended.
  bool pump(int timeout_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    int n = ::poll(fds, 2, timeout_ms);
    if (n <= 0) return n == 0;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(got));
      } else {
        ::close(fds[i].fd);
        (i == 0 ? out_fd_ : err_fd_) = -1;
      }
    }
    return out_fd_ >= 0 || err_fd_ >= 0;
  }

  void close_pipes() {
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
    out_fd_ = err_fd_ = -1;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  int exit_code_ = -1;
  std::string out_, err_;
};

// Runs a program to its end (at most timeout_ms) and returns the child with
// its output; exit code through wait().
struct Finished {
  int exit_code = -1;
  std::string out, err;
};

inline Finished run_to_end(const std::string& path, const std::vector<std::string>& args,
                           int timeout_ms = 30000) {
  ChildProcess child;
  Finished result;
  if (!child.start(path, args)) return result;
  result.exit_code = child.wait(timeout_ms);
  result.out = child.out();
  result.err = child.err();
  return result;
}

}  // namespace tvl::test
