// The systemd backend of the service manager. The service becomes the unit
// "<name in lower case, every character but letters and digits as '-'>.service"
// (for "Tavella Service": tavella-service.service) in the unit folder
// (/etc/systemd/system/ unless given), driven with `systemctl`:
//   create          writes the unit (Type=notify, ExecStart the program's
//                   full path, WantedBy=multi-user.target: enabled for boot),
//                   then "systemctl daemon-reload" and "systemctl enable
//                   <unit>"; a failed step removes the unit file again
//   remove          "systemctl disable <unit>", delete the file,
//                   "systemctl daemon-reload"
//   request_start   "systemctl start --no-block <unit>"
//   request_stop    "systemctl stop --no-block <unit>"
//   query           "systemctl show -p ActiveState --value <unit>":
//                   activating 2, active/reloading 4, deactivating 3,
//                   anything else 1
// The manager is "open" when the unit folder is writable.
#pragma once
#include <string>
#include <vector>

#include "service/service_manager.h"

namespace tvl {

class SystemdServiceManager : public ServiceManager {
 public:
  explicit SystemdServiceManager(std::string unit_folder = "/etc/systemd/system/",
                                 std::string systemctl = "systemctl");
  const char* backend_name() const override { return "systemd"; }
  bool exists(const std::string& name) override;
  bool open_manager() override;
  bool create(const ServiceEntry& entry) override;
  bool open_for_delete(const std::string& name) override;
  bool remove(const std::string& name) override;
  bool request_start(const std::string& name) override;
  bool request_stop(const std::string& name) override;
  bool query(const std::string& name, int& state) override;

  static std::string unit_name(const std::string& service_name);
  // The unit file's text for an entry.
  static std::string unit_text(const ServiceEntry& entry);
  std::string unit_path(const std::string& name) const;

 private:
  int systemctl(const std::vector<std::string>& args, std::string* output = nullptr);
  std::string unit_folder_;  // ends in "/"
  std::string systemctl_;
};

}  // namespace tvl
