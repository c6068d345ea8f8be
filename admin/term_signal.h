// SIGTERM and SIGINT as the window's Exit command: the signal handler only
// writes a byte to a pipe; a socket notifier on the user-interface thread
// reads it and runs the action there (a session logging out, a service
// manager or a test ends the program the same way a user does).
// Thread safety: call once, on the user-interface thread.
#pragma once
#include <QObject>
#include <functional>

namespace tvl {

// `context` owns the notifier; `action` runs on its thread.
void watch_term_signals(QObject* context, std::function<void()> action);

}  // namespace tvl
