#include "storage/ip_list.h"

#include "storage/client_network.h"

namespace tvl {

namespace {

std::string_view trimmed(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool all_digits(std::string_view part) {
  if (part.empty()) return false;
  for (char c : part)
    if (c < '0' || c > '9') return false;
  return true;
}

// The next dotted part of `text` from `at`; moves `at` past its dot (to
// npos after the last part).
std::string_view next_part(std::string_view text, std::size_t& at) {
  const std::size_t dot = text.find('.', at);
  std::string_view part = text.substr(at, dot == std::string_view::npos ? dot : dot - at);
  at = dot == std::string_view::npos ? dot : dot + 1;
  return part;
}

// Calls fn(entry) for every non-empty entry of a list (entries end at a
// comma or a line end); stops when fn is true.
template <typename Fn>
bool any_entry(std::string_view list, Fn fn) {
  std::size_t at = 0;
  while (at <= list.size()) {
    std::size_t end = list.find_first_of(",\r\n", at);
    if (end == std::string_view::npos) end = list.size();
    const std::string_view entry = trimmed(list.substr(at, end - at));
    if (!entry.empty() && fn(entry)) return true;
    at = end + 1;
  }
  return false;
}

// The network forms: an IPv6 address or any entry with a prefix length.
bool network_entry(std::string_view entry) {
  return entry.find_first_of(":/") != std::string_view::npos;
}

}  // namespace

bool ip_entry_matches(std::string_view entry, std::string_view address) {
  entry = trimmed(entry);
  if (entry.empty() || address.empty()) return false;
  if (network_entry(entry)) {
    IpNetwork network;
    IpAddress client;
    return parse_ip_network(entry, network) && parse_ip_address(address, client) &&
           network.contains(client);
  }
  // The dotted forms read the address as the log writes it (a mapped
  // address as the IPv4 address it maps).
  const std::string plain = normalized_address(address);
  address = plain;
  if (entry == address) return true;
  const bool subnet = entry.back() == '.';
  if (subnet && entry.find('*') == std::string_view::npos)
    return address.substr(0, entry.size()) == entry;
  if (!subnet && entry.find('*') == std::string_view::npos) return false;
  // Part by part, "*" standing for any number.
  const std::string_view parts = subnet ? entry.substr(0, entry.size() - 1) : entry;
  std::size_t e = 0, a = 0;
  while (e != std::string_view::npos) {
    if (a == std::string_view::npos) return false;  // the entry has more parts
    const std::string_view want = next_part(parts, e);
    const std::string_view have = next_part(address, a);
    if (want == "*" ? !all_digits(have) : want != have) return false;
  }
  // A whole entry must cover every part; a subnet entry only its first ones.
  return subnet || a == std::string_view::npos;
}

bool ip_list_matches(std::string_view list, std::string_view address) {
  const std::string plain = normalized_address(address);
  address = plain;
  return any_entry(list, [&](std::string_view entry) { return ip_entry_matches(entry, address); });
}

bool ip_list_holds(std::string_view list, std::string_view entry) {
  entry = trimmed(entry);
  return any_entry(list, [&](std::string_view listed) { return listed == entry; });
}

}  // namespace tvl
