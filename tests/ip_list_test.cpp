// Entries of the IP filter lists.
#include <gtest/gtest.h>

#include "storage/ip_list.h"

namespace tvl {
namespace {

TEST(IpList, EntryRule) {
  struct Case {
    const char* entry;
    const char* address;
    bool matches;
  } cases[] = {
      {"10.0.0.1", "10.0.0.1", true},
      {"10.0.0.15", "10.0.0.1", false},   // a longer entry is another address
      {"10.0.0.1", "10.0.0.15", false},
      {"11.2.3.45", "1.2.3.4", false},
      {"1.2.3.4", "11.2.3.45", false},
      {"192.168.1.", "192.168.1.77", true},  // subnet entries
      {"192.168.1.", "192.168.10.7", false},
      {"192.168.1.", "192.168.1", false},
      {"192.168.", "192.168.200.1", true},
      {"192.168.*.*", "192.168.44.3", true},
      {"192.168.*.*", "192.169.44.3", false},
      {"*.*.*.*", "8.8.8.8", true},
      {"10.*.0.1", "10.250.0.1", true},
      {"10.*.0.1", "10.250.0.2", false},
      {"10.*", "10.1.2.3", false},          // a whole entry covers every part
      {"10.*.", "10.1.2.3", true},          // "*" in a subnet entry
      {"10.0.0.1.5", "10.0.0.1", false},
      {"*", "10.0.0.1", false},
      {" 10.0.0.1\r\n", "10.0.0.1", true},  // blanks of hand-edited lists
      {"", "10.0.0.1", false},
      {"10.0.0.1", "", false},
      // Networks and IPv6.
      {"10.0.0.0/8", "10.200.3.4", true},
      {"10.0.0.0/8", "11.0.0.1", false},
      {"10.1.2.3/8", "10.9.9.9", true},        // bits past the prefix ignored
      {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "2001:db8::1", false},     // a family covers only its own
      {"10.0.0.7/32", "10.0.0.7", true},
      {"10.0.0.7/32", "10.0.0.8", false},
      {"10.0.0.0/33", "10.0.0.1", false},      // no such prefix: matches nothing
      {"10.0.0.0/", "10.0.0.1", false},
      {"2001:db8::/32", "2001:db8:ffff::1", true},
      {"2001:db8::/32", "2001:db9::1", false},
      {"2001:DB8::1", "2001:db8:0:0::1", true},  // one address, any spelling
      {"::1", "::1", true},
      {"10.0.0.0/8", "::ffff:10.1.1.1", true},   // mapped addresses are IPv4
      {"10.0.0.1", "::ffff:10.0.0.1", true},
      {"192.168.1.", "::ffff:192.168.1.9", true},
      {"::ffff:10.0.0.0/104", "10.3.2.1", true},
      {"2001:db8::/32", "10.0.0.1", false},
      {"2001:db8::/32", "not-an-address", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ip_entry_matches(c.entry, c.address), c.matches)
        << '"' << c.entry << "\" / " << c.address;
}

TEST(IpList, ListsSplitAtCommasAndSkipEmptyPieces) {
  EXPECT_TRUE(ip_list_matches(",10.0.0.1", "10.0.0.1"));  // the quick add's leading comma
  EXPECT_TRUE(ip_list_matches("1.1.1.1,,10.0.0.1,", "10.0.0.1"));
  EXPECT_FALSE(ip_list_matches("10.0.0.15,10.0.0.10", "10.0.0.1"));
  EXPECT_TRUE(ip_list_matches("10.0.0.15,192.168.*.1", "192.168.3.1"));
  EXPECT_FALSE(ip_list_matches("", "10.0.0.1"));
  EXPECT_FALSE(ip_list_matches(",,", "10.0.0.1"));
  // One entry a line, as the README writes the lists, mixed with commas.
  const char* by_lines = "10.0.0.15\r\n192.168.0.0/16\n2001:db8::/48, 172.16.0.1\n";
  EXPECT_TRUE(ip_list_matches(by_lines, "192.168.7.7"));
  EXPECT_TRUE(ip_list_matches(by_lines, "2001:db8:0:5::9"));
  EXPECT_TRUE(ip_list_matches(by_lines, "172.16.0.1"));
  EXPECT_TRUE(ip_list_matches(by_lines, "10.0.0.15"));
  EXPECT_FALSE(ip_list_matches(by_lines, "10.0.0.1"));
  EXPECT_FALSE(ip_list_matches(by_lines, "2001:db8:1::9"));
}

TEST(IpList, HoldsIsTheDuplicateTestOfWholeEntries) {
  EXPECT_TRUE(ip_list_holds("10.0.0.15,192.168.1.", "192.168.1."));
  EXPECT_FALSE(ip_list_holds("10.0.0.15", "10.0.0.1"));
  EXPECT_FALSE(ip_list_holds("192.168.1.", "192.168.1.7"));  // covered, but not held
  EXPECT_TRUE(ip_list_holds(",10.0.0.1", "10.0.0.1"));
  EXPECT_FALSE(ip_list_holds("", ""));
  EXPECT_TRUE(ip_list_holds("10.0.0.15\n10.0.0.0/8\n", "10.0.0.0/8"));
}

}  // namespace
}  // namespace tvl
