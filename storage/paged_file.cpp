#include "storage/paged_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include "platform/retry.h"

namespace tvl {

namespace {
// 4096 pages of 64 KiB: 256 MiB of cached file before everything is written
// back and dropped. Record files of this system are far smaller.
constexpr std::size_t kMaxPages = 4096;

bool pread_all(int fd, void* out, int64_t len, int64_t pos, int64_t* got) {
  auto* p = static_cast<uint8_t*>(out);
  int64_t done = 0;
  while (done < len) {
    ssize_t n = retry_interrupted(
        [&] { return ::pread(fd, p + done, std::size_t(len - done), off_t(pos + done)); });
    if (n < 0) {
      *got = done;
      return false;
    }
    if (n == 0) break;
    done += n;
  }
  *got = done;
  return true;
}

bool pwrite_all(int fd, const void* data, int64_t len, int64_t pos) {
  auto* p = static_cast<const uint8_t*>(data);
  int64_t done = 0;
  while (done < len) {
    ssize_t n = retry_interrupted(
        [&] { return ::pwrite(fd, p + done, std::size_t(len - done), off_t(pos + done)); });
    if (n < 0) return false;
    done += n;
  }
  return true;
}
}  // namespace

PagedFile::~PagedFile() { close(); }

bool PagedFile::open(const std::string& path) {
  close();
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  size_ = disk_size_ = st.st_size;
  return true;
}

bool PagedFile::close() {
  if (fd_ < 0) return true;
  bool ok = flush();
  drop_all();
  ::close(fd_);
  fd_ = -1;
  size_ = disk_size_ = 0;
  return ok;
}

bool PagedFile::read_direct(int64_t pos, void* out, int64_t len) {
  if (fd_ < 0 || pos < 0 || len < 0) return false;
  int64_t got = 0;
  return pread_all(fd_, out, len, pos, &got) && got == len;
}

bool PagedFile::write_direct(int64_t pos, const void* data, int64_t len) {
  if (fd_ < 0 || pos < 0 || len < 0) return false;
  if (!pwrite_all(fd_, data, len, pos)) return false;
  size_ = std::max(size_, pos + len);
  return true;
}

PagedFile::Page* PagedFile::page(int64_t index) {
  if (index < 0) return nullptr;
  if (std::size_t(index) >= pages_.size()) pages_.resize(std::size_t(index) + 1);
  auto& slot = pages_[std::size_t(index)];
  if (!slot) {
    slot.reset(new (std::nothrow) Page);
    if (!slot) return nullptr;
    ++loaded_;
    int64_t start = index << kPageBits;
    int64_t got = 0;
    if (start < disk_size_) pread_all(fd_, slot->data, kPageSize, start, &got);
    if (got < kPageSize) std::memset(slot->data + got, 0, std::size_t(kPageSize - got));
  }
  return slot.get();
}

void PagedFile::mark(Page* p, int64_t lo, int64_t hi) {
  if (p->dirty_lo < 0) {
    p->dirty_lo = lo;
    p->dirty_hi = hi;
  } else {
    p->dirty_lo = std::min(p->dirty_lo, lo);
    p->dirty_hi = std::max(p->dirty_hi, hi);
  }
}

bool PagedFile::read(int64_t pos, void* out, int64_t len) {
  if (fd_ < 0 || pos < 0 || len < 0 || pos > size_ - len) return false;
  auto* o = static_cast<uint8_t*>(out);
  while (len > 0) {
    Page* p = page(pos >> kPageBits);
    if (!p) return false;
    int64_t off = pos & (kPageSize - 1);
    int64_t n = std::min(len, kPageSize - off);
    std::memcpy(o, p->data + off, std::size_t(n));
    o += n;
    pos += n;
    len -= n;
  }
  return true;
}

bool PagedFile::write(int64_t pos, const void* data, int64_t len) {
  if (fd_ < 0 || pos < 0 || len < 0 || pos > size_ || len > (int64_t(1) << 31)) return false;
  auto* d = static_cast<const uint8_t*>(data);
  int64_t end = pos + len;
  while (len > 0) {
    Page* p = page(pos >> kPageBits);
    if (!p) return false;
    int64_t off = pos & (kPageSize - 1);
    int64_t n = std::min(len, kPageSize - off);
    std::memcpy(p->data + off, d, std::size_t(n));
    mark(p, off, off + n);
    d += n;
    pos += n;
    len -= n;
  }
  size_ = std::max(size_, end);
  return true;
}

uint8_t* PagedFile::span(int64_t pos, int64_t len, bool for_write) {
  if (fd_ < 0 || pos < 0 || len <= 0 || pos > size_ - len) return nullptr;
  int64_t off = pos & (kPageSize - 1);
  if (off + len > kPageSize) return nullptr;
  Page* p = page(pos >> kPageBits);
  if (!p) return nullptr;
  if (for_write) mark(p, off, off + len);
  return p->data + off;
}

bool PagedFile::flush() {
  if (fd_ < 0) return true;
  bool ok = true;
  for (std::size_t i = 0; i < pages_.size(); ++i) {
    Page* p = pages_[i].get();
    if (!p || p->dirty_lo < 0) continue;
    int64_t start = int64_t(i) << kPageBits;
    // Never write past the logical end (the page tail is not file content).
    int64_t hi = std::min(p->dirty_hi, size_ - start);
    if (hi > p->dirty_lo &&
        !pwrite_all(fd_, p->data + p->dirty_lo, hi - p->dirty_lo, start + p->dirty_lo))
      ok = false;
    p->dirty_lo = p->dirty_hi = -1;
  }
  disk_size_ = std::max(disk_size_, size_);
  return ok;
}

void PagedFile::trim() {
  if (loaded_ <= kMaxPages) return;
  flush();
  drop_all();
}

void PagedFile::drop_all() {
  pages_.clear();
  loaded_ = 0;
}

}  // namespace tvl
