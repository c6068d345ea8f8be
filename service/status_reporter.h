// Where the running service reports its states: to whichever manager
// started this process.
//   built-in  the built-in manager's status file names this process (it
//             writes it before the process may run): the status file and
//             its journal, see builtin_service_manager.h;
//   systemd   otherwise, when $NOTIFY_SOCKET is set: one datagram per
//             report, see NotifyStatusReporter;
//   none      run by hand: reports go nowhere and succeed.
// Thread safety: report() may be called from any thread; callers serialise.
#pragma once
#include <memory>
#include <string>

namespace tvl {

class StatusReporter {
 public:
  virtual ~StatusReporter() = default;
  virtual const char* backend_name() const = 0;
  // Sends one status; false when it could not be sent.
  virtual bool report(int state, int controls_accepted, int wait_hint_ms) = 0;
};

// Reports to the systemd notification socket:
//   start pending  "STATUS=start pending (wait hint <n> ms)"
//   running        "READY=1\nSTATUS=running"
//   stop pending   "STOPPING=1\nSTATUS=stop pending (wait hint <n> ms)"
//   stopped        "STATUS=stopped"
//   others         "STATUS=pause pending" ... (wait hint added when not 0)
class NotifyStatusReporter : public StatusReporter {
 public:
  const char* backend_name() const override { return "systemd"; }
  bool report(int state, int controls_accepted, int wait_hint_ms) override;
};

class NullStatusReporter : public StatusReporter {
 public:
  const char* backend_name() const override { return "none"; }
  bool report(int, int, int) override { return true; }
};

// The assignments NotifyStatusReporter sends for one report.
std::string notify_text(int state, int wait_hint_ms);

// Chooses the reporter for the service `name`, as described above.
std::unique_ptr<StatusReporter> make_status_reporter(const std::string& name);

}  // namespace tvl
