// The service manager's notification protocol: one datagram of
// newline-separated "KEY=value" assignments ("READY=1", "STOPPING=1",
// "STATUS=...") sent to the socket named by $NOTIFY_SOCKET, a file-system
// path or, with a leading "@", an abstract socket name.
// Thread safety: any thread.
#pragma once
#include <string>

namespace tvl {

// True when $NOTIFY_SOCKET names a socket (the process was started by a
// manager that listens).
bool notify_socket_present();

// Sends one datagram. False when there is no socket or it cannot be sent.
bool notify_service_manager(const std::string& assignments);

}  // namespace tvl
