// FileReplacement: a file changed whole or not at all. The new contents are
// written to "<path>.new" beside it, flushed to the disk, renamed over the
// path in one step, and the folder is flushed so that the rename survives a
// crash too. Until commit() succeeds the file under the path is untouched;
// whatever interrupts the change (a kill, a crash, a full disk) leaves the
// old file, and at worst a "<path>.new" that the next replacement of the
// same path overwrites.
//
// The caller holds the path's LockedFile for the whole change, so that one
// writer at a time uses the ".new" name. The new file takes the old one's
// permission bits and owner (a change made as root leaves the file to the
// user who owned it); an owner that cannot be kept refuses the change.
//
// Writes go through the fault-injection steps of write_faults.h.
// Thread safety: one object is used by one thread at a time.
#pragma once
#include <cstdint>
#include <string>

#include "platform/reason.h"

namespace tvl {

class LockedFile;

class FileReplacement {
 public:
  FileReplacement() = default;
  ~FileReplacement();  // abandons an unfinished replacement
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // Creates "<path>.new" (replacing a leftover) with the mode and owner of
  // the locked original. False when it cannot; why says so, and nothing
  // is left behind.
  [[nodiscard]] bool begin(const LockedFile& original, Reason& why);
  // Writes len bytes at pos of the new file. False on a failed or short
  // write (why set); the replacement must then be abandoned.
  [[nodiscard]] bool write(int64_t pos, const void* data, int64_t len, Reason& why);
  // Flushes the new file, renames it over the path and flushes the folder.
  // False when a step failed before the rename (the old file stands, the
  // new one is removed) or the folder could not be flushed after it (the
  // new file stands but a crash might still undo the rename).
  [[nodiscard]] bool commit(Reason& why);
  // Closes and removes an unfinished new file.
  void abandon();

 private:
  int fd_ = -1;
  std::string path_, temp_;
};

}  // namespace tvl
