#include "chat/template_fill.h"

#include <gtest/gtest.h>

namespace tvl {
namespace {

struct FillCase {
  const char* page;
  const char* marker;
  const char* value;
  const char* expected;
};

class FillMarker : public ::testing::TestWithParam<FillCase> {};

TEST_P(FillMarker, ReplacesEveryOccurrenceOnce) {
  const FillCase& c = GetParam();
  std::string page = c.page;
  fill_marker(page, c.marker, c.value);
  EXPECT_EQ(page, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FillMarker,
    ::testing::Values(
        FillCase{"a<!--$user-->b<!--$user-->c", "<!--$user-->", "ann", "aannbannc"},
        FillCase{"<!--$user--><!--$user-->", "<!--$user-->", "x", "xx"},
        // The value holds the marker: not searched again by this replacement.
        FillCase{"[<!--$msg-->]", "<!--$msg-->", "s1;<!--$msg-->", "[s1;<!--$msg-->]"},
        FillCase{"<p>no markers here</p>", "<!--$user-->", "ann", "<p>no markers here</p>"},
        FillCase{"a<!--$user-->b", "<!--$user-->", "", "ab"},
        FillCase{"", "<!--$user-->", "ann", ""},
        // Matching is exact and case-sensitive.
        FillCase{"<!--$USER--> <!--$user-- >", "<!--$user-->", "ann", "<!--$USER--> <!--$user-- >"},
        // Occurrences do not overlap: "aaa" holds one "aa", then a lone "a".
        FillCase{"aaa", "aa", "X", "Xa"}));

TEST(FillMarkerChain, LaterMarkersSearchInsertedText) {
  // A user name that itself holds the password marker gets the password in
  // the next step, as the pages fill their markers in a fixed order.
  std::string page = "<!--$user-->|<!--$pass-->";
  fill_marker(page, "<!--$user-->", "evil<!--$pass-->");
  fill_marker(page, "<!--$pass-->", "secret");
  EXPECT_EQ(page, "evilsecret|secret");
}

TEST(FillMarkerChain, MessageStatementsChainBehindEachOther) {
  std::string page = "<script>\n<!--$msg-->\n</script>";
  fill_marker(page, "<!--$msg-->", "one;<!--$msg-->");
  fill_marker(page, "<!--$msg-->", "two;<!--$msg-->");
  fill_marker(page, "<!--$msg-->", "three;");
  EXPECT_EQ(page, "<script>\none;two;three;\n</script>");
}

TEST(FillMarkerChain, MarkerNoValueReachedStays) {
  std::string page = "<script><!--$msg--></script>";
  fill_marker(page, "<!--$user-->", "ann");
  EXPECT_EQ(page, "<script><!--$msg--></script>");
}

TEST(FillMarkerErrors, EmptyMarkerChangesNothing) {
  std::string page = "abc";
  fill_marker(page, "", "x");
  EXPECT_EQ(page, "abc");
}

TEST(FillMarkerErrors, BinaryBytesPassThrough) {
  std::string page("a\0<!--x-->\xff", 11);
  fill_marker(page, "<!--x-->", std::string("\0", 1));
  EXPECT_EQ(page, std::string("a\0\0\xff", 4));
}

}  // namespace
}  // namespace tvl
