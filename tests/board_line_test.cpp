#include "chat/board_line.h"

#include <gtest/gtest.h>

#include "chat/html_guard.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using test::count_of;

TEST(BoardLine, NamesAreTextInTheHead) {
  EXPECT_EQ(said_line("12:00:01", "ann", "All", false, "hi"),
            "<div class=\"line\"><span class=\"head\"><span class=\"time\">12:00:01</span> "
            "<a href=\"#\" data-name=\"ann\">ann</a> =&gt; <a href=\"#\" data-name=\"All\">All</a>"
            "</span> <span class=\"text\">hi</span></div>");
  EXPECT_EQ(head_name_link("a\"b<i>'&"),
            "<a href=\"#\" data-name=\"a&quot;b&lt;i&gt;&#39;&amp;\">a&quot;b&lt;i&gt;&#39;&amp;</a>");
}

TEST(BoardLine, OnlyTheServerMarksALinePrivate) {
  const std::string secret = said_line("12:00:01", "ann", "bob", true, "psst");
  EXPECT_TRUE(is_private_line(secret));
  EXPECT_NE(secret.find("<span class=\"mark\">private</span>"), std::string::npos);
  EXPECT_TRUE(is_private_line(notice_line("You have been banned!", true)));
  EXPECT_FALSE(is_private_line(said_line("12:00:01", "ann", "bob", false, "psst")));
  EXPECT_FALSE(is_private_line(presence_line("12:00:01", "ann", "joined the chat room...")));
  EXPECT_FALSE(is_private_line(notice_line("kicked list: bob")));
  // The old mark of a private line, typed by a visitor, marks nothing.
  EXPECT_FALSE(is_private_line(said_line("12:00:01", "ann", "All", false, guard_html("<br>*x"))));
}

// Whatever a visitor types, the line holds one head (with its two names),
// one text and ends where the server ends it.
class OneLine : public ::testing::TestWithParam<const char*> {};

TEST_P(OneLine, TextStaysInItsLine) {
  const std::string line = said_line("12:00:01", "ann", "All", false, guard_html(GetParam()));
  EXPECT_EQ(count_of(line, "<div class=\""), 1) << line;
  EXPECT_EQ(count_of(line, "class=\""), 4) << line;  // line, head, time and text
  EXPECT_EQ(count_of(line, "data-name=\""), 2) << line;
  EXPECT_EQ(line.compare(line.size() - 13, 13, "</span></div>"), 0) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Forgeries, OneLine,
    ::testing::Values(
        "ok<br><font color=green size=2>12:34:56 <a href=#>admin</a> =&gt; <a href=#>All</a> </font>hi",
        "</span></div><div class=\"line\"><span class=\"head\">12:34:56 admin</span>",
        "<br>*<font color=red size=2>left the chat room...</font>",
        "<span class=mark>private</span>", "<a href=# data-name=admin>admin</a>",
        "<div><table><tr><td>x", "</div></div></div>x", "<dialog open>cover</dialog>",
        "<b><i>open</b>", "x</span>y"));

}  // namespace
}  // namespace tvl
