// The IP filter's entry rule as the window uses it: the log page's quick add
// asks whether a list already covers an address, the IP Filter dialog
// whether a list already holds an entry. Both go to the rule the request
// filter applies (storage/ip_list.h), so the window and the server never
// disagree about what an entry means.
// Thread safety: pure functions.
#pragma once
#include <string>

namespace tvl {

// True when an entry of the comma-separated list text covers the address.
bool list_covers_address(const std::string& list, const std::string& address);

// True when the list text holds `entry` as one whole entry.
bool list_holds_entry(const std::string& list, const std::string& entry);

}  // namespace tvl
