#include "service/status_reporter.h"

#include "platform/notify.h"
#include "platform/process.h"
#include "service/builtin_service_manager.h"
#include "service/service_manager.h"


namespace tvl {

std::string notify_text(int state, int wait_hint_ms) {
  std::string text;
  const char* name = "unknown";
  switch (state) {
    case kServiceStopped: name = "stopped"; break;
    case kServiceStartPending: name = "start pending"; break;
    case kServiceStopPending: name = "stop pending"; text = "STOPPING=1\n"; break;
    case kServiceRunning: name = "running"; text = "READY=1\n"; break;
    case kServiceContinuePending: name = "continue pending"; break;
    case kServicePausePending: name = "pause pending"; break;
    case kServicePaused: name = "paused"; break;
  }
  text += "STATUS=";
  text += name;
  if (state != kServiceRunning && state != kServiceStopped && wait_hint_ms > 0)
    text += " (wait hint " + std::to_string(wait_hint_ms) + " ms)";
  return text;
}

bool NotifyStatusReporter::report(int state, int, int wait_hint_ms) {
  return notify_service_manager(notify_text(state, wait_hint_ms));
}

std::unique_ptr<StatusReporter> make_status_reporter(const std::string& name) {
  // The built-in manager names the very process it started, so its claim
  // comes first: a NOTIFY_SOCKET may merely be inherited from whoever ran
  // "tvlService -s".
  ServiceStatusLine status;
  if (read_status_file(name, status) && status.pid == current_process_id())
    return std::make_unique<BuiltinStatusReporter>(name);
  if (notify_socket_present()) return std::make_unique<NotifyStatusReporter>();
  return std::make_unique<NullStatusReporter>();
}

}  // namespace tvl
