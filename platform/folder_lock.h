// FolderLock: an exclusive flock() on a folder itself, held across
// processes until release() or destruction: the writers of one folder
// (account files in users/) take it around a change, so that a lookup and
// the write that depends on it are not interleaved with another process's.
// The lock ends when the holder dies. Within one process, callers serialise
// their threads themselves (two objects on one folder exclude each other
// too, but a thread waiting on its own process would wait in vain).
//
// The program folder itself is locked the same way: a running server holds
// it exclusively for its whole life (one server per program folder,
// whatever its state folder), and tvlctl holds it shared while it changes
// the files without a server, so neither works behind the other.
// Thread safety: one object is used by one thread at a time.
#pragma once
#include <string>

#include "platform/unique_fd.h"

namespace tvl {

class FolderLock {
 public:
  // Locks `folder`, waiting at most wait_ms for another holder. False when
  // the folder cannot be opened or the wait ran out; nothing is held then.
  [[nodiscard]] bool acquire(const std::string& folder, int wait_ms);

  enum class Mode {
    Exclusive,  // one holder, no shared ones
    Shared,     // any number of shared holders, no exclusive one
  };
  enum class Outcome {
    Locked,  // this object holds the lock now
    Busy,    // another holder kept it for the whole wait
    Failed,  // the folder could not be opened (missing, no permission)
  };
  // Like acquire() in either mode, telling a busy lock from a folder that
  // cannot be opened. Nothing is held unless Locked.
  Outcome take(const std::string& folder, Mode mode, int wait_ms);
  void release();
  bool held() const { return fd_.valid(); }

 private:
  UniqueFd fd_;  // closing it ends the lock
};

}  // namespace tvl
