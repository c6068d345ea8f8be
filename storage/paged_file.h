// PagedFile: a write-back page cache over one file, used by the record file
// engine. Reads and writes address byte ranges; pages of 64 KiB are read on
// first use and kept; writes change only the cached pages. The file on the
// disk is never written in place: commit() writes the whole new contents
// into a replacement file and renames it over the old one, so the file is
// changed whole or not at all, whatever interrupts the change. The logical
// size grows with writes at or past the end.
//
// The file is locked (LockedFile) from open() to close(): one handle in one
// process at a time reads it, changes it and replaces it, so that no change
// of another writer is lost between the read and the replacement.
//
// Contracts:
//  - read() fails for a range that is negative or passes the logical end;
//    write() fails for a negative position or one past the logical end (a
//    write may extend the file only by appending).
//  - span() pointers stay valid until the next trim() or close(); callers
//    never keep them across operations.
// Thread safety: none; one owner at a time (the RecordFile handle).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/locked_file.h"
#include "platform/reason.h"

namespace tvl {

class PagedFile {
 public:
  static constexpr int kPageBits = 16;
  static constexpr int64_t kPageSize = int64_t(1) << kPageBits;
  // How long open() waits for another holder of the file's lock.
  static constexpr int kLockWaitMs = 20000;

  PagedFile() = default;
  ~PagedFile();
  PagedFile(const PagedFile&) = delete;
  PagedFile& operator=(const PagedFile&) = delete;

  // Opens an existing file and locks it (never creates). Anything but
  // Opened leaves the object closed and says why in `why`.
  LockedOpen open(const std::string& path, Reason& why);
  // Closes without writing anything: changes not committed are dropped.
  void close();
  bool is_open() const { return file_.is_open(); }
  int64_t size() const { return size_; }
  // Whether anything was written since open() or the last commit().
  bool changed() const { return changed_; }

  // Raw read that bypasses the cache (the header at offset 0 at open).
  bool read_direct(int64_t pos, void* out, int64_t len);

  bool read(int64_t pos, void* out, int64_t len);
  bool write(int64_t pos, const void* data, int64_t len);

  // A pointer to len bytes at pos when they lie inside one page (and inside
  // the logical file), else nullptr. With for_write the range counts as
  // changed.
  uint8_t* span(int64_t pos, int64_t len, bool for_write);

  // Replaces the file on the disk with the cached contents (FileReplacement).
  // False when that failed: the file on the disk is as it was at open() (or
  // at the last commit), `why` says why, and the cache still holds the
  // changes.
  [[nodiscard]] bool commit(Reason& why);
  // When more than the memory budget is cached: drops the pages nothing was
  // written to.
  void trim();

 private:
  struct Page {
    uint8_t data[kPageSize];
    bool dirty = false;  // differs from the locked file on the disk
  };
  Page* page(int64_t index);  // loads on demand; nullptr on allocation failure
  bool write_contents(class FileReplacement& out, Reason& why);

  LockedFile file_;
  int64_t size_ = 0;       // logical size
  int64_t disk_size_ = 0;  // size of the locked file (pages beyond are new)
  bool changed_ = false;
  std::vector<std::unique_ptr<Page>> pages_;
  std::size_t loaded_ = 0;
};

}  // namespace tvl
