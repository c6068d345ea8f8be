#include "admin/ip_entries.h"

#if __has_include("storage/ip_list.h")
#include "storage/ip_list.h"

bool list_covers_address(const std::string& list, const std::string& address) {
  return tvl::ip_list_matches(list, address);
}

bool list_holds_entry(const std::string& list, const std::string& entry) {
  return tvl::ip_list_holds(list, entry);
}

#else
// Until the shared entry rule is in this tree: whole entries compared as
// they stand (no subnet or "*" entries). Replaced by the shared rule above.
#include <string_view>

static bool holds(std::string_view list, std::string_view entry) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string_view::npos) end = list.size();
    if (end > start && list.substr(start, end - start) == entry) return true;
    start = end + 1;
  }
  return false;
}

bool list_covers_address(const std::string& list, const std::string& address) {
  return holds(list, address);
}

bool list_holds_entry(const std::string& list, const std::string& entry) {
  return holds(list, entry);
}
#endif
