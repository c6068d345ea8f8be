// The service manager as the service host's command-line actions see it:
// the primitive operations of install, uninstall, start, stop and query, so
// that ServiceHost keeps the order of steps and the messages, and a backend
// only says whether each step worked. Two backends, chosen at run time by
// make_service_manager():
//   systemd   when /run/systemd/system exists and TAVELLA_STATE_DIR is not
//             set (systemd_service_manager.h);
//   built-in  otherwise: a service database in the state folder
//             (builtin_service_manager.h).
// Service states are the numbers the host reports (service_numbers.h).
// Thread safety: an object is used by one thread.
#pragma once
#include <memory>
#include <string>

#include "service/service_numbers.h"

namespace tvl {

// The registration of a service: it runs its own process, starts
// automatically at boot, a failure to start is logged, and it runs with the
// machine's full rights.
struct ServiceEntry {
  std::string name;
  std::string display_name;
  std::string binary_path;  // full path of the program
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;

  virtual const char* backend_name() const = 0;

  // The service exists (it "can be opened for query").
  virtual bool exists(const std::string& name) = 0;
  // The manager can be used to create or delete services (full access).
  virtual bool open_manager() = 0;
  virtual bool create(const ServiceEntry& entry) = 0;
  // The service can be opened to be stopped and deleted.
  virtual bool open_for_delete(const std::string& name) = 0;
  // Deletes the entry; true when it is gone afterwards.
  virtual bool remove(const std::string& name) = 0;
  // Start and stop requests; true when the manager accepted them. Neither
  // waits for the service to get there.
  virtual bool request_start(const std::string& name) = 0;
  virtual bool request_stop(const std::string& name) = 0;
  // The current state; false when the service cannot be queried.
  virtual bool query(const std::string& name, int& state) = 0;
};

// systemd when it runs the machine and no private state folder is set,
// otherwise the built-in manager.
std::unique_ptr<ServiceManager> make_service_manager();

}  // namespace tvl
