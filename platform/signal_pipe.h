// The stop signals (SIGTERM, SIGINT) of a program with an event loop: the
// handler writes one byte to a pipe, whose reading end the loop watches, so
// the stop is handled on the loop's thread like any other command.
// Thread safety: open once, from the main thread, before other threads start.
#pragma once

namespace tvl {

// Installs the handler for SIGTERM and SIGINT and returns the pipe's reading
// end (non-blocking, close-on-exec); -1 when the pipe or handler could not be
// set up (the signals then keep their default action).
int open_term_signal_pipe();

// Reads away every byte that is waiting in the pipe.
void drain_signal_pipe(int fd);

}  // namespace tvl
