#include "server/web_files.h"

#include <cerrno>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace tvl {

namespace {

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Reads up to `size` bytes into `into`; returns the count read.
std::size_t read_fully(int fd, char* into, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, into + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return done;
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
    std::shared_lock<std::shared_mutex> hold(lock_);
    auto it = entries_.find(name);
    if (it == entries_.end()) return nullptr;
    entry = it->second;
  }
  struct stat st;
  if (::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == entry.dev &&
      st.st_ino == entry.ino && st.st_size == entry.size &&
      same_time(st.st_mtim, entry.mtime) && same_time(st.st_ctim, entry.ctime))
    return entry.bytes;
  std::unique_lock<std::shared_mutex> hold(lock_);
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
  std::unique_lock<std::shared_mutex> hold(lock_);
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
  int fd = open_regular(name, st);
  if (fd < 0) return false;
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  const std::size_t answer_start = out.size();
  hook(context, size);
  const std::size_t body_start = out.size();
  out.resize(body_start + size);
  const std::size_t got = read_fully(fd, out.data() + body_start, size);
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

bool WebFiles::read(const std::string& name, std::shared_ptr<const std::string>& content) {
  if ((content = lookup(name))) return true;
  struct stat st;
  int fd = open_regular(name, st);
  if (fd < 0) return false;
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  bytes.resize(read_fully(fd, bytes.data(), bytes.size()));
  ::close(fd);
  if (bytes.size() == static_cast<std::size_t>(st.st_size)) remember(name, st, bytes);
  content = std::make_shared<const std::string>(std::move(bytes));
  return true;
}

void WebFiles::clear() {
  std::unique_lock<std::shared_mutex> hold(lock_);
  entries_.clear();
  total_ = 0;
}

}  // namespace tvl
