#include "server/ip_filter.h"

#include "storage/ip_list.h"
#include "storage/settings.h"

namespace tvl {

bool ip_refused(int filter_mode, const std::string& client_ip, const std::string& accept_list,
                const std::string& reject_list) {
  if (filter_mode == 0) return false;
  if (filter_mode == 1) return ip_list_matches(reject_list, client_ip);
  return !ip_list_matches(accept_list, client_ip);
}

bool ip_refused(const SiteData& site, const std::string& client_ip) {
  const int mode = site.settings.filter_mode;
  // Only the list the mode uses is looked at, so mode 0 costs nothing.
  if (mode == 0) return false;
  if (mode == 1) return ip_list_matches(*site.reject_list.get(), client_ip);
  return !ip_list_matches(*site.accept_list.get(), client_ip);
}

}  // namespace tvl
