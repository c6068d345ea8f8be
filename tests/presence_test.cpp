// Presence: a user whose window has gone silent leaves the room after the
// idle limit exactly as through exit.ghp, whichever page finds the place
// stale. The chat clock is the fixture's, so nothing here waits.
#include <gtest/gtest.h>

#include <string>

#include "chat/chat_pages.h"
#include "tests/support/chat_fixture.h"

namespace tvl {
namespace {

using test::ChatFixture;
using test::PostForm;

const char kLeftLine[] =
    "<div class=\"line\"><span class=\"head\"><span class=\"time\">TT:TT:TT</span> <a href=\"#\" data-name=\"ann\">ann</a></span> <span class=\"note\">left the chat room...</span></div>";

class Presence : public ChatFixture {
 protected:
  static constexpr long long kLimit = 5000;     // a short limit, set as a test would
  static constexpr long long kInterval = 1000;

  Presence() {
    ctx.first_poll_delay_ms = 0;
    ctx.idle_leave_ms = kLimit;
    ctx.sweep_interval_ms = kInterval;
    ctx.now_ms = [this] { return clock; };
  }

  bool is_online(const std::string& name, int room) { return user(name, room).room == room; }

  std::string exit_page(const std::string& name, int room) {
    std::string out;
    EXPECT_TRUE(page_exit(ctx, "10.9.9.9", "/exit.ghp" + room_query(name, key_of(name, room), room), out));
    return out;
  }

  long long clock = 100000;
};

// Every page that works on the online table finds stale places, so a server
// nobody polls still counts right.
class StalePlaceLeaves : public Presence, public ::testing::WithParamInterface<const char*> {
 protected:
  void ask(const std::string& page) {
    std::string out;
    if (page == "body.ghp") poll("bob", 1);
    else if (page == "post") post("bob", 1, PostForm{.message = "still here"});
    else if (page == "index.ghp") page_index(ctx, "/index.ghp", out);
    else if (page == "users.ghp") page_users(ctx, "/users.ghp" + room_query("bob", "", 1), out);
    else if (page == "finduser.ghp") page_finduser(ctx, "/finduser.ghp?username=ann", out);
    else if (page == "chat.ghp") join("carl", 1);
    else if (page == "exit.ghp") exit_page("nobody", 1);
    else FAIL() << page;
  }
};

TEST_P(StalePlaceLeaves, ExactlyAsThroughExit) {
  join("ann", 1);
  join("bob", 1);
  clock += kLimit / 2;
  poll("bob", 1);  // bob stays active, ann is silent
  clock += kLimit / 2 + 1;
  events.clear();
  const int before = seq(1);

  ask(GetParam());

  EXPECT_FALSE(is_online("ann", 1));
  EXPECT_TRUE(is_online("bob", 1));
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().address, "10.0.0.7");  // the address ann joined from
  EXPECT_EQ(events.front().text, "ann left the [Lobby]");
  // The leave line is the one exit.ghp pushes, pushed right after its log row.
  EXPECT_EQ(events.front().seq_at_log, before);
  const auto lines = kept(1);
  bool found = false;
  for (const std::string& line : lines) found = found || masked(line) == kLeftLine;
  EXPECT_TRUE(found);
}

INSTANTIATE_TEST_SUITE_P(EveryPage, StalePlaceLeaves,
                         ::testing::Values("body.ghp", "post", "index.ghp", "users.ghp",
                                           "finduser.ghp", "chat.ghp", "exit.ghp"));

TEST_F(Presence, TimeOutAndExitLeaveTheSameTrace) {
  join("ann", 1);
  exit_page("ann", 1);
  const std::string by_exit = last_line(1);
  const std::string exit_log = events.back().text;

  join("ann", 1);
  clock += kLimit + 1;
  events.clear();
  poll("bob", 1);  // nobody by that name; the poll still sweeps
  EXPECT_EQ(last_line(1), by_exit);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text, exit_log);
  EXPECT_EQ(online(), 0);
}

struct ActivityCase {
  const char* what;
  long long silent_ms;  // since ann's last poll or post
  bool stays;
};

class ActivityKeepsThePlace : public Presence, public ::testing::WithParamInterface<ActivityCase> {};

TEST_P(ActivityKeepsThePlace, OnlySilenceBeyondTheLimitEndsIt) {
  const ActivityCase& c = GetParam();
  join("ann", 1);
  join("bob", 1);
  clock += kLimit;  // without the activity below ann would be stale by now
  if (std::string(c.what) == "poll") poll("ann", 1);
  else post("ann", 1, PostForm{.message = "hello"});
  clock += c.silent_ms;
  poll("bob", 1);
  EXPECT_EQ(is_online("ann", 1), c.stays) << c.what << " " << c.silent_ms;
}

INSTANTIATE_TEST_SUITE_P(
    PollAndPost, ActivityKeepsThePlace,
    ::testing::Values(ActivityCase{"poll", 1000, true}, ActivityCase{"poll", 5000, true},
                      ActivityCase{"poll", 5001, false}, ActivityCase{"post", 5000, true},
                      ActivityCase{"post", 5001, false}));

TEST_F(Presence, BannedUserTimesOutTheSameWay) {
  member("boss", "pw");
  state.replace_rooms({test::room_info("Lobby", true, false, "boss"), test::room_info("Members", false, false, ""),
                       test::room_info("Staff", true, true, "boss")});
  join("boss", 1, "pw");
  join("ann", 1);
  post("boss", 1, PostForm{.message = "", .to = "ann", .command = 1});
  ASSERT_FALSE(user("ann", 1).active);

  // A banned user's polls keep the place...
  clock += 4000;
  EXPECT_EQ(poll("ann", 1), "You have been banned!");
  poll("boss", 1);
  clock += 4000;
  poll("boss", 1);
  EXPECT_TRUE(is_online("ann", 1));
  // ...and silence ends it, which frees the name.
  clock += 1001;
  events.clear();
  poll("boss", 1);
  EXPECT_FALSE(is_online("ann", 1));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text, "ann left the [Lobby]");
  EXPECT_EQ(join("ann", 1).rfind("chat:", 0), 0u);
  // The ban is the room's, not the place's: it stays until lifted.
  EXPECT_FALSE(user("ann", 1).active);
}

TEST_F(Presence, SweepsAtMostOncePerInterval) {
  join("ann", 1);
  join("bob", 1);
  clock += kLimit - 200;
  poll("bob", 1);  // sweeps now; ann not stale yet
  clock += 500;    // ann stale, but the last sweep was 500 ms ago
  poll("bob", 1);
  EXPECT_TRUE(is_online("ann", 1));
  clock += kInterval - 500;
  poll("bob", 1);
  EXPECT_FALSE(is_online("ann", 1));
}

TEST_F(Presence, ClosedWindowsNoLongerFillTheTableOrHoldTheirNames) {
  for (int i = 0; i < ChatState::kMaxOnline; ++i)
    ASSERT_EQ(join("g" + std::to_string(i), 1).rfind("chat:", 0), 0u) << i;
  EXPECT_EQ(join("late", 1), "<BODY bgcolor=\"#EBEBD6\">The chat is full, please try again later!</body>");
  EXPECT_NE(join("g0", 1).find("has logged on"), std::string::npos);

  clock += kLimit + 1;
  EXPECT_EQ(join("g0", 1).rfind("chat:", 0), 0u);  // the own name again
  EXPECT_EQ(join("late", 1).rfind("chat:", 0), 0u);
  EXPECT_EQ(online(), 2);
}

TEST_F(Presence, PlaceInARoomThatNoLongerExistsStillTimesOut) {
  state.replace_rooms({test::room_info("Lobby", true, false, ""), test::room_info("Two", true, false, ""),
                       test::room_info("Three", true, false, "")});
  join("ann", 3);
  state.replace_rooms({test::room_info("Lobby", true, false, "")});
  clock += kLimit + 1;
  std::string out;
  page_index(ctx, "/index.ghp", out);
  EXPECT_EQ(online(), 0);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].text, "ann left the []");
  EXPECT_TRUE(kept(1).empty());  // announced in no other room
}

}  // namespace
}  // namespace tvl
