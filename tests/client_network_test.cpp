// Client addresses and networks: the forms read, the networks the bounds
// count, the texts the log and the tables use.
#include <gtest/gtest.h>

#include "storage/client_network.h"

namespace tvl {
namespace {

TEST(ClientNetwork, AddressFormsAndTheirText) {
  struct Case {
    const char* text;
    const char* shown;  // nullptr: no address
  } cases[] = {
      {"10.0.0.7", "10.0.0.7"},
      {"0.0.0.0", "0.0.0.0"},
      {"255.255.255.255", "255.255.255.255"},
      {"256.0.0.1", nullptr},
      {"010.0.0.7", nullptr},        // leading zeros could be read as octal
      {"10.0.0", nullptr},
      {"10.0.0.7.1", nullptr},
      {"10.0.0.7 ", nullptr},
      {"", nullptr},
      {"::1", "::1"},
      {"::", "::"},
      {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},  // the first of equal runs
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
      {"fe80::1:2", "fe80::1:2"},
      {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
      {"1:2:3:4:5:6:7:8:9", nullptr},
      {"1:2:3:4:5:6:7", nullptr},
      {"1::2::3", nullptr},
      {":::1", nullptr},
      {"1:2:3:4:5:6:7::8", nullptr},  // "::" stands for at least one group
      {"12345::1", nullptr},
      {"g::1", nullptr},
      {"::ffff:10.0.0.7", "10.0.0.7"},      // mapped: the IPv4 address
      {"::FFFF:0a00:0007", "10.0.0.7"},
      {"64:ff9b::10.0.0.7", "64:ff9b::a00:7"},  // a dotted tail, not mapped
      {"::10.0.0.7:1", nullptr},
      {"fe80::1%eth0", nullptr},
      {"[::1]", nullptr},
  };
  for (const Case& c : cases) {
    IpAddress address;
    const bool parsed = parse_ip_address(c.text, address);
    EXPECT_EQ(parsed, c.shown != nullptr) << c.text;
    if (parsed && c.shown) EXPECT_EQ(ip_text(address), c.shown) << c.text;
  }
}

TEST(ClientNetwork, NetworksOfClientsWithTheirPrefixes) {
  struct Case {
    const char* address;
    int v4, v6;
    const char* network;
  } cases[] = {
      {"10.0.0.7", 32, 64, "10.0.0.7"},
      {"10.0.0.7", 24, 64, "10.0.0.0/24"},
      {"10.0.0.7", 0, 64, "0.0.0.0/0"},
      {"10.0.0.7", 40, 64, "10.0.0.7"},  // past the family's bits: the address
      {"::ffff:10.0.0.7", 32, 64, "10.0.0.7"},
      {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", 32, 64, "2001:db8:1:2::/64"},
      {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", 32, 48, "2001:db8:1::/48"},
      {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", 32, 128, "2001:db8:1:2:aaaa:bbbb:cccc:dddd/128"},
      {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", 32, 56, "2001:db8:1::/56"},
      {"2001:db8:1:2ff::1", 32, 56, "2001:db8:1:200::/56"},
      {"a-test-name", 32, 64, "a-test-name"},  // no address: its own key
  };
  for (const Case& c : cases)
    EXPECT_EQ(client_network(c.address, c.v4, c.v6), c.network)
        << c.address << " /" << c.v4 << " /" << c.v6;
  // Two addresses of one /64 are one client; the next /64 another.
  EXPECT_EQ(client_network("2001:db8::1"), client_network("2001:db8::ffff:1"));
  EXPECT_NE(client_network("2001:db8::1"), client_network("2001:db8:0:1::1"));
  EXPECT_NE(client_network("10.0.0.1"), client_network("10.0.0.2"));
}

TEST(ClientNetwork, NetworkTextsAndContainment) {
  struct Case {
    const char* network;
    const char* address;
    bool contains;
  } cases[] = {
      {"10.0.0.0/8", "10.255.0.1", true},
      {"10.0.0.0/8", "11.0.0.1", false},
      {"10.0.0.0/31", "10.0.0.1", true},
      {"10.0.0.0/31", "10.0.0.2", false},
      {"10.0.0.1", "10.0.0.1", true},
      {"2001:db8::/32", "2001:db8:1234::1", true},
      {"2001:db8::/33", "2001:db8:8000::1", false},
      {"::/0", "2001:db8::1", true},
      {"::/0", "10.0.0.1", false},
      {"::ffff:10.0.0.0/104", "10.1.2.3", true},  // a mapped network is IPv4
      {"::ffff:10.0.0.0/104", "11.1.2.3", false},
  };
  for (const Case& c : cases) {
    IpNetwork network;
    IpAddress address;
    ASSERT_TRUE(parse_ip_network(c.network, network)) << c.network;
    ASSERT_TRUE(parse_ip_address(c.address, address)) << c.address;
    EXPECT_EQ(network.contains(address), c.contains) << c.network << " / " << c.address;
  }
  for (const char* bad : {"10.0.0.0/33", "2001:db8::/129", "10.0.0.0/", "10.0.0.0/a",
                          "10.0.0.0/-1", "/8", "10.0.0.0/8/8", "::ffff:10.0.0.0/95"}) {
    IpNetwork network;
    EXPECT_FALSE(parse_ip_network(bad, network)) << bad;
  }
}

}  // namespace
}  // namespace tvl
