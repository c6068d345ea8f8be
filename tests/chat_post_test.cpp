#include <gtest/gtest.h>

#include "chat/chat_limits.h"
#include "chat/chat_pages.h"
#include "tests/support/chat_fixture.h"
#include "tests/support/expected_answers.h"

namespace tvl {
namespace {

using test::expected::kNotOnline;

using test::ChatFixture;
using test::PostForm;

const char kBoard[] = "parent.board.document.body.innerHTML=parent.board.document.body.innerHTML+\"";
const char kOwn[] = "parent.mymsg.document.body.innerHTML=parent.mymsg.document.body.innerHTML+\"";

// The chat line as the post makes it, with the time masked.
std::string chat_line(const std::string& from, const std::string& to, const std::string& text,
                      bool is_private = false) {
  return std::string(is_private ? "<div class=\"line priv\"><span class=\"head\"><span class=\"mark\">private</span> "
                               : "<div class=\"line\"><span class=\"head\">") +
         "<span class=\"time\">TT:TT:TT</span> <a href=\"#\" data-name=\"" + from + "\">" + from +
         "</a> =&gt; <a href=\"#\" data-name=\"" + to + "\">" + to +
         "</a></span> <span class=\"text\">" + text + "</span></div>";
}

class PostMessage : public ChatFixture {
 protected:
  void SetUp() override {
    join("ann", 1);
    join("bob", 1);
    events.clear();
  }
  // The text part of the newest line of room 1 (inside its span.text).
  std::string last_text(int room = 1) {
    const std::string line = last_line(room), start = "<span class=\"text\">", end = "</span></div>";
    const std::size_t at = line.find(start);
    if (at == std::string::npos || line.size() < at + start.size() + end.size()) return line;
    return line.substr(at + start.size(), line.size() - end.size() - at - start.size());
  }
  void make_admin(const std::string& name, const std::string& password) {
    member(name, password);
    state.replace_rooms({test::room_info("Lobby", true, false, "joanna;boss"),
                         test::room_info("Members", false, false, "joanna;boris"), test::room_info("Staff", true, true, "boss")});
  }
};

// --- formatting ---

struct FormatCase {
  int style, colour, face;
  const char* message;
  const char* expected;
};

class Formatting : public PostMessage, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(Formatting, LineText) {
  const FormatCase& c = GetParam();
  post("ann", 1, PostForm{.message = c.message, .style = c.style, .colour = c.colour, .face = c.face});
  EXPECT_EQ(last_text(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Styles, Formatting,
    ::testing::Values(
        FormatCase{-1, 1, 3, "as <b>typed</b>", "as <b>typed</b>"},
        FormatCase{1, 4, 0, "hi", "<strong><font color=#FF0000 size=2>hi</font></strong>"},
        FormatCase{2, 1, 0, "hi", "<em><font color=#000000 size=2>hi</font></em>"},
        FormatCase{3, 0, 2, "hi", "<font color=#FFFFFF size=5>hi</font> <img src=/face/2.gif border=0>"},
        FormatCase{0, 19, 0, "hi", "<font color=#FFD700 size=2>hi</font>"},
        FormatCase{-1, 4, 0, "hi", "<font color=#FF0000 size=2>hi</font>"},
        FormatCase{7, 1, 1, "hi", "<font color=#000000 size=2>hi</font> <img src=/face/1.gif border=0>"},
        // Colours outside the table are shown in black.
        FormatCase{0, 20, 0, "hi", "<font color=#000000 size=2>hi</font>"},
        FormatCase{0, -3, 0, "hi", "<font color=#000000 size=2>hi</font>"},
        FormatCase{-1, 99, 0, "hi", "hi"},
        FormatCase{-1, 99, 0, "hi", "hi"}));

// --- link-making ---

std::string made_link(const std::string& address, const std::string& href = "") {
  return "<a target=_blank rel=\"noopener noreferrer\" href=\"" + (href.empty() ? address : href) +
         "\"><font color=blue>" + address + "</font></a>";
}

struct LinkCase {
  const char* message;
  std::string expected;  // of the line typed in style -1, colour 1 (as typed)
};

class LinkMaking : public PostMessage, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(LinkMaking, EachAddressIsItsOwnLink) {
  post("ann", 1, PostForm{.message = GetParam().message, .style = -1});
  EXPECT_EQ(last_text(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, LinkMaking,
    ::testing::Values(
        LinkCase{"see http://example.org/page now",
                 "see " + made_link("http://example.org/page") + " now"},
        LinkCase{"http://a.b/x and http://c.d", made_link("http://a.b/x") + " and " + made_link("http://c.d")},
        LinkCase{"http://a.b http://a.b", made_link("http://a.b") + " " + made_link("http://a.b")},
        LinkCase{"https://example.org/?q=1&r=2", made_link("https://example.org/?q=1&r=2")},
        LinkCase{"HTTP://EXAMPLE.ORG", made_link("HTTP://EXAMPLE.ORG")},
        LinkCase{"go to www.example.org.", "go to " + made_link("www.example.org", "http://www.example.org") + "."},
        LinkCase{"(see http://a.b/c), then http://d.e!",
                 "(see " + made_link("http://a.b/c") + "), then " + made_link("http://d.e") + "!"},
        LinkCase{"[http://a.b] {http://c.d}", "[" + made_link("http://a.b") + "] {" + made_link("http://c.d") + "}"},
        LinkCase{"http://a.b\tx", made_link("http://a.b") + "\tx"},
        // Not an address: nothing after the scheme, or inside a word.
        LinkCase{"http:// and xwww.a.b", "http:// and xwww.a.b"},
        // Addresses inside tags and inside the visitor's own link stay.
        LinkCase{"<img src=/face/1.gif alt=http://a.b>", "<img src=/face/1.gif alt=http://a.b>"},
        LinkCase{"<a href=\"http://a.b\">http://a.b</a> http://c.d",
                 "<a target=_blank rel=\"noopener noreferrer\" href=\"http://a.b\">http://a.b</a> " +
                     made_link("http://c.d")}));

TEST_F(PostMessage, LinkInsideTheColourMarkupEndsAtTheBlank) {
  post("ann", 1, PostForm{.message = "see http://example.org/page now", .style = 0, .colour = 1});
  EXPECT_EQ(last_text(), "<font color=#000000 size=2>see " + made_link("http://example.org/page") +
                             " now</font>");
}

TEST_F(PostMessage, PublicLineIsPushedLoggedAndShownToTheSender) {
  const std::string answer = post("ann", 1, PostForm{.message = "hello all", .style = -1});
  EXPECT_EQ(last_line(1), chat_line("ann", "All", "hello all"));
  EXPECT_EQ(last_addressee(1), "All");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].address, "10.0.0.8");
  EXPECT_EQ(events[0].text, "ann to All: hello all");
  EXPECT_EQ(events[0].seq_at_log, 2);  // logged right before the push (seq 2 -> 3)
  EXPECT_EQ(seq(1), 3);
  // The answer: body page with the identity and the line for the board.
  EXPECT_EQ(answer.find("<body>[ann|" + key_of("ann", 1) + "|1]<script>" + std::string(kBoard)), 0u)
      << answer;
  EXPECT_NE(answer.find("hello all<\\/span><\\/div>\";</script>"), std::string::npos);
  EXPECT_EQ(user("ann", 1).last_seq, 3);
}

TEST_F(PostMessage, PrivateLineFromAnnToBob) {
  const std::string answer =
      post("ann", 1, PostForm{.message = "psst", .to = "bob", .style = -1, .private_line = true});
  EXPECT_EQ(last_line(1), chat_line("ann", "bob", "psst", true));
  EXPECT_EQ(last_addressee(1), "bob");
  EXPECT_EQ(events.back().text, "* ann to bob: psst");
  EXPECT_NE(answer.find(kBoard), std::string::npos);
  EXPECT_NE(answer.find("psst"), std::string::npos);
}

// A line the sender's form calls private would reach everybody: refused,
// nothing pushed or logged; the sender keeps the line to change it.
TEST_F(PostMessage, PrivateToAllIsRefused) {
  const int before = seq(1);
  for (const char* to : {"All", ""}) {
    EXPECT_EQ(post("ann", 1, PostForm{.message = "x", .to = to, .style = -1, .private_line = true}),
              "<BODY bgcolor=\"#EBEBD6\">A private message needs one addressee, please choose a name "
              "or send it to All without Private!</body>");
  }
  EXPECT_EQ(seq(1), before);
  EXPECT_TRUE(events.empty());
  // The flag alone, with nothing to say, only sets the pane as before.
  EXPECT_EQ(post("ann", 1, PostForm{.message = "", .private_line = true}).find("A private message"),
            std::string::npos);
}

TEST_F(PostMessage, SplitSenderSeesTheLineInTheOwnPane) {
  poll("ann", 1);
  const std::string answer = post("ann", 1, PostForm{.message = "x", .split = true});
  EXPECT_NE(answer.find(kOwn), std::string::npos);
  EXPECT_EQ(answer.find(kBoard), std::string::npos);
  EXPECT_TRUE(user("ann", 1).split);
  post("ann", 1, PostForm{.message = "y"});
  EXPECT_FALSE(user("ann", 1).split);
}

TEST_F(PostMessage, EmptyMessageOnlySetsThePane) {
  const std::string answer = post("ann", 1, PostForm{.message = "", .split = true});
  EXPECT_EQ(answer, "<body>[ann|" + key_of("ann", 1) + "|1]<script><!--$msg--></script>");
  EXPECT_TRUE(user("ann", 1).split);
  EXPECT_EQ(seq(1), 2);
  EXPECT_TRUE(events.empty());
}

TEST_F(PostMessage, SenderGetsWhatOthersSaidSinceItsLastPollExactlyOnce) {
  poll("ann", 1);
  post("bob", 1, PostForm{.message = "from bob"});
  const std::string answer = post("ann", 1, PostForm{.message = "from ann"});
  // The post's answer carries bob's line before ann's own; the next poll
  // does not repeat either.
  const std::size_t bob_at = answer.find("from bob");
  ASSERT_NE(bob_at, std::string::npos);
  EXPECT_LT(bob_at, answer.find("from ann"));
  const std::string next = poll("ann", 1);
  EXPECT_EQ(next.find("from bob"), std::string::npos);
  EXPECT_EQ(next.find("from ann"), std::string::npos);
  EXPECT_NE(poll("bob", 1).find("from ann"), std::string::npos);
}

TEST_F(PostMessage, SplitSenderGetsPendingPrivateLinesInTheOwnPane) {
  poll("ann", 1);
  post("bob", 1, PostForm{.message = "psst", .to = "ann", .private_line = true});
  const std::string answer = post("ann", 1, PostForm{.message = "hi", .split = true});
  const std::size_t own = answer.find(kOwn);
  ASSERT_NE(own, std::string::npos);
  EXPECT_NE(answer.find("psst", own), std::string::npos);
  EXPECT_EQ(answer.find(kBoard), std::string::npos);
}

// A private line belongs to the place it was written to: whoever enters under
// that name later (after the addressee left, or never was there) gets none.
TEST_F(PostMessage, PrivateLinesReachOnlyThePlaceTheyWereWrittenTo) {
  struct Case {
    const char* what;
    bool addressee_there_first;
    bool leaves_before_reentry;
    const char* addressee_spelling;
    bool received;
  } cases[] = {
      {"addressee in the room", true, false, "zoe", true},
      {"addressee in the room, other case", true, false, "ZOE", true},
      {"addressee never there", false, false, "zoe", false},
      {"a later visitor of the name", true, true, "zoe", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.addressee_there_first) join("zoe", 1);
    post("ann", 1, PostForm{.message = "for zoe", .to = c.addressee_spelling, .private_line = true});
    if (c.leaves_before_reentry) {
      leave("zoe", 1, key_of("zoe", 1));
      join("zoe", 1);
    } else if (!c.addressee_there_first) {
      join("zoe", 1);
    }
    EXPECT_EQ(poll("zoe", 1).find("for zoe") != std::string::npos, c.received);
    join("carl", 1);
    EXPECT_EQ(poll("carl", 1).find("for zoe"), std::string::npos);
    leave("zoe", 1, key_of("zoe", 1));
    leave("carl", 1, key_of("carl", 1));
  }
}

TEST_F(PostMessage, LongAddresseeStillReachesTheUser) {
  const std::string long_name(50, 'z');
  join(long_name, 1);
  poll(long_name, 1);
  post("ann", 1, PostForm{.message = "long", .to = long_name, .private_line = true});
  EXPECT_NE(poll(long_name, 1).find("long"), std::string::npos);
}

TEST_F(PostMessage, NameIsDecodedOnceToTheAddressForm) {
  join("J%C3%B6rg", 1);
  post("J%C3%B6rg", 1, PostForm{.message = "hej"});
  EXPECT_EQ(events.back().text, "J%C3%B6rg to All: hej");
}

// --- unsafe input ---

TEST_F(PostMessage, ScriptInAMessageIsShownAsText) {
  post("ann", 1, PostForm{.message = "<b>bold</b><img src=x onerror=alert(1)>", .style = -1});
  EXPECT_EQ(last_text(), "<b>bold</b>&lt;img src=x onerror=alert(1)&gt;");
  // The log keeps what was typed.
  EXPECT_EQ(events.back().text, "ann to All: <b>bold</b><img src=x onerror=alert(1)>");
}

TEST_F(PostMessage, LinkCannotCarryAnEventHandler) {
  post("ann", 1, PostForm{.message = "http://x\"onmouseover=alert(1) y"});
  const std::string text = last_text();
  EXPECT_EQ(text.find("onmouseover=alert(1) y\""), std::string::npos) << text;
  EXPECT_NE(text.find(made_link("http://x") + "\"onmouseover=alert(1) y"), std::string::npos) << text;
}

TEST_F(PostMessage, MarkerInAMessageDoesNotBreakTheAnswer) {
  const std::string answer = post("ann", 1, PostForm{.message = "<!--$msg-->\"</script>", .style = -1});
  EXPECT_EQ(last_text(), "&lt;!--$msg-->\"&lt;/script&gt;");
  EXPECT_NE(answer.find("&lt;!--$msg-->\\\"&lt;/script&gt;<\\/span><\\/div>\";</script>"), std::string::npos) << answer;
}

TEST_F(PostMessage, AddresseeThatCannotBeANameIsRefused) {
  const std::string answer =
      post("ann", 1, PostForm{.message = "x", .to = "x');alert(1);('", .private_line = true});
  EXPECT_EQ(answer, test::expected::kRefusedName);
  EXPECT_NE(post("ann", 1, PostForm{.message = "x", .to = "x&apos;);alert(1);(&apos;"}).find("not allowed"),
            std::string::npos);
  EXPECT_EQ(seq(1), 2);
  EXPECT_TRUE(events.empty());
}

// --- bounds ---

const char kTooLong[] =
    "<BODY bgcolor=\"#EBEBD6\">This message is too long, please send at most 4000 characters!</body>";

struct LengthCase {
  const char* what;
  std::string message;  // as typed; the fixture form-encodes it
  bool accepted;
};

class MessageLength : public PostMessage, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(MessageLength, LongerThan4000DecodedBytesIsRefusedAndNothingKept) {
  const LengthCase& c = GetParam();
  const int before = seq(1);
  const std::string answer = post("ann", 1, PostForm{.message = c.message, .style = -1});
  if (c.accepted) {
    EXPECT_EQ(seq(1), before + 1) << c.what;
    EXPECT_EQ(events.size(), 1u) << c.what;
  } else {
    EXPECT_EQ(answer, kTooLong) << c.what;
    EXPECT_EQ(seq(1), before) << c.what;
    EXPECT_TRUE(events.empty()) << c.what;
  }
}

std::string repeated(const std::string& piece, std::size_t bytes) {
  std::string text;
  while (text.size() < bytes) text += piece;
  text.resize(bytes);
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, MessageLength,
    ::testing::Values(LengthCase{"3000 as the browser tests", std::string(3000, 'x'), true},
                      LengthCase{"exactly 4000", std::string(4000, 'x'), true},
                      // Encoded as %E9 each: 12,000 bytes on the wire, 4,000 decoded.
                      LengthCase{"4000 encoded bytes", std::string(4000, '\xe9'), true},
                      LengthCase{"4001", std::string(4001, 'x'), false},
                      LengthCase{"1 MiB of links", repeated("http://a", 1 << 20), false}));

// Lines built to make formatting grow them as much as it can: the kept text
// stays within four times what was typed (plus the colour markup).
struct GrowthCase {
  const char* what;
  std::string message;
  bool kept;         // pushed at all
  bool with_links;   // still carries links
};

class LineGrowth : public PostMessage, public ::testing::WithParamInterface<GrowthCase> {};

TEST_P(LineGrowth, KeptTextStaysWithinFourTimesTheTypedText) {
  const GrowthCase& c = GetParam();
  for (int style : {-1, 1}) {
    const int before = seq(1);
    const std::string answer = post("ann", 1, PostForm{.message = c.message, .style = style, .face = 9});
    if (!c.kept) {
      EXPECT_EQ(answer,
                "<BODY bgcolor=\"#EBEBD6\">This message holds too much markup, please send it as "
                "plain text!</body>")
          << c.what;
      EXPECT_EQ(seq(1), before) << c.what;
      continue;
    }
    ASSERT_EQ(seq(1), before + 1) << c.what;
    EXPECT_LE(last_text().size(), max_formatted_bytes(c.message.size())) << c.what << style;
    EXPECT_EQ(last_text().find("<a target=_blank") != std::string::npos, c.with_links) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, LineGrowth,
    ::testing::Values(GrowthCase{"addresses, blank apart", repeated("http://a ", 4000), true, true},
                      GrowthCase{"one long address", "http://" + std::string(3993, 'a'), true, true},
                      GrowthCase{"unclosed tags", repeated("<b>", 3999), true, false},
                      GrowthCase{"short text", "hi", true, false},
                      GrowthCase{"quotes in a blocked tag", "<script " + std::string(3990, '"') + ">",
                                 false, false}));

TEST_F(PostMessage, LinksThatDoNotFitStayAsTyped) {
  // Each "http://a " becomes about eleven times its size as a link.
  const std::string message = repeated("http://a ", 4000);
  post("ann", 1, PostForm{.message = message, .style = -1});
  const std::string text = last_text();
  EXPECT_LE(text.size(), max_formatted_bytes(message.size()));
  EXPECT_NE(text.find(made_link("http://a")), std::string::npos);
  // The rest is the typed text, to its last byte.
  EXPECT_EQ(text.substr(text.size() - 40), message.substr(message.size() - 40));
}

// --- room commands ---

TEST_F(PostMessage, AdministratorBansAndUnbans) {
  make_admin("boss", "pw");
  join("boss", 1, "pw");
  const std::string answer = post("boss", 1, PostForm{.message = "", .to = "Bob", .command = 1});
  EXPECT_EQ(last_line(1), "<div class=\"line\"><span class=\"head\"></span><span class=\"note\">[Bob] has been banned!</span></div>");
  EXPECT_EQ(last_addressee(1), "All");
  EXPECT_EQ(events.back().text, "boss to Bob: [Bob] has been banned!");
  EXPECT_NE(answer.find("[Bob] has been banned!"), std::string::npos);
  EXPECT_FALSE(user("bob", 1).active);
  EXPECT_EQ(poll("bob", 1), "You have been banned!");

  // A banned user's posts become a private notice to that user.
  post("bob", 1, PostForm{.message = "let me talk", .to = "All"});
  EXPECT_EQ(last_line(1), "<div class=\"line priv\"><span class=\"head\"><span class=\"mark\">private</span> </span><span class=\"note\">You have been banned!</span></div>");
  EXPECT_EQ(last_addressee(1), "bob");
  EXPECT_EQ(events.back().text, "bob to All: let me talk");

  // Banned list, then unban.
  join("carl", 1);
  post("boss", 1, PostForm{.message = "", .to = "carl", .command = 1});
  post("boss", 1, PostForm{.message = "", .to = "All", .command = 3});
  EXPECT_EQ(last_line(1), "<div class=\"line\"><span class=\"head\"></span><span class=\"note\">kicked list: bob,carl</span></div>");
  post("boss", 1, PostForm{.message = "", .to = "bob", .command = 2});
  EXPECT_EQ(last_line(1), "<div class=\"line\"><span class=\"head\"></span><span class=\"note\">[bob] has been unbanned!</span></div>");
  EXPECT_TRUE(user("bob", 1).active);
  EXPECT_NE(poll("bob", 1), "You have been banned!");
}

TEST_F(PostMessage, CommandsThatDoNothing) {
  make_admin("boss", "pw");
  join("boss", 1, "pw");
  const int before = seq(1);
  events.clear();
  const char* bare = "<body>[boss|<key>|1]<script><!--$msg--></script>";
  EXPECT_EQ(keyless(post("boss", 1, PostForm{.message = "", .to = "nobody", .command = 1})), bare);
  EXPECT_EQ(keyless(post("boss", 1, PostForm{.message = "", .to = "ann", .command = 2})), bare);
  EXPECT_EQ(keyless(post("boss", 1, PostForm{.message = "", .to = "All", .command = 3})), bare);
  EXPECT_EQ(keyless(post("boss", 1, PostForm{.message = "x", .to = "All", .command = 9})), bare);
  EXPECT_EQ(seq(1), before);
  EXPECT_TRUE(events.empty());
}

TEST_F(PostMessage, CommandsWithoutTheRight) {
  make_admin("boss", "pw");
  join("boss", 1, "pw");
  EXPECT_EQ(post("ann", 1, PostForm{.to = "bob", .command = 1}), "no permission!");
  // The password is no key of the place.
  EXPECT_EQ(post("boss", 1, PostForm{.to = "bob", .command = 1}, "pw"), "no permission!");
  EXPECT_EQ(post("boss", 1, PostForm{.to = "All", .command = 1}), "no permission!");
  EXPECT_EQ(post("boss", 1, PostForm{.to = "boss", .command = 1}), "no permission!");
  EXPECT_EQ(post("boss", 1, PostForm{.to = "All", .command = 2}), "no permission!");
  // Named in the administrator text but without an account.
  state.replace_rooms({test::room_info("Lobby", true, false, "ann")});
  join("ann", 1);
  EXPECT_EQ(post("ann", 1, PostForm{.to = "bob", .command = 3}), "no permission!");
  EXPECT_TRUE(user("bob", 1).active);
}

TEST_F(PostMessage, AdministratorNotOnlineCannotBan) {
  make_admin("boss", "pw");
  const int before = seq(1);
  // An administrator acts from a place of the account, not by the password.
  EXPECT_EQ(post("boss", 1, PostForm{.to = "bob", .command = 1}, "pw"), "no permission!");
  EXPECT_TRUE(user("bob", 1).active);
  EXPECT_EQ(seq(1), before);
  EXPECT_TRUE(events.empty());
}

// --- errors ---

TEST_F(PostMessage, SenderNotOnline) {
  EXPECT_EQ(post("zoe", 1), kNotOnline);
  EXPECT_EQ(post("ann", 2), kNotOnline);
  EXPECT_EQ(seq(1), 2);
  EXPECT_TRUE(events.empty());
}

TEST_F(PostMessage, IncompletePostsGetAnEmptyAnswer) {
  std::string out;
  chat_post(ctx, "ip", "POST /chatsubmit.ghp?username=ann&password=&room=1 HTTP/1.1\r\n\r\nchat_flag=1", out);
  EXPECT_EQ(out, "");
  chat_post(ctx, "ip", "POST /chatsubmit.ghp?username=ann&room=1 HTTP/1.1\r\n\r\nmessage=x&chat_flag=1", out);
  EXPECT_EQ(out, "");
  chat_post(ctx, "ip", "POST /chatsubmit.ghp?username=ann&password=&room=7 HTTP/1.1\r\n\r\nmessage=x&chat_flag=1",
            out);
  EXPECT_EQ(out, "");
  EXPECT_EQ(seq(1), 2);
}

TEST_F(PostMessage, FormWithoutAddresseeKeepsTheDefaults) {
  std::string out;
  chat_post(ctx, "ip",
            "POST /chatsubmit.ghp?username=ann&password=" + key_of("ann", 1) +
                "&room=1 HTTP/1.1\r\n\r\nmessage=a+b%21&chat_flag=1&mfont=3",
            out);
  EXPECT_EQ(last_line(1), chat_line("ann", "All", "<font color=#FFFFFF size=2>a b!</font>"));
  EXPECT_EQ(out.find("<body>[ann|" + key_of("ann", 1) + "|1]"), 0u);
}

TEST_F(PostMessage, ValueWhoseFollowingKeyIsMissingIsEmpty) {
  std::string out;
  // "&mfcolor=" has no "&elist=" after it: the colour reads as 0.
  chat_post(ctx, "ip",
            "POST /chatsubmit.ghp?username=ann&password=" + key_of("ann", 1) +
                "&room=1 HTTP/1.1\r\n\r\n"
                "message=hi&chat_flag=1&mtowho=All&mfilters=0&mfont=0&mfcolor=4",
            out);
  EXPECT_EQ(last_text(), "<font color=#FFFFFF size=2>hi</font>");
}

}  // namespace
}  // namespace tvl
