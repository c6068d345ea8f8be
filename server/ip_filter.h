// The IP filter applied to every request. The client's address is matched
// against the entries of a list by the entry rule of storage/ip_list.h
// (whole entries, subnet entries ending in ".", "*" for any number in a
// part): a listed "10.0.0.15" does not cover the client "10.0.0.1".
//   mode 0: nobody is refused;
//   mode 1: refused when the address occurs in the reject list;
//   any other mode: refused when it does not occur in the accept list (so an
//   empty accept list refuses everyone).
// Thread safety: reads SharedText snapshots, so a list replaced while a
// request is checked stays valid for that check.
#pragma once
#include <string>

namespace tvl {

struct SiteData;

bool ip_refused(int filter_mode, const std::string& client_ip, const std::string& accept_list,
                const std::string& reject_list);

// The same rule with the mode and lists of `site`.
bool ip_refused(const SiteData& site, const std::string& client_ip);

}  // namespace tvl
