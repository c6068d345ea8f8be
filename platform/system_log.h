// The system event log: one information event per call, under a source
// name. Normally syslog (facility daemon, the source name as ident, with the
// process id). When TAVELLA_STATE_DIR is set (tests, private installations)
// the events go instead to the file "events.log" in the state folder, one
// line each:
//   "%Y-%m-%d %H:%M:%S <source>[<pid>]: <text>\n"
// so that nothing reaches the machine's log.
// Thread safety: any thread; calls are serialised.
#pragma once
#include <string>

namespace tvl {

// False when the event could not be written (only the file can tell).
bool write_system_event(const std::string& source, const std::string& text);

// The file events go to, or empty when they go to syslog.
std::string system_event_file();

}  // namespace tvl
