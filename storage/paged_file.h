// PagedFile: a write-back page cache over one open file, used by the record
// file engine. Reads and writes address byte ranges; pages of 64 KiB are read
// on first use and kept; writes change the cached page and mark the changed
// byte range, which reaches the file only at flush() (close flushes). The
// logical size grows with writes at or past the end.
//
// Contracts:
//  - read() fails for a range that is negative or passes the logical end;
//    write() fails for a negative position or one past the logical end (a
//    write may extend the file only by appending).
//  - span() pointers stay valid until the next trim(), flush-and-drop or
//    close(); callers never keep them across operations.
//  - Only the byte ranges written are ever written back.
// Thread safety: none; one owner at a time (the RecordFile handle).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tvl {

class PagedFile {
 public:
  static constexpr int kPageBits = 16;
  static constexpr int64_t kPageSize = int64_t(1) << kPageBits;

  PagedFile() = default;
  ~PagedFile();
  PagedFile(const PagedFile&) = delete;
  PagedFile& operator=(const PagedFile&) = delete;

  // Opens an existing file read/write (never creates). False when it cannot.
  bool open(const std::string& path);
  // Flushes (result of the flush is returned) and closes.
  bool close();
  bool is_open() const { return fd_ >= 0; }
  int64_t size() const { return size_; }

  // Raw access that bypasses the cache (the header at offset 0).
  bool read_direct(int64_t pos, void* out, int64_t len);
  bool write_direct(int64_t pos, const void* data, int64_t len);

  bool read(int64_t pos, void* out, int64_t len);
  bool write(int64_t pos, const void* data, int64_t len);

  // A pointer to len bytes at pos when they lie inside one page (and inside
  // the logical file), else nullptr. With for_write the range is marked
  // changed.
  uint8_t* span(int64_t pos, int64_t len, bool for_write);

  // Writes every changed range back. False on a write error.
  bool flush();
  // When more than the memory budget is cached: flush and drop all pages.
  void trim();

 private:
  struct Page {
    uint8_t data[kPageSize];
    int64_t dirty_lo = -1, dirty_hi = -1;  // changed range within the page
  };
  Page* page(int64_t index);  // loads on demand; nullptr on allocation failure
  void mark(Page* p, int64_t lo, int64_t hi);
  void drop_all();

  int fd_ = -1;
  int64_t size_ = 0;       // logical size
  int64_t disk_size_ = 0;  // size on disk when opened (pages beyond are new)
  std::vector<std::unique_ptr<Page>> pages_;
  std::size_t loaded_ = 0;
};

}  // namespace tvl
