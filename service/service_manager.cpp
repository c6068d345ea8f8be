#include "service/service_manager.h"

#include <cstdlib>

#include "platform/fs.h"
#include "service/builtin_service_manager.h"
#include "service/systemd_service_manager.h"

namespace tvl {

std::unique_ptr<ServiceManager> make_service_manager() {
  // A private state folder means a private installation (or a test): it
  // must never reach the machine's systemd.
  const char* state_dir = std::getenv("TAVELLA_STATE_DIR");
  if (is_directory("/run/systemd/system") && !(state_dir && *state_dir))
    return std::make_unique<SystemdServiceManager>();
  return std::make_unique<BuiltinServiceManager>();
}

}  // namespace tvl
