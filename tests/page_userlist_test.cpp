// users.ghp (the list of a room's users) and exit.ghp (leaving a room).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chat/chat_pages.h"
#include "chat/chat_state.h"

namespace tvl {
namespace {

struct Event {
  std::string address, time, text;
};

class UserListTest : public ::testing::Test {
 protected:
  UserListTest() : ctx{site, state, [this](const std::string& a, const std::string& t, const std::string& x) {
                         events.push_back({a, t, x});
                       }} {
    ctx.first_poll_delay_ms = 0;
    std::vector<RoomInfo> rooms(2);
    std::snprintf(rooms[0].name, sizeof rooms[0].name, "%s", "Lobby");
    std::snprintf(rooms[1].name, sizeof rooms[1].name, "%s", "Quiet");
    state.replace_rooms(rooms);
    site.templates[T_USERS].set("<!--users-->");
    site.templates[T_BODY].set("<script><!--$msg--></script>");
  }

  void join(const char* name, int room, const char* icon = "1.gif") {
    OnlineUser u;
    std::snprintf(u.name, sizeof u.name, "%s", name);
    std::snprintf(u.icon, sizeof u.icon, "%s", icon);
    u.room = room;
    u.key = "k";  // the key every place of these tests carries
    u.last_active_ms = steady_now_ms();  // present, as after a join
    ChatState::Hold chat(state);
    ASSERT_TRUE(state.add_user(u));
  }

  std::string users(const std::string& path) {
    std::string out;
    EXPECT_TRUE(page_users(ctx, path, out)) << path;
    return out;
  }
  std::string leave(const std::string& path) {
    std::string out;
    EXPECT_TRUE(page_exit(ctx, "10.1.2.3", path, out)) << path;
    return out;
  }
  std::string poll(const std::string& name, int room) {
    std::string out;
    EXPECT_TRUE(page_body(ctx, "/body.ghp?username=" + name + "&password=k&room=" + std::to_string(room), out));
    return out;
  }
  std::vector<std::string> names_online() {
    ChatState::Hold chat(state);
    std::vector<std::string> names;
    for (int i = 0; i < state.online_count(); ++i)
      names.push_back(state.user(i).name + std::string("@") + std::to_string(state.user(i).room));
    return names;
  }
  int seq(int room) {
    ChatState::Hold chat(state);
    return state.ring(room).seq;
  }
  std::string newest_line(int room) {
    ChatState::Hold chat(state);
    const RoomMessages& r = state.ring(room);
    return r.kept() == 0 ? std::string() : r.text(r.kept() - 1);
  }

  static std::string entry(const std::string& name, const std::string& icon, bool own = false) {
    return "<img src=/images/" + icon + ">[<a href=\"#\" data-name=\"" + name + "\">" + name + "</a>]" +
           (own ? "<==<br>" : "<br>");
  }

  SiteData site;
  ChatState state;
  ChatContext ctx;
  std::vector<Event> events;
};

// --- users.ghp ---

TEST_F(UserListTest, ListsTheRoomsUsersInJoiningOrder) {
  join("carl", 1, "3.gif");
  join("zoe", 2);
  join("ann", 1, "7.gif");
  join("bob", 1);
  EXPECT_EQ(users("/users.ghp?username=dave&password=k&room=1"),
            entry("carl", "3.gif") + entry("ann", "7.gif") + entry("bob", "1.gif"));
}

TEST_F(UserListTest, MarksOnlyTheLineWithTheRequestsExactSpelling) {
  join("ann", 1);
  join("bob", 1);
  EXPECT_EQ(users("/users.ghp?username=ann&password=k&room=1"),
            entry("ann", "1.gif", true) + entry("bob", "1.gif"));
  // Same user, other spelling: listed, but not marked.
  EXPECT_EQ(users("/users.ghp?username=Ann&password=k&room=1"),
            entry("ann", "1.gif") + entry("bob", "1.gif"));
}

TEST_F(UserListTest, FillsEveryMarkerInPlaceAndCountsTheRoomOnly) {
  site.templates[T_USERS].set(
      "<!--roomname-->|<!--count-->|<!--users-->|<!--$user-->|<!--$pass-->|<!--$room-->|<!--count-->");
  join("ann", 2);
  join("bob", 1);
  join("carl", 2);
  EXPECT_EQ(users("/users.ghp?username=ann&password=k&room=2x"),
            "Quiet|2|" + entry("ann", "1.gif", true) + entry("carl", "1.gif") + "|ann|k|2x|2");
}

TEST_F(UserListTest, EmptyRoomCountsZeroAndRemovesTheListMarker) {
  site.templates[T_USERS].set("[<!--count-->][<!--users-->]");
  join("ann", 1);
  EXPECT_EQ(users("/users.ghp?username=ann&password=k&room=2"), "[0][]");
}

TEST_F(UserListTest, BannedUsersAreListedLikeEverybodyElse) {
  join("ann", 1);
  {
    ChatState::Hold chat(state);
    state.user(0).active = false;
  }
  EXPECT_EQ(users("/users.ghp?username=x&password=k&room=1"), entry("ann", "1.gif"));
}

// --- exit.ghp ---

TEST_F(UserListTest, ExitByAnotherSpellingRemovesAndAnnouncesTheTypedName) {
  join("ann", 1);
  join("bob", 1);
  EXPECT_EQ(leave("/exit.ghp?username=ANN&password=k&room=1"),
            "You have logged out the chat room successfully!");
  EXPECT_EQ(names_online(), std::vector<std::string>{"bob@1"});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].address, "10.1.2.3");
  EXPECT_EQ(events[0].text, "ANN left the [Lobby]");
  EXPECT_EQ(events[0].time.size(), 8u);
  EXPECT_EQ(newest_line(1), "<div class=\"line\"><span class=\"head\"><span class=\"time\">" +
                                events[0].time +
                                "</span> <a href=\"#\" data-name=\"ANN\">ANN</a></span> <span "
                                "class=\"note\">left the chat room...</span></div>");
}

TEST_F(UserListTest, ExitKeepsTheOthersOrderAndDeliveryFields) {
  join("a", 1);
  join("b", 1);
  join("c", 1);
  join("d", 2);
  join("e", 1);
  {
    ChatState::Hold chat(state);
    state.user(3).last_seq = 4;
    state.user(4).split = true;
  }
  leave("/exit.ghp?username=c&password=k&room=1");
  EXPECT_EQ(names_online(), (std::vector<std::string>{"a@1", "b@1", "d@2", "e@1"}));
  ChatState::Hold chat(state);
  EXPECT_EQ(state.user(2).last_seq, 4);
  EXPECT_TRUE(state.user(3).split);
}

TEST_F(UserListTest, ExitOnlyLeavesTheNamedRoom) {
  join("ann", 1);
  join("ann", 2);
  leave("/exit.ghp?username=ann&password=k&room=2");
  EXPECT_EQ(names_online(), std::vector<std::string>{"ann@1"});
  EXPECT_EQ(seq(1), 0);
  EXPECT_EQ(seq(2), 1);
}

TEST_F(UserListTest, EveryRemainingUserReloadsTheListOnceAfterALeave) {
  join("ann", 1);
  join("bob", 1);
  join("carl", 2);
  for (const char* name : {"ann", "bob"}) poll(name, 1);
  poll("carl", 2);
  // Up to date: nothing new, no reload.
  EXPECT_EQ(poll("ann", 1).find("users.ghp"), std::string::npos);

  leave("/exit.ghp?username=bob&password=k&room=1");
  const std::string ann = poll("ann", 1);
  EXPECT_NE(ann.find("parent.users.window.location.href=\"users.ghp?username=ann&password=k&room=1\";"),
            std::string::npos)
      << ann;
  // A leave in another room changes the total count too.
  EXPECT_NE(poll("carl", 2).find("users.ghp?username=carl"), std::string::npos);
  EXPECT_EQ(poll("ann", 1).find("users.ghp"), std::string::npos);
}

// --- error paths ---

TEST_F(UserListTest, ExitOfSomebodyNotThereAnswersButChangesNothing) {
  join("ann", 1);
  EXPECT_EQ(leave("/exit.ghp?username=bob&password=k&room=1"),
            "You have logged out the chat room successfully!");
  EXPECT_EQ(leave("/exit.ghp?username=ann&password=k&room=2"),
            "You have logged out the chat room successfully!");
  EXPECT_EQ(names_online(), std::vector<std::string>{"ann@1"});
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(seq(1), 0);
  EXPECT_EQ(seq(2), 0);
}

TEST_F(UserListTest, BothPagesDeclineMissingKeysAndRoomsOutOfRange) {
  join("ann", 1);
  const char* paths[] = {
      "/x.ghp?username=ann&password=k&room=0",   "/x.ghp?username=ann&password=k&room=3",
      "/x.ghp?username=ann&password=k&room=abc", "/x.ghp?username=ann&room=1",
      "/x.ghp?username=ann&password=",          "/x.ghp?password=&room=1",
      "/x.ghp?username=ann&password=k&room=-1",
  };
  for (const char* path : paths) {
    std::string out;
    EXPECT_FALSE(page_users(ctx, path, out)) << path;
    EXPECT_FALSE(page_exit(ctx, "10.1.2.3", path, out)) << path;
  }
  EXPECT_EQ(names_online(), std::vector<std::string>{"ann@1"});
  EXPECT_TRUE(events.empty());
}

}  // namespace
}  // namespace tvl
