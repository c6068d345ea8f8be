// Entries of the IP filter lists (acceptip.txt, rejectip.txt) and of
// TrustedProxies: the list text is split at commas and line ends (one entry
// a line, or several separated by commas), empty pieces are skipped and
// blanks around a piece ignored. An entry matches a client address when
//   - it is a network (storage/client_network.h): an IPv6 address, or any
//     address with "/" and a prefix length ("10.0.0.0/8", "2001:db8::/32",
//     "::1"), and the address lies in it (a mapped IPv4 address counts as
//     the IPv4 address it maps);
//   - it equals the address ("10.0.0.15" matches only 10.0.0.15, never
//     10.0.0.1 nor 110.0.0.15);
//   - it ends with "." and the address begins with it (the subnet entries
//     such as "192.168.1." cover 192.168.1.0 to 192.168.1.255); or
//   - it has the address's number of dotted parts and every part equals the
//     address's part or is "*", which stands for any number ("192.168.*.*").
//     A "*" may also stand in a subnet entry ("10.*.").
// The files themselves keep their format; only the reading of an entry is
// defined here. The request filter, the trusted proxies, the log page's
// quick add and the IP dialog's duplicate check all use these functions.
// Thread safety: pure functions.
#pragma once
#include <string_view>

namespace tvl {

bool ip_entry_matches(std::string_view entry, std::string_view address);

// Whether any entry of the list text matches the address.
bool ip_list_matches(std::string_view list, std::string_view address);

// Whether the list text already holds `entry` as one of its entries (the
// same text, ignoring blanks around it): the duplicate test for adding.
bool ip_list_holds(std::string_view list, std::string_view entry);

}  // namespace tvl
