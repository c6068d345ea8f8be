#include "platform/fs.h"

#include <algorithm>

#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include "platform/retry.h"

namespace tvl {

std::string program_folder() {
  std::string full = program_path();
  std::size_t slash = full.rfind('/');
  if (slash == std::string::npos) return std::string();
  return full.substr(0, slash + 1);
}

std::string state_folder() {
  const char* dir = std::getenv("TAVELLA_STATE_DIR");
  std::string folder = dir && *dir ? dir : "/var/lib/tavella/";
  if (folder.back() != '/') folder += '/';
  return folder;
}

bool make_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  return errno == EEXIST && is_directory(path);
}

bool is_regular_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_writable(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> find_files(const std::string& pattern) {
  std::vector<std::string> names;
  std::size_t slash = pattern.rfind('/');
  std::string folder = slash == std::string::npos ? "./" : pattern.substr(0, slash + 1);
  std::string mask = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir)) {
    // FNM_PERIOD off: "*.gif" matches ".x.gif" as a wildcard search would.
    if (::fnmatch(mask.c_str(), entry->d_name, 0) != 0) continue;
    bool file = entry->d_type == DT_REG;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK)
      file = is_regular_file(folder + entry->d_name);
    if (file) names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return names;
}

std::vector<std::string> list_folder(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

bool read_whole_file(const std::string& path, std::string& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string data;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) data.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = retry_interrupted([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  out.swap(data);
  return true;
}

bool read_file_head(const std::string& path, std::size_t max_bytes, std::string& out, bool& cut) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string data;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
    data.reserve(std::min<std::size_t>(static_cast<std::size_t>(st.st_size), max_bytes));
  char buffer[65536];
  cut = false;
  for (;;) {
    // One byte beyond the bound tells whether the file goes on.
    const std::size_t room = max_bytes + 1 - data.size();
    ssize_t n = retry_interrupted([&] { return ::read(fd, buffer, std::min(sizeof buffer, room)); });
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (data.size() > max_bytes) {
      cut = true;
      data.resize(max_bytes);
      break;
    }
  }
  ::close(fd);
  out.swap(data);
  return true;
}

bool write_whole_file(const std::string& path, const std::string& data) {
  Reason unread;
  return write_whole_file(path, data, unread);
}

bool write_whole_file(const std::string& path, const std::string& data, Reason& why) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return why.fail("cannot create " + path + ": " + std::strerror(errno));
  bool ok = write_all(fd, data.data(), data.size());
  if (::close(fd) != 0) ok = false;
  return ok || why.fail("cannot write " + path);
}

bool delete_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool write_new_file_synced(const std::string& path, const std::string& data, int mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = (mode < 0 || ::fchmod(fd, static_cast<mode_t>(mode)) == 0) && write_all(fd, data.data(), data.size());
  // The data must be on the disk before the file takes another's place:
  // otherwise a crash right after the rename may leave an empty file.
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (!ok) ::unlink(path.c_str());
  return ok;
}

bool rename_file(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool link_file_exclusive(const std::string& from, const std::string& to) {
  return ::link(from.c_str(), to.c_str()) == 0;
}

bool read_file_part(const std::string& path, long long offset, std::size_t max_bytes,
                    std::string& out, long long* size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  *size = ::fstat(fd, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
  std::string part(max_bytes, '\0');
  std::size_t got = 0;
  while (got < max_bytes) {
    const ssize_t n = retry_interrupted(
        [&] { return ::pread(fd, &part[got], max_bytes - got, static_cast<off_t>(offset + got)); });
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  part.resize(got);
  out = std::move(part);
  return true;
}

bool replace_whole_file(const std::string& path, const std::string& data) {
  const std::string temp = path + ".new";
  (void)::unlink(temp.c_str());  // a leftover of an interrupted replacement
  if (!write_new_file_synced(temp, data, file_mode(path))) return false;
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    (void)::unlink(temp.c_str());
    return false;
  }
  return true;
}

bool make_private_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) return true;
  return errno == EEXIST && is_directory(path);
}

bool set_file_mode(const std::string& path, int mode) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return false;
  return ::chmod(path.c_str(), mode_t(mode)) == 0;
}

bool rename_file_exclusive(const std::string& from, const std::string& to) {
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

int file_mode(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

long long folder_change_stamp(const std::string& folder) {
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0) return -1;
  // The modification time moves with every entry added, removed or renamed.
  return static_cast<long long>(st.st_mtim.tv_sec) * 1'000'000'000LL + st.st_mtim.tv_nsec;
}

long long folder_stamp_now_ns() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

}  // namespace tvl
