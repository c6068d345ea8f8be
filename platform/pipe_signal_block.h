// PipeSignalBlock: for its scope, a write on a connection the other side
// has closed cannot end the process. Our own sockets send with
// MSG_NOSIGNAL; a library that writes with write() (the Redis client) runs
// inside one of these instead, so that tvlctl and the tests, which do not
// ignore SIGPIPE as tvlService does, survive a Redis that went away.
// Thread safety: acts on the calling thread's signal mask only; the object
// must be destroyed on the thread that made it.
#pragma once

#include <signal.h>

namespace tvl {

class PipeSignalBlock {
 public:
  PipeSignalBlock();   // blocks SIGPIPE for this thread
  ~PipeSignalBlock();  // takes away a SIGPIPE raised meanwhile, then unblocks
  PipeSignalBlock(const PipeSignalBlock&) = delete;
  PipeSignalBlock& operator=(const PipeSignalBlock&) = delete;

 private:
  bool was_blocked_ = false;
};

}  // namespace tvl
