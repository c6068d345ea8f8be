#include "platform/interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>

namespace tvl {

std::vector<std::string> order_loopback_last(const std::vector<std::string>& addresses) {
  std::vector<std::string> outer, loopback;
  for (const std::string& a : addresses) {
    std::vector<std::string>& group = a.rfind("127.", 0) == 0 ? loopback : outer;
    if (std::find(group.begin(), group.end(), a) == group.end()) group.push_back(a);
  }
  outer.insert(outer.end(), loopback.begin(), loopback.end());
  return outer;
}

std::vector<std::string> local_ipv4_addresses() {
  std::vector<std::string> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) found.push_back(text);
  }
  freeifaddrs(list);
  return order_loopback_last(found);
}

}  // namespace tvl
