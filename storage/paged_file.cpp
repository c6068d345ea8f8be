#include "storage/paged_file.h"

#include <algorithm>
#include <cstring>
#include "platform/retry.h"

#include "platform/file_replacement.h"

namespace tvl {

namespace {
// 4096 pages of 64 KiB: 256 MiB of cached file before clean pages are
// dropped. Record files of this system are far smaller.
constexpr std::size_t kMaxPages = 4096;
}  // namespace

PagedFile::~PagedFile() { close(); }

LockedOpen PagedFile::open(const std::string& path, Reason& why) {
  close();
  const LockedOpen result = file_.open(path, kLockWaitMs, why);
  if (result == LockedOpen::Opened) size_ = disk_size_ = file_.size();
  return result;
}

void PagedFile::close() {
  file_.close();
  pages_.clear();
  loaded_ = 0;
  size_ = disk_size_ = 0;
  changed_ = false;
}

bool PagedFile::read_direct(int64_t pos, void* out, int64_t len) {
  int64_t got = 0;
  return file_.is_open() && file_.read(pos, out, len, &got) && got == len;
}

PagedFile::Page* PagedFile::page(int64_t index) {
  if (index < 0) return nullptr;
  if (std::size_t(index) >= pages_.size()) pages_.resize(std::size_t(index) + 1);
  auto& slot = pages_[std::size_t(index)];
  if (!slot) {
    slot.reset(new (std::nothrow) Page);
    if (!slot) return nullptr;
    ++loaded_;
    const int64_t start = index << kPageBits;
    int64_t got = 0;
    if (start < disk_size_ && !file_.read(start, slot->data, kPageSize, &got)) {
      slot.reset();
      --loaded_;
      return nullptr;
    }
    if (got < kPageSize) std::memset(slot->data + got, 0, std::size_t(kPageSize - got));
  }
  return slot.get();
}

bool PagedFile::read(int64_t pos, void* out, int64_t len) {
  if (!is_open() || pos < 0 || len < 0 || pos > size_ - len) return false;
  auto* o = static_cast<uint8_t*>(out);
  while (len > 0) {
    Page* p = page(pos >> kPageBits);
    if (!p) return false;
    const int64_t off = pos & (kPageSize - 1);
    const int64_t n = std::min(len, kPageSize - off);
    std::memcpy(o, p->data + off, std::size_t(n));
    o += n;
    pos += n;
    len -= n;
  }
  return true;
}

bool PagedFile::write(int64_t pos, const void* data, int64_t len) {
  if (!is_open() || pos < 0 || len < 0 || pos > size_ || len > (int64_t(1) << 31)) return false;
  auto* d = static_cast<const uint8_t*>(data);
  const int64_t end = pos + len;
  while (len > 0) {
    Page* p = page(pos >> kPageBits);
    if (!p) return false;
    const int64_t off = pos & (kPageSize - 1);
    const int64_t n = std::min(len, kPageSize - off);
    std::memcpy(p->data + off, d, std::size_t(n));
    p->dirty = true;
    d += n;
    pos += n;
    len -= n;
  }
  changed_ = true;
  size_ = std::max(size_, end);
  return true;
}

uint8_t* PagedFile::span(int64_t pos, int64_t len, bool for_write) {
  if (!is_open() || pos < 0 || len <= 0 || pos > size_ - len) return nullptr;
  const int64_t off = pos & (kPageSize - 1);
  if (off + len > kPageSize) return nullptr;
  Page* p = page(pos >> kPageBits);
  if (!p) return nullptr;
  if (for_write) {
    p->dirty = true;
    changed_ = true;
  }
  return p->data + off;
}

// The whole logical file, page by page: cached pages as they stand, the
// others copied from the old file.
bool PagedFile::write_contents(FileReplacement& out, Reason& why) {
  std::vector<uint8_t> copy;
  for (int64_t start = 0; start < size_; start += kPageSize) {
    const int64_t len = std::min(kPageSize, size_ - start);
    const std::size_t index = std::size_t(start >> kPageBits);
    const uint8_t* data = nullptr;
    if (index < pages_.size() && pages_[index]) {
      data = pages_[index]->data;
    } else {
      copy.resize(std::size_t(kPageSize));
      int64_t got = 0;
      if (!file_.read(start, copy.data(), len, &got) || got != len) {
        return why.fail("cannot read " + file_.path());
      }
      data = copy.data();
    }
    if (!out.write(start, data, len, why)) return false;
  }
  return true;
}

bool PagedFile::commit(Reason& why) {
  if (!is_open()) return false;
  if (!changed_) return true;
  FileReplacement out;
  if (!out.begin(file_, why) || !write_contents(out, why) || !out.commit(why)) return false;
  // The new file is the file now. This handle still reads the old one
  // (which it keeps locked until close(): a writer waiting for it finds the
  // path replaced and locks the new file instead), so the pages that differ
  // from it stay marked and cached.
  changed_ = false;
  return true;
}

void PagedFile::trim() {
  if (loaded_ <= kMaxPages) return;
  for (auto& p : pages_) {
    if (p && !p->dirty) {
      p.reset();
      --loaded_;
    }
  }
}

}  // namespace tvl
