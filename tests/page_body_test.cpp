#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "chat/board_line.h"
#include "chat/chat_pages.h"
#include "tests/support/chat_fixture.h"

namespace tvl {
namespace {

using test::ChatFixture;
using test::PostForm;

const char kBody[] = "<body>[<!--$user-->|<!--$pass-->|<!--$room-->]<script><!--$msg--></script>";
const char kBoard[] = "parent.board.document.body.innerHTML=parent.board.document.body.innerHTML+\"";
const char kOwn[] = "parent.mymsg.document.body.innerHTML=parent.mymsg.document.body.innerHTML+\"";

class MessageStream : public ChatFixture {
 protected:
  // The board text of a poll's answer, unescaped from its script string,
  // with the lines push() made written short again.
  static std::string board_of(const std::string& page) { return short_form(statement_text(page, kBoard)); }
  static std::string own_of(const std::string& page) { return short_form(statement_text(page, kOwn)); }
  static std::string short_form(std::string text) {
    for (const auto& [line, written] : {std::pair<std::string, const char*>{notice_line("", true), "<br>*"},
                                        {notice_line(""), "<br>"}}) {
      const std::string start = line.substr(0, line.size() - kLineEnd.size());
      for (std::size_t at; (at = text.find(start)) != std::string::npos;) text.replace(at, start.size(), written);
    }
    for (std::size_t at; (at = text.find(kLineEnd)) != std::string::npos;) text.erase(at, kLineEnd.size());
    return text;
  }
  static inline const std::string kLineEnd = "</span></div>";
  static std::string statement_text(const std::string& page, const char* head) {
    std::size_t at = page.find(head);
    if (at == std::string::npos) return std::string();
    std::string text;
    for (std::size_t i = at + std::strlen(head); i < page.size() && page[i] != '"'; ++i) {
      char c = page[i];
      if (c == '\\' && i + 1 < page.size()) {
        c = page[++i];
        if (c == 'r') c = '\r';
        if (c == 'n') c = '\n';
      }
      text += c;
    }
    return text;
  }
  static bool has_reload(const std::string& page) {
    return page.find("parent.users.window.location.href") != std::string::npos;
  }

  // Pushes a line straight into a room's ring.
  // A line for the ring, given short: "<br>*..." stands for a private line,
  // which goes to the place of `to` in that room (none when not online),
  // "<br>..." for any other; the rest becomes the line's note.
  void push(int room, const std::string& text, const std::string& to = "All") {
    ChatState::Hold hold(state);
    unsigned long long place = 0;
    const bool is_private = text.compare(0, 5, "<br>*") == 0;
    if (is_private) {
      const std::optional<int> i = state.find_online_user(room, to);
      place = i ? state.user(*i).place_id : ~0ULL;
    }
    state.push_message(room, notice_line(text.substr(is_private ? 5 : 4), is_private), to, place);
  }
};

TEST_F(MessageStream, NotOnlineGetsTheBarePage) {
  EXPECT_EQ(poll("nobody", 1), kBody);
  join("ann", 1);
  EXPECT_EQ(poll("ann", 1).find("<!--$msg-->"), std::string::npos);
  // A user who left is not online either.
  std::string out;
  page_exit(ctx, "ip", "/exit.ghp?username=ann&password=" + key_of("ann", 1) + "&room=1", out);
  EXPECT_EQ(poll("ann", 1), kBody);
}

TEST_F(MessageStream, FirstPollReloadsTheListThenDeliversTheRing) {
  join("ann", 1);
  const std::string page = poll("ann", 1);
  const std::string expected_reload =
      "parent.users.window.location.href=\"users.ghp?username=ann&password=" + key_of("ann", 1) +
      "&room=1\";";
  ASSERT_NE(page.find(expected_reload), std::string::npos) << page;
  EXPECT_LT(page.find(expected_reload), page.find(kBoard));
  EXPECT_EQ(masked(board_of(page)), test::ChatFixture::masked(short_form(kept(1)[0])));
  EXPECT_EQ(page.find("<!--$msg-->"), std::string::npos);
  EXPECT_EQ(user("ann", 1).last_seq, 1);
  EXPECT_EQ(user("ann", 1).known_online, 1);
}

TEST_F(MessageStream, SecondPollInARowGetsNothing) {
  join("ann", 1);
  poll("ann", 1);
  EXPECT_EQ(poll("ann", 1), kBody);
}

TEST_F(MessageStream, OnlyNewLinesOldestFirst) {
  join("ann", 1);
  poll("ann", 1);
  push(1, "<br>one");
  push(1, "<br>two");
  EXPECT_EQ(board_of(poll("ann", 1)), "<br>one<br>two");
  push(1, "<br>three");
  EXPECT_EQ(board_of(poll("ann", 1)), "<br>three");
}

TEST_F(MessageStream, AnyChangeOfTheOnlineCountReloadsTheListOnce) {
  join("ann", 1);
  poll("ann", 1);
  join("bob", 1);  // same room
  member("mia", "pw");
  join("mia", 2, "pw");  // another room also counts
  std::string page = poll("ann", 1);
  EXPECT_TRUE(has_reload(page));
  EXPECT_FALSE(has_reload(poll("ann", 1)));
  std::string out;
  page_exit(ctx, "ip", "/exit.ghp?username=mia&password=" + key_of("mia", 2) + "&room=2", out);
  EXPECT_TRUE(has_reload(poll("ann", 1)));
}

TEST_F(MessageStream, PrivateLinesReachOnlyTheirPlace) {
  join("Ann", 1);
  join("carl", 1);
  poll("Ann", 1);
  poll("carl", 1);
  push(1, "<br>*secret", "ANN");
  push(1, "<br>public", "All");
  // Matched as names are: the place of Ann, whatever the spelling.
  EXPECT_EQ(board_of(poll("ann", 1)), "<br>*secret<br>public");
  EXPECT_EQ(board_of(poll("carl", 1)), "<br>public");
}

TEST_F(MessageStream, SplitModeSendsLinesToTheUserToTheOwnPane) {
  join("ann", 1);
  poll("ann", 1);
  post("ann", 1, PostForm{.message = "", .split = true});  // switches the pane on
  ASSERT_TRUE(user("ann", 1).split);
  push(1, "<br>to ann", "ann");
  push(1, "<br>*private to ann", "ann");
  push(1, "<br>everybody", "All");
  push(1, "<br>*private to bob", "bob");
  push(1, "<br>public to bob", "bob");
  const std::string page = poll("ann", 1);
  EXPECT_EQ(own_of(page), "<br>to ann<br>*private to ann");
  EXPECT_EQ(board_of(page), "<br>everybody<br>public to bob");
  EXPECT_LT(page.find(kOwn), page.find(kBoard));
}

TEST_F(MessageStream, BannedUserGetsOnlyTheNotice) {
  join("bob", 1);
  poll("bob", 1);
  push(1, "<br>x");
  {
    ChatState::Hold hold(state);
    state.user(state.find_online_user(1, "bob").value()).active = false;
  }
  EXPECT_EQ(poll("bob", 1), "You have been banned!");
  EXPECT_EQ(poll("bob", 1), "You have been banned!");
  EXPECT_EQ(user("bob", 1).last_seq, 1);  // fields unchanged
}

TEST_F(MessageStream, ReloadOfTheRoomsWhileOnline) {
  join("ann", 1);
  join("bob", 1);
  poll("ann", 1);
  push(1, "<br>old");
  state.replace_rooms({test::room_info("Lobby", true, false, ""), test::room_info("Other", true, false, "")});
  EXPECT_EQ(board_of(poll("ann", 1)), "");
  push(1, "<br>new");
  EXPECT_EQ(board_of(poll("ann", 1)), "<br>new");
  EXPECT_EQ(board_of(poll("ann", 1)), "");
  // bob never polled: his first poll gets the new ring only.
  EXPECT_EQ(board_of(poll("bob", 1)), "<br>new");
  // Lines pushed after a reload reach a user who had received more lines
  // before it than were pushed since, without a poll in between.
  for (int i = 0; i < 3; ++i) push(1, "<br>more");
  poll("ann", 1);
  state.replace_rooms({test::room_info("Lobby", true, false, "")});
  push(1, "<br>first");
  push(1, "<br>second");
  EXPECT_EQ(board_of(poll("ann", 1)), "<br>first<br>second");
}

TEST_F(MessageStream, LinesAreEscapedForTheScriptString) {
  join("ann", 1);
  poll("ann", 1);
  const std::string line = "<br>say \"hi\" C:\\dir\r\n</font><!--$msg-->";
  push(1, line);
  const std::string page = poll("ann", 1);
  EXPECT_NE(page.find("say \\\"hi\\\" C:\\\\dir\\r\\n<\\/font><\\!--$msg--><\\/span><\\/div>\";"), std::string::npos)
      << page;
  EXPECT_EQ(board_of(page), line);
  EXPECT_EQ(page.find("</font>"), std::string::npos);
}

TEST_F(MessageStream, TheReloadCarriesTheKeyNeverThePassword) {
  member("ann", "a\"b</x");
  join("ann", 1, "a\"b</x");
  const std::string page = poll("ann", 1);
  EXPECT_NE(page.find("&password=" + key_of("ann", 1) + "&room=1\";"), std::string::npos) << page;
  EXPECT_EQ(page.find("a%22b"), std::string::npos) << page;
}

TEST_F(MessageStream, EmptyBodyTemplateGivesAnEmptyPage) {
  site.templates[T_BODY].set("");
  join("ann", 1);
  EXPECT_EQ(poll("ann", 1), "");
  EXPECT_EQ(poll("nobody", 1), "");
}

TEST_F(MessageStream, FirstPollWaitsWithoutTheChatLock) {
  ctx.first_poll_delay_ms = 600;
  join("ann", 1);
  std::atomic<bool> done{false};
  std::thread poller([&] {
    poll("ann", 1);
    done = true;
  });
  // While the poll has delivered (last_seq set) but not yet answered, the
  // chat lock must be free.
  bool free_while_waiting = false;
  while (!done && !free_while_waiting) {
    {
      ChatState::Hold hold(state);
      const std::optional<int> i = state.find_online_user(1, "ann");
      bool delivered = i && state.user(*i).last_seq == 1;
      if (delivered && !done) free_while_waiting = true;
    }
    std::this_thread::yield();
  }
  poller.join();
  EXPECT_TRUE(free_while_waiting);
}

// --- errors ---

TEST_F(MessageStream, DeclinedWithoutKeysOrWithABadRoom) {
  join("ann", 1);
  std::string out;
  EXPECT_FALSE(page_body(ctx, "/body.ghp?username=ann&password=", out));
  EXPECT_FALSE(page_body(ctx, "/body.ghp?username=ann&room=1", out));
  EXPECT_FALSE(page_body(ctx, "/body.ghp?password=&room=1", out));
  EXPECT_EQ(poll("ann", 0), "<declined>");
  EXPECT_EQ(poll("ann", 4), "<declined>");
  EXPECT_EQ(user("ann", 1).last_seq, 0);
}

TEST_F(MessageStream, WrongRoomIsNotOnline) {
  join("ann", 1);
  EXPECT_EQ(poll("ann", 3), kBody);
}

}  // namespace
}  // namespace tvl
