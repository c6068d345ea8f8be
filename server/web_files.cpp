#include "server/web_files.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>
#include "platform/retry.h"
#include "storage/ip_list.h"

namespace tvl {

namespace {

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// O_NONBLOCK keeps a pipe planted in the folder from blocking the open; it
// is refused below anyway.
int open_regular(const std::string& name, struct stat& st) {
  int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool private_file(std::string_view path) {
  std::string name(path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1));
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  static const char* const kNames[] = {
      "option.ini",   "rooms.sdb",  "rooms.txt", "service.log", kAcceptListFile, kRejectListFile,
      "events.log",   "tvlservice", "tavella",   "sdbtool",     "registry.txt"};
  for (const char* private_name : kNames)
    if (name == private_name) return true;
  static const char* const kEndings[] = {".ini", ".sdb", ".log", ".db", ".pid", ".lock", ".status"};
  for (std::string_view ending : kEndings)
    if (name.size() >= ending.size() && name.compare(name.size() - ending.size(), ending.size(), ending) == 0)
      return true;
  return name.find(".tmp-") != std::string::npos;
}

bool unsafe_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return true;
  for (std::size_t at = path.find(".."); at != std::string_view::npos;
       at = path.find("..", at + 1)) {
    bool starts = at == 0 || path[at - 1] == '/';
    bool ends = at + 2 == path.size() || path[at + 2] == '/';
    if (starts && ends) return true;
  }
  return false;
}

std::shared_ptr<const std::string> WebFiles::lookup(const std::string& name) {
  Entry entry;
  {
    SharedLock hold(lock_);
    auto it = entries_.find(name);
    if (it == entries_.end()) return nullptr;
    entry = it->second;
  }
  struct stat st;
  if (::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == entry.dev &&
      st.st_ino == entry.ino && st.st_size == entry.size &&
      same_time(st.st_mtim, entry.mtime) && same_time(st.st_ctim, entry.ctime))
    return entry.bytes;
  MutexLock hold(lock_);
  auto it = entries_.find(name);
  if (it != entries_.end() && it->second.bytes == entry.bytes) {
    total_ -= it->second.bytes->size();
    entries_.erase(it);
  }
  return nullptr;
}

void WebFiles::remember(const std::string& name, const struct stat& st, std::string_view bytes) {
  // Times within the last two seconds may still change without the stamp
  // changing (coarse file-system clocks); such a file is read fresh each time.
  const std::time_t settled = std::time(nullptr) - 2;
  if (st.st_mtim.tv_sec > settled || st.st_ctim.tv_sec > settled) return;
  if (bytes.size() > kMaxCachedFile) return;
  auto content = std::make_shared<const std::string>(bytes);
  MutexLock hold(lock_);
  auto it = entries_.find(name);
  std::size_t replaced = it == entries_.end() ? 0 : it->second.bytes->size();
  if (total_ - replaced + bytes.size() > kMaxCachedTotal) return;
  if (it == entries_.end() && entries_.size() >= kMaxCachedFiles) return;
  total_ = total_ - replaced + bytes.size();
  entries_[name] = Entry{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim,
                         std::move(content)};
}

bool WebFiles::append_impl(const std::string& name, std::string& out, void* context,
                           BodyHook hook) {
  if (auto cached = lookup(name)) {
    hook(context, cached->size());
    out += *cached;
    return true;
  }
  struct stat st;
  int fd = open_inside(name, st);
  if (fd < 0) return false;
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  const std::size_t answer_start = out.size();
  hook(context, size);
  const std::size_t body_start = out.size();
  out.resize(body_start + size);
  const std::size_t got = read_up_to(fd, out.data() + body_start, size);
  ::close(fd);
  if (got < size) {
    // The header announced more than could be read: answer with what was
    // read and its true count.
    std::string body(out, body_start, got);
    out.resize(answer_start);
    hook(context, got);
    out += body;
    return true;
  }
  remember(name, st, std::string_view(out).substr(body_start, size));
  return true;
}

FileStream::~FileStream() {
  if (fd_ >= 0) ::close(fd_);
}

void FileStream::restrict(std::uint64_t offset, std::uint64_t length) {
  if (offset > size_) offset = size_;
  base_ += offset;
  size_ = std::min(length, size_ - offset);
}

long FileStream::read_at(std::uint64_t offset, char* buffer, std::size_t size) {
  if (offset >= size_) return 0;
  size = static_cast<std::size_t>(std::min<std::uint64_t>(size, size_ - offset));
  return static_cast<long>(retry_interrupted(
      [&] { return ::pread(fd_, buffer, size, static_cast<off_t>(base_ + offset)); }));
}

bool WebFiles::fetch(const std::string& name, std::size_t stream_from,
                     std::shared_ptr<const std::string>& bytes,
                     std::unique_ptr<FileStream>& stream) {
  if ((bytes = lookup(name))) return true;
  struct stat st;
  int fd = open_inside(name, st);
  if (fd < 0) return false;
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  if (size >= stream_from) {
    stream = std::make_unique<FileStream>(fd, size);
    return true;
  }
  std::string content(size, '\0');
  content.resize(read_up_to(fd, content.data(), content.size()));
  ::close(fd);
  if (content.size() == size) remember(name, st, content);
  bytes = std::make_shared<const std::string>(std::move(content));
  return true;
}

bool WebFiles::read(const std::string& name, std::shared_ptr<const std::string>& content) {
  if ((content = lookup(name))) return true;
  struct stat st;
  int fd = open_inside(name, st);
  if (fd < 0) return false;
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  bytes.resize(read_up_to(fd, bytes.data(), bytes.size()));
  ::close(fd);
  if (bytes.size() == static_cast<std::size_t>(st.st_size)) remember(name, st, bytes);
  content = std::make_shared<const std::string>(std::move(bytes));
  return true;
}

void WebFiles::restrict_to(const std::string& root) {
  restricted_ = true;
  real_root_.clear();
  char* real = ::realpath(root.empty() ? "." : root.c_str(), nullptr);
  if (!real) return;
  real_root_ = real;
  std::free(real);
  if (real_root_.empty() || real_root_.back() != '/') real_root_ += '/';
}

// Opens the file, then asks the system where the opened file really is, so
// that no link swapped in between a check and the open can lead elsewhere.
// Only files not in the cache get here; a cached file was checked when it
// was read, and a link replacing it later changes its identity and so
// misses the cache.
int WebFiles::open_inside(const std::string& name, struct stat& st) const {
  int fd = open_regular(name, st);
  if (fd < 0 || !restricted_) return fd;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char real[PATH_MAX + 1];
  ssize_t n = ::readlink(link, real, PATH_MAX);
  std::string where;
  if (n > 0) {
    where.assign(real, static_cast<std::size_t>(n));
  } else if (char* resolved = ::realpath(name.c_str(), nullptr)) {
    where = resolved;
    std::free(resolved);
  }
  if (real_root_.empty() || where.compare(0, real_root_.size(), real_root_) != 0) {
    ::close(fd);
    return -1;
  }
  // The program's own files are judged by where they really are, not by the
  // name asked for: a link "help/settings.txt -> ../option.ini" or one to an
  // account under users/ serves nothing.
  if (private_file(where) || where.compare(real_root_.size(), 6, "users/") == 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void WebFiles::clear() {
  MutexLock hold(lock_);
  entries_.clear();
  total_ = 0;
}

}  // namespace tvl
