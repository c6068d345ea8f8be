#include "platform/pipe_signal_block.h"

#include <pthread.h>

#include <ctime>

namespace tvl {

PipeSignalBlock::PipeSignalBlock() {
  sigset_t pipe, old;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  sigemptyset(&old);
  (void)pthread_sigmask(SIG_BLOCK, &pipe, &old);  // cannot fail with a valid set
  was_blocked_ = sigismember(&old, SIGPIPE) == 1;
}

PipeSignalBlock::~PipeSignalBlock() {
  if (was_blocked_) return;  // an outer block takes care of it
  sigset_t pending;
  sigemptyset(&pending);
  // A SIGPIPE of a write on this thread is pending for this thread: taken
  // here, it is never delivered.
  if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec now = {0, 0};
    (void)sigtimedwait(&pipe, nullptr, &now);
  }
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  (void)pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
}

}  // namespace tvl
