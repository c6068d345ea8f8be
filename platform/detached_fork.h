// The double fork both program starters use: a process of a session of its
// own whose parent has already ended, so that it outlives the caller and is
// never the caller's zombie (init reaps it).
// Thread safety: may be called from any thread; the new process runs only
// async-signal-safe calls until it executes a program.
#pragma once
#include <sys/types.h>

namespace tvl {

// In a forked child: every signal back to its default and unblocked, so a
// caller that blocks the stop signals (the service dispatcher does) does not
// hand that mask on to the programs it starts.
void reset_signals_in_child();

// Forks the caller into a detached process: returns 0 in that process
// (signals reset, a new session, its parent gone), its pid in the caller,
// and -1 in the caller when it could not be made.
pid_t fork_detached();

}  // namespace tvl
