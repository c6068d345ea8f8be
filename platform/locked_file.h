// LockedFile: an existing regular file opened for reading under an exclusive
// flock() held until close(), so that one process at a time reads, changes
// and replaces it (FileReplacement renames a new file over the path). Since a
// replacement puts a new file under the path, a lock taken on the file the
// path named before is worth nothing: open() checks after locking that the
// path still names the locked file and starts again when it does not.
//
// The lock belongs to the open file: it ends at close(), at exit or when the
// holder dies, so a crashed holder never blocks anyone. Two objects of one
// process exclude each other like two processes do.
// Thread safety: one object is used by one thread at a time.
#pragma once
#include <cstdint>
#include <string>

#include "platform/reason.h"
#include "platform/unique_fd.h"

namespace tvl {

enum class LockedOpen {
  Opened,    // open and locked
  Missing,   // no such file
  NotAFile,  // a folder or anything else that is not a regular file
  Busy,      // another holder kept the lock for the whole wait
  Failed,    // it could not be opened (permissions, an I/O error)
};

class LockedFile {
 public:
  // Opens `path` read-only and takes the lock, waiting at most wait_ms for
  // another holder. An object already open is closed first. On any result
  // but Opened the object is closed; `why` then says why, for a person.
  LockedOpen open(const std::string& path, int wait_ms, Reason& why);
  void close();
  bool is_open() const { return fd_.valid(); }

  const std::string& path() const { return path_; }
  int64_t size() const { return size_; }
  int mode() const { return mode_; }  // permission bits (07777)
  unsigned owner() const { return uid_; }
  unsigned group() const { return gid_; }

  // Reads up to len bytes at pos; *got receives how many (fewer at the end
  // of the file). False on a read error.
  [[nodiscard]] bool read(int64_t pos, void* out, int64_t len, int64_t* got);

 private:
  UniqueFd fd_;  // closing it ends the lock
  std::string path_;
  int64_t size_ = 0;
  int mode_ = 0;
  unsigned uid_ = 0, gid_ = 0;
};

}  // namespace tvl
