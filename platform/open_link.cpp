#include "platform/open_link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include "platform/detached_fork.h"
#include "platform/process.h"
#include "platform/retry.h"

namespace tvl {

namespace {

// What became of one started program.
struct Launch {
  int exec_error = 0;    // errno of a failed exec (or fork), 0 when it runs
  bool ended = false;    // it ended within the wait
  int exit_status = -1;  // its exit status when ended (-1: killed by a signal)
};

bool write_int(int fd, int value) { return write_all(fd, &value, sizeof value); }

// Reads one int, waiting until `deadline_ms` from now (< 0: no limit).
bool read_int(int fd, int& value, int deadline_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  char* p = reinterpret_cast<char*>(&value);
  size_t left = sizeof value;
  while (left > 0) {
    int wait = -1;
    if (deadline_ms >= 0) {
      auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now()).count();
      if (rest <= 0) return false;
      wait = static_cast<int>(rest);
    }
    pollfd pfd{fd, POLLIN, 0};
    int r = ::poll(&pfd, 1, wait);
    if (r < 0 && errno == EINTR) continue;  // the wait is worked out again
    if (r <= 0) return false;
    ssize_t n = retry_interrupted([&] { return ::read(fd, p, left); });
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// The file a program name stands for: the name itself when it holds a "/",
// else the first executable of that name in PATH. Empty with `error` set
// when there is none (EACCES when one exists but may not be run).
std::string resolve_program(const std::string& name, int& error) {
  error = 0;
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  const std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  error = ENOENT;
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = (end > start ? dirs.substr(start, end - start) : ".") + "/" + name;
    start = end + 1;
    struct stat st;
    if (::stat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::access(candidate.c_str(), X_OK) == 0) {
      error = 0;
      return candidate;
    }
    error = EACCES;
  }
  return std::string();
}

// Starts args[0] (looked up on PATH) in a session of its own, stdin on
// /dev/null, so it outlives the caller and is never the caller's zombie.
// With wait_ms >= 0 it also waits that long for the program to end.
//
// The caller forks M detached (fork_detached). M forks the program G and
// reports through `report`: first the exec result (G's close-on-exec pipe
// stays silent when exec works), then G's exit status. M is reaped by init.
Launch launch(const std::vector<std::string>& args, int wait_ms) {
  Launch result;
  // Looked up here and run with execv: execvp would hand a file that is not
  // a program to the shell instead of failing.
  const std::string program = resolve_program(args[0], result.exec_error);
  if (program.empty()) return result;
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    result.exec_error = errno;
    return result;
  }
  const pid_t m = fork_detached();
  if (m < 0) {
    result.exec_error = ENOMEM;  // no process could be made
    ::close(report[0]);
    ::close(report[1]);
    return result;
  }
  if (m == 0) {
    ::close(report[0]);
    int exec_pipe[2];
    if (::pipe2(exec_pipe, O_CLOEXEC) != 0) {
      write_int(report[1], errno);
      ::_exit(1);
    }
    pid_t g = ::fork();
    if (g < 0) {
      write_int(report[1], errno);
      ::_exit(1);
    }
    if (g == 0) {
      int null_fd = ::open("/dev/null", O_RDONLY);
      if (null_fd >= 0) ::dup2(null_fd, STDIN_FILENO);
      ::execv(program.c_str(), argv.data());
      write_int(exec_pipe[1], errno);
      ::_exit(127);
    }
    ::close(exec_pipe[1]);
    // The caller may stop listening; M must not die of that before it has
    // reaped G (G itself was started with default signals).
    ::signal(SIGPIPE, SIG_IGN);
    int exec_error = 0;
    if (!read_int(exec_pipe[0], exec_error, -1)) exec_error = 0;
    write_int(report[1], exec_error);
    int status = 0;
    (void)retry_interrupted([&] { return ::waitpid(g, &status, 0); });
    write_int(report[1], WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    ::_exit(0);
  }
  ::close(report[1]);
  int exec_error = 0;
  if (!read_int(report[0], exec_error, -1)) exec_error = ENOMEM;  // M died before G ran
  result.exec_error = exec_error;
  if (exec_error == 0 && wait_ms >= 0) {
    int status = 0;
    if (read_int(report[0], status, wait_ms)) {
      result.ended = true;
      result.exit_status = status;
    }
  }
  ::close(report[0]);
  return result;
}

int start_failure_code(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return kLinkFileNotFound;
    case EACCES:
    case EPERM: return kLinkAccessDenied;
    case ENOEXEC: return kLinkBadProgram;
    case ENOMEM:
    case EAGAIN: return kLinkOutOfMemory;
    default: return kLinkOutOfResources;
  }
}

int xdg_open(const std::string& target) {
  Launch l = launch({"xdg-open", target}, kOpenWaitMs);
  if (l.exec_error != 0) return l.exec_error == ENOENT ? kLinkNoAssociation : start_failure_code(l.exec_error);
  if (!l.ended) return kLinkOpened;  // still showing what it opened
  switch (l.exit_status) {
    case 0: return kLinkOpened;
    case 2: return kLinkFileNotFound;
    case 3:
    case 4: return kLinkNoAssociation;
    default: return kLinkUnknownError;
  }
}

std::string env_or(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : fallback;
}

// The Exec line of the desktop file `id`, or empty.
std::string desktop_exec_line(const std::string& id) {
  const std::string home = env_or("HOME", "");
  std::vector<std::string> dirs{env_or("XDG_DATA_HOME", home + "/.local/share")};
  const std::string data_dirs = env_or("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
  for (size_t start = 0; start <= data_dirs.size();) {
    size_t end = data_dirs.find(':', start);
    if (end == std::string::npos) end = data_dirs.size();
    if (end > start) dirs.push_back(data_dirs.substr(start, end - start));
    start = end + 1;
  }
  for (const std::string& dir : dirs) {
    std::ifstream file(dir + "/applications/" + id);
    if (!file) continue;
    std::string line;
    bool in_entry = false;
    while (std::getline(file, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty() && line[0] == '[') in_entry = line == "[Desktop Entry]";
      else if (in_entry && line.compare(0, 5, "Exec=") == 0) return line.substr(5);
    }
  }
  return std::string();
}

bool is_target_code(const std::string& s, size_t i) {
  if (s[i] != '%' || i + 1 >= s.size()) return false;
  char c = s[i + 1];
  return c == 'u' || c == 'U' || c == 'f' || c == 'F';
}

}  // namespace

std::vector<std::string> browser_command(const std::string& exec_line, const std::string& target) {
  // Where the target would go: inside quotes, the quoted argument goes as a
  // whole; otherwise the code alone.
  size_t cut = std::string::npos, first = std::string::npos, quote_open = 0;
  bool quoted = false;
  for (size_t i = 0; i < exec_line.size(); ++i) {
    char c = exec_line[i];
    if (quoted && c == '\\' && i + 1 < exec_line.size()) {
      ++i;
      continue;
    }
    if (c == '"') {
      if (!quoted) quote_open = i;
      quoted = !quoted;
      continue;
    }
    if (is_target_code(exec_line, i)) {
      if (quoted) {
        cut = quote_open;
        break;
      }
      if (first == std::string::npos) first = i;
    }
  }
  if (cut == std::string::npos) cut = first;
  const std::string command = exec_line.substr(0, cut);

  // The Exec quoting rules: blanks separate arguments, double quotes group,
  // a backslash inside quotes takes the next character literally; "%%" is a
  // percent sign and other field codes (%i, %c, %k, ...) are dropped.
  std::vector<std::string> args;
  std::string arg;
  bool in_arg = false;
  quoted = false;
  for (size_t i = 0; i < command.size(); ++i) {
    char c = command[i];
    if (quoted) {
      if (c == '\\' && i + 1 < command.size()) arg += command[++i];
      else if (c == '"') quoted = false;
      else arg += c;
      continue;
    }
    if (c == ' ' || c == '\t') {
      if (in_arg) args.push_back(arg);
      arg.clear();
      in_arg = false;
      continue;
    }
    in_arg = true;
    if (c == '"') quoted = true;
    else if (c == '%' && i + 1 < command.size()) {
      if (command[++i] == '%') arg += '%';
    } else {
      arg += c;
    }
  }
  if (in_arg) args.push_back(arg);
  // A token that was only a field code leaves an empty argument behind.
  std::vector<std::string> kept;
  for (std::string& a : args)
    if (!a.empty()) kept.push_back(std::move(a));
  if (kept.empty()) return kept;
  kept.push_back(target);
  return kept;
}

int open_link(const std::string& target, int show) {
  int shell = xdg_open(target);
  if (shell > 32) return shell;

  std::string id;
  if (run_program("xdg-mime", {"query", "default", "text/html"}, &id) != 0) return shell;
  while (!id.empty() && (id.back() == '\n' || id.back() == '\r' || id.back() == ' ')) id.pop_back();
  if (id.empty() || id.find('/') != std::string::npos) return shell;
  std::vector<std::string> command = browser_command(desktop_exec_line(id), target);
  if (command.empty()) return shell;

  Launch l = launch(command, -1);
  return l.exec_error == 0 ? kLinkOpened : start_failure_code(l.exec_error);
}

}  // namespace tvl
