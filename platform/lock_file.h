// A named single-instance lock: an flock()ed file. The lock belongs to the
// open file, so it ends when the holder releases it, closes the object or
// dies; a lock file left behind by a crashed holder never blocks anyone.
// Two LockFile objects of the same process on the same path exclude each
// other like two processes do.
// Thread safety: one object is used by one thread at a time.
#pragma once
#include <string>

#include "platform/unique_fd.h"

namespace tvl {

class LockFile {
 public:
  enum Result {
    kAcquired,  // this object holds the lock now
    kHeld,      // another holder has it
    kFailed,    // the file could not be created or opened
  };

  ~LockFile();  // release()

  // Creates the file when missing (mode 0644) and takes the lock without
  // waiting. An object that already holds a lock releases it first.
  Result acquire(const std::string& path);
  void release();
  bool held() const { return fd_.valid(); }

 private:
  UniqueFd fd_;
};

}  // namespace tvl
