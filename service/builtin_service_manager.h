// The built-in service manager, used where systemd does not run the machine
// or a private state folder is set. Its database is the folder "services/"
// of the state folder:
//
//   file                        written by             content
//   <name>.service              install                the entry (below)
//   <name>.status               start request, the     one status line (below)
//                               running service, stop
//                               request
//   <name>.journal              start request (new),   every status line the
//                               the running service    service reported, in order
//
// Entry file: "key=value" lines DisplayName, ImagePath (full program path),
// Type (16: own process), Start (2: automatic), ErrorControl (1: normal),
// ObjectName (LocalSystem).
//
// Status line: "<state> <pid> <wait hint ms> <controls accepted>\n", e.g.
// "4 1234 3000 1". Status files are replaced whole (write then rename), so a
// reader never sees half a line.
//
// Start: spawns the entry's program detached, without arguments, after
// writing "2 <pid> 0 0" for it, so the service finds itself named there and
// reports into the same file. Stop: SIGTERM to the status file's process,
// when it lives and accepts stop; the manager then records stop pending.
// Query: the status file's state, but 1 (stopped) when its process is gone.
// Thread safety: one object per thread; the files are shared between
// processes as described.
#pragma once
#include <string>

#include "service/service_manager.h"
#include "service/status_reporter.h"

namespace tvl {

class BuiltinServiceManager : public ServiceManager {
 public:
  BuiltinServiceManager();
  const char* backend_name() const override { return "built-in"; }
  bool exists(const std::string& name) override;
  bool open_manager() override;
  bool create(const ServiceEntry& entry) override;
  bool open_for_delete(const std::string& name) override;
  bool remove(const std::string& name) override;
  bool request_start(const std::string& name) override;
  bool request_stop(const std::string& name) override;
  bool query(const std::string& name, int& state) override;

  // Paths of the database files of a service.
  static std::string database_folder();
  static std::string entry_path(const std::string& name);
  static std::string status_path(const std::string& name);
  static std::string journal_path(const std::string& name);
};

// One parsed status line.
struct ServiceStatusLine {
  int state = 0;
  int pid = 0;
  int wait_hint = 0;
  int controls = 0;
};
bool parse_status_line(const std::string& line, ServiceStatusLine& out);
std::string format_status_line(const ServiceStatusLine& status);
bool read_status_file(const std::string& name, ServiceStatusLine& out);

// The running service's side: writes each report to the status file and
// appends it to the journal, while the service's entry exists.
class BuiltinStatusReporter : public StatusReporter {
 public:
  explicit BuiltinStatusReporter(std::string name) : name_(std::move(name)) {}
  const char* backend_name() const override { return "built-in"; }
  bool report(int state, int controls_accepted, int wait_hint_ms) override;

 private:
  std::string name_;
};

}  // namespace tvl
