#include "admin/ip_entries.h"

#include "storage/ip_list.h"

namespace tvl {

bool list_covers_address(const std::string& list, const std::string& address) {
  return tvl::ip_list_matches(list, address);
}

bool list_holds_entry(const std::string& list, const std::string& entry) {
  return tvl::ip_list_holds(list, entry);
}

}  // namespace tvl
