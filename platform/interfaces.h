// The machine's own IPv4 addresses, from its network interfaces (getifaddrs).
// A host name on Linux usually resolves to a loopback address only, so this
// is how the window learns the addresses under which visitors reach it.
// Thread safety: may be called from any thread.
#pragma once
#include <string>
#include <vector>

namespace tvl {

// Dotted addresses ("%d.%d.%d.%d") of every interface that is up, in the
// order the system lists them, each address once, loopback addresses
// (127.0.0.0/8) last. Empty when the interfaces cannot be read.
std::vector<std::string> local_ipv4_addresses();

// Puts the loopback addresses of `addresses` behind the others, keeping the
// order within each group and dropping repeats.
std::vector<std::string> order_loopback_last(const std::vector<std::string>& addresses);

}  // namespace tvl
