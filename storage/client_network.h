// Client addresses and the networks they belong to. Every bound the chat
// keeps per client counts a client network, not a single address: one
// holder of a whole IPv6 /64 (the smallest network a provider hands out)
// would otherwise count as 2^64 visitors. By default a network is one IPv4
// address or one IPv6 /64; both prefix lengths are settings
// (NetworkPrefixV4, NetworkPrefixV6).
//
// Address texts read here:
//   IPv4   dotted decimal, four parts of 0..255 ("10.0.0.7"; no leading
//          zeros beyond a single "0", so "010.0.0.7" is no address)
//   IPv6   eight groups of hexadecimal, "::" for one run of zero groups, a
//          dotted IPv4 tail allowed ("2001:db8::1", "::ffff:10.0.0.7");
//          a zone ("%eth0") and brackets are not part of an address
// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is the IPv4 address it maps:
// a server listening on both families sees IPv4 clients so.
//
// Network texts (the IP lists, TrustedProxies): an address alone (all its
// bits), or an address, "/" and a prefix length (0..32 for IPv4, 0..128 for
// IPv6): "10.0.0.0/8", "2001:db8::/32". Bits past the prefix are ignored.
//
// Thread safety: pure functions and values.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tvl {

inline constexpr int kDefaultPrefixV4 = 32;
inline constexpr int kDefaultPrefixV6 = 64;

struct IpAddress {
  bool v4 = true;
  // IPv4: the first four bytes; IPv6: all sixteen. Network byte order.
  std::array<std::uint8_t, 16> bytes{};

  int bits() const { return v4 ? 32 : 128; }
  bool operator==(const IpAddress& other) const = default;
};

struct IpNetwork {
  IpAddress base;  // bits past `prefix` are zero
  int prefix = 32;

  bool contains(const IpAddress& address) const;
};

// False when `text` is no address of the forms above (`out` then unchanged).
[[nodiscard]] bool parse_ip_address(std::string_view text, IpAddress& out);

// False when `text` is no network of the forms above (`out` then unchanged).
[[nodiscard]] bool parse_ip_network(std::string_view text, IpNetwork& out);

// The network of `address` with its family's prefix (clamped to the
// family's bits).
IpNetwork network_of(const IpAddress& address, int prefix_v4, int prefix_v6);

// The address as the log, the pages and tvlctl show it: dotted decimal for
// IPv4 (mapped ones included), the shortest IPv6 form (lower case, the
// longest run of two or more zero groups as "::").
std::string ip_text(const IpAddress& address);

// "10.0.0.7" for a whole IPv4 address, else the base, "/" and the prefix
// ("2001:db8:0:1::/64"). The key of a network in the tables of the bounds.
std::string network_text(const IpNetwork& network);

// The key of the client network of an address text: network_text of its
// network, or the text itself when it is no address (a caller's test
// double), so distinct texts never share a key by accident.
std::string client_network(std::string_view address, int prefix_v4 = kDefaultPrefixV4,
                           int prefix_v6 = kDefaultPrefixV6);

// An address text in the form ip_text gives it ("::ffff:10.0.0.7"
// becomes "10.0.0.7"); other texts unchanged.
std::string normalized_address(std::string_view address);

}  // namespace tvl
