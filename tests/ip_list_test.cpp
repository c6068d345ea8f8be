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
}

TEST(IpList, HoldsIsTheDuplicateTestOfWholeEntries) {
  EXPECT_TRUE(ip_list_holds("10.0.0.15,192.168.1.", "192.168.1."));
  EXPECT_FALSE(ip_list_holds("10.0.0.15", "10.0.0.1"));
  EXPECT_FALSE(ip_list_holds("192.168.1.", "192.168.1.7"));  // covered, but not held
  EXPECT_TRUE(ip_list_holds(",10.0.0.1", "10.0.0.1"));
  EXPECT_FALSE(ip_list_holds("", ""));
}

}  // namespace
}  // namespace tvl
