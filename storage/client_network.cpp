#include "storage/client_network.h"

#include <algorithm>
#include <cstdio>

namespace tvl {

namespace {

constexpr std::array<std::uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Dotted decimal into four bytes at `out`.
bool parse_v4(std::string_view text, std::uint8_t* out) {
  int part = 0;
  std::size_t at = 0;
  while (part < 4) {
    const std::size_t start = at;
    int value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3) {
      value = value * 10 + (text[at] - '0');
      ++at;
    }
    const std::size_t digits = at - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    out[part++] = static_cast<std::uint8_t>(value);
    if (part < 4) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
  }
  return at == text.size();
}

// The groups of one side of "::" (empty side: none). A dotted IPv4 tail
// counts as two groups and is allowed only where `tail_allowed`.
bool parse_groups(std::string_view text, bool tail_allowed, std::uint16_t* groups, int& count) {
  count = 0;
  if (text.empty()) return true;
  std::size_t at = 0;
  while (true) {
    const std::size_t colon = text.find(':', at);
    const std::string_view group = text.substr(at, colon == std::string_view::npos ? colon : colon - at);
    if (colon == std::string_view::npos && tail_allowed && group.find('.') != std::string_view::npos) {
      std::uint8_t v4[4];
      if (count > 6 || !parse_v4(group, v4)) return false;
      groups[count++] = static_cast<std::uint16_t>(v4[0] << 8 | v4[1]);
      groups[count++] = static_cast<std::uint16_t>(v4[2] << 8 | v4[3]);
      return true;
    }
    if (group.empty() || group.size() > 4 || count >= 8) return false;
    int value = 0;
    for (char c : group) {
      const int digit = hex_value(c);
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    groups[count++] = static_cast<std::uint16_t>(value);
    if (colon == std::string_view::npos) return true;
    at = colon + 1;
  }
}

bool parse_v6(std::string_view text, std::array<std::uint8_t, 16>& out) {
  std::uint16_t head[8], tail[8];
  int heads = 0, tails = 0;
  const std::size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    if (!parse_groups(text, true, head, heads) || heads != 8) return false;
  } else {
    if (text.find("::", gap + 1) != std::string_view::npos) return false;
    const std::string_view after = text.substr(gap + 2);
    if (!after.empty() && after.front() == ':') return false;  // ":::"
    if (!parse_groups(text.substr(0, gap), false, head, heads)) return false;
    if (!parse_groups(after, true, tail, tails)) return false;
    if (heads + tails > 7) return false;  // "::" stands for at least one group
  }
  std::uint16_t groups[8] = {};
  for (int i = 0; i < heads; ++i) groups[i] = head[i];
  for (int i = 0; i < tails; ++i) groups[8 - tails + i] = tail[i];
  for (int i = 0; i < 8; ++i) {
    out[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
    out[2 * i + 1] = static_cast<std::uint8_t>(groups[i] & 0xff);
  }
  return true;
}

void clear_past(IpAddress& address, int prefix) {
  for (int bit = prefix; bit < address.bits(); ++bit)
    address.bytes[bit / 8] &= static_cast<std::uint8_t>(~(0x80 >> (bit % 8)));
}

int clamped(int prefix, int bits) { return prefix < 0 ? 0 : prefix > bits ? bits : prefix; }

}  // namespace

bool parse_ip_address(std::string_view text, IpAddress& out) {
  IpAddress parsed;
  if (text.find(':') == std::string_view::npos) {
    if (!parse_v4(text, parsed.bytes.data())) return false;
    out = parsed;
    return true;
  }
  if (!parse_v6(text, parsed.bytes)) return false;
  parsed.v4 = false;
  if (std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), parsed.bytes.begin())) {
    IpAddress mapped;
    for (int i = 0; i < 4; ++i) mapped.bytes[i] = parsed.bytes[12 + i];
    parsed = mapped;
  }
  out = parsed;
  return true;
}

bool parse_ip_network(std::string_view text, IpNetwork& out) {
  const std::size_t slash = text.find('/');
  IpAddress base;
  if (!parse_ip_address(text.substr(0, slash), base)) return false;
  int prefix = base.bits();
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return false;
    prefix = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      prefix = prefix * 10 + (c - '0');
    }
    // A mapped base names an IPv4 network: its prefix counts the IPv6 bits.
    if (base.v4 && text.find(':') != std::string_view::npos) prefix -= 96;
    if (prefix < 0 || prefix > base.bits()) return false;
  }
  clear_past(base, prefix);
  out.base = base;
  out.prefix = prefix;
  return true;
}

bool IpNetwork::contains(const IpAddress& address) const {
  if (address.v4 != base.v4) return false;
  IpAddress masked = address;
  clear_past(masked, prefix);
  return masked == base;
}

IpNetwork network_of(const IpAddress& address, int prefix_v4, int prefix_v6) {
  IpNetwork network;
  network.base = address;
  network.prefix = clamped(address.v4 ? prefix_v4 : prefix_v6, address.bits());
  clear_past(network.base, network.prefix);
  return network;
}

std::string ip_text(const IpAddress& address) {
  char text[48];
  const auto& b = address.bytes;
  if (address.v4) {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
  }
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<unsigned>(b[2 * i] << 8 | b[2 * i + 1]);
  // The longest run of zero groups (the first of equal ones), if two or more.
  int best = -1, best_length = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_length) {
      best = i;
      best_length = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      out += "::";
      i += best_length - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    std::snprintf(text, sizeof text, "%x", groups[i]);
    out += text;
  }
  return out;
}

std::string network_text(const IpNetwork& network) {
  std::string text = ip_text(network.base);
  if (network.prefix == network.base.bits() && network.base.v4) return text;
  return text + "/" + std::to_string(network.prefix);
}

std::string client_network(std::string_view address, int prefix_v4, int prefix_v6) {
  IpAddress parsed;
  if (!parse_ip_address(address, parsed)) return std::string(address);
  return network_text(network_of(parsed, prefix_v4, prefix_v6));
}

std::string normalized_address(std::string_view address) {
  IpAddress parsed;
  if (!parse_ip_address(address, parsed)) return std::string(address);
  return ip_text(parsed);
}

}  // namespace tvl
