#include "chat/template_fill.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// The pages fill their markers one after another in a fixed order: each
// step searches the page as the steps before it left it.
TEST(FillMarkerChain, EachStepSearchesThePageTheStepsBeforeLeft) {
  struct Step {
    const char* marker;
    const char* value;
  };
  const struct {
    const char* page;
    std::vector<Step> steps;
    const char* filled;
  } cases[] = {
      // A user name that itself holds the password marker gets the password
      // in the next step.
      {"<!--$user-->|<!--$pass-->",
       {{"<!--$user-->", "evil<!--$pass-->"}, {"<!--$pass-->", "secret"}},
       "evilsecret|secret"},
      // Message statements chain behind each other.
      {"<script>\n<!--$msg-->\n</script>",
       {{"<!--$msg-->", "one;<!--$msg-->"}, {"<!--$msg-->", "two;<!--$msg-->"},
        {"<!--$msg-->", "three;"}},
       "<script>\none;two;three;\n</script>"},
      // A marker no value reached stays.
      {"<script><!--$msg--></script>", {{"<!--$user-->", "ann"}}, "<script><!--$msg--></script>"},
  };
  for (const auto& c : cases) {
    std::string page = c.page;
    for (const Step& step : c.steps) fill_marker(page, step.marker, step.value);
    EXPECT_EQ(page, c.filled) << c.page;
  }
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
