#include "server/ip_filter.h"

#include "storage/settings.h"

namespace tvl {

bool ip_refused(int filter_mode, const std::string& client_ip, const std::string& accept_list,
                const std::string& reject_list) {
  if (filter_mode == 0) return false;
  if (filter_mode == 1) return reject_list.find(client_ip) != std::string::npos;
  return accept_list.find(client_ip) == std::string::npos;
}

bool ip_refused(const SiteData& site, const std::string& client_ip) {
  const int mode = site.settings.filter_mode;
  // Only the list the mode uses is looked at, so mode 0 costs nothing.
  if (mode == 0) return false;
  if (mode == 1) return site.reject_list.get()->find(client_ip) != std::string::npos;
  return site.accept_list.get()->find(client_ip) == std::string::npos;
}

}  // namespace tvl
