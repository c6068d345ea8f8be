// The bounds on failed logins and registrations, the room bans, and the test
// of where a form post comes from.
#include "chat/account_guard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/same_site.h"

namespace tvl {
namespace {

// Helper verbs: a whole failed (or right) check, and a probe that checks
// nothing and counts nothing.
void fail(LoginBounds& b, const char* network, const char* account, int bound, long long now) {
  const LoginBounds::Turn turn = b.begin_login(network, account, bound, now);
  ASSERT_TRUE(turn.granted) << network << " " << account;
  b.end_login(turn, network, account, bound, LoginOutcome::Failed, now);
}

void succeed(LoginBounds& b, const char* network, const char* account, int bound, long long now) {
  const LoginBounds::Turn turn = b.begin_login(network, account, bound, now);
  ASSERT_TRUE(turn.granted) << network << " " << account;
  b.end_login(turn, network, account, bound, LoginOutcome::Succeeded, now);
}

bool allowed(LoginBounds& b, const char* network, const char* account, int bound, long long now) {
  const LoginBounds::Turn turn = b.begin_login(network, account, bound, now);
  b.end_login(turn, network, account, bound, LoginOutcome::NotChecked, now);
  return turn.granted;
}

TEST(LoginBounds, FailuresAreBoundedPerNetworkAndPerAccount) {
  struct Case {
    const char* what;
    const char* next_network;
    const char* next_account;
    long long later_ms;
    bool allowed;
  } cases[] = {
      {"same network, same account", "10.0.0.1", "ann", 0, false},
      {"same network, other account", "10.0.0.1", "bob", 0, false},
      {"other network, same account (any case)", "10.0.0.2", "ANN", 0, false},
      {"other network, other account", "10.0.0.2", "bob", 0, true},
      {"after the lockout", "10.0.0.1", "ann", kLockoutMs, true},
      {"just before its end", "10.0.0.1", "ann", kLockoutMs - 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoginBounds bounds;
    for (int i = 0; i < 3; ++i) fail(bounds, "10.0.0.1", "ann", 3, 1000);
    EXPECT_EQ(allowed(bounds, c.next_network, c.next_account, 3, 1000 + c.later_ms), c.allowed);
  }
}

TEST(LoginBounds, OnlyFailuresWithinTheWindowCountAndZeroIsNoBound) {
  LoginBounds bounds;
  fail(bounds, "a", "ann", 2, 0);
  fail(bounds, "a", "ann", 2, kFailureWindowMs);  // the first has expired
  EXPECT_TRUE(allowed(bounds, "a", "ann", 2, kFailureWindowMs));
  fail(bounds, "a", "ann", 2, kFailureWindowMs + 1);
  EXPECT_FALSE(allowed(bounds, "a", "ann", 2, kFailureWindowMs + 1));

  LoginBounds unbounded;
  for (int i = 0; i < 100; ++i) fail(unbounded, "a", "ann", 0, 0);
  EXPECT_TRUE(allowed(unbounded, "a", "ann", 0, 0));
}

TEST(LoginBounds, ChecksUnderWayCountBeforeTheyEnd) {
  LoginBounds bounds;
  std::vector<LoginBounds::Turn> running;
  for (int i = 0; i < 3; ++i) {
    running.push_back(bounds.begin_login("10.0.0.1", "ann", 3, 0));
    ASSERT_TRUE(running.back().granted);
  }
  // Three checks under way fill the bound of 3: a fourth waits for none.
  EXPECT_FALSE(bounds.begin_login("10.0.0.1", "ann", 3, 0).granted);
  EXPECT_FALSE(bounds.begin_login("10.0.0.9", "ann", 3, 0).granted);
  // One that checked nothing gives its turn back; a right one too.
  bounds.end_login(running[0], "10.0.0.1", "ann", 3, LoginOutcome::NotChecked, 0);
  bounds.end_login(running[1], "10.0.0.1", "ann", 3, LoginOutcome::Succeeded, 0);
  EXPECT_TRUE(allowed(bounds, "10.0.0.1", "ann", 3, 0));
  bounds.end_login(running[2], "10.0.0.1", "ann", 3, LoginOutcome::Failed, 0);
  EXPECT_TRUE(allowed(bounds, "10.0.0.1", "ann", 3, 0));  // one failure of three
}

TEST(LoginBounds, GuessesFromElsewhereDoNotLockTheOwnerOut) {
  LoginBounds bounds;
  succeed(bounds, "192.0.2.7", "ann", 3, 0);  // ann at home
  for (int i = 0; i < 3; ++i) fail(bounds, "203.0.113.1", "ann", 3, 10);
  EXPECT_FALSE(allowed(bounds, "203.0.113.1", "ann", 3, 20));  // the guesser
  EXPECT_FALSE(allowed(bounds, "198.51.100.4", "ANN", 3, 20));  // a stranger for ann
  EXPECT_TRUE(allowed(bounds, "192.0.2.7", "Ann", 3, 20));     // the owner's network
  // The owner's own network keeps its own bound.
  for (int i = 0; i < 3; ++i) fail(bounds, "192.0.2.7", "ann", 3, 30);
  EXPECT_FALSE(allowed(bounds, "192.0.2.7", "ann", 3, 40));
  // Only the last few networks are remembered.
  LoginBounds roaming;
  for (std::size_t i = 0; i <= kKnownNetworks; ++i)
    succeed(roaming, ("10.0.0." + std::to_string(i)).c_str(), "bob", 3, 0);
  for (int i = 0; i < 3; ++i) fail(roaming, "203.0.113.1", "bob", 3, 10);
  EXPECT_FALSE(allowed(roaming, "10.0.0.0", "bob", 3, 20));  // the oldest, forgotten
  EXPECT_TRUE(allowed(roaming, "10.0.0.1", "bob", 3, 20));
}

TEST(LoginBounds, RegistrationsPerNetworkAndHourCountedBeforeTheyAreMade) {
  LoginBounds bounds;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(bounds.begin_registration("a", 3, i));
    bounds.end_registration("a", 3, true, i);
  }
  EXPECT_FALSE(bounds.begin_registration("a", 3, 10));
  EXPECT_TRUE(bounds.begin_registration("a", 0, 10));
  EXPECT_TRUE(bounds.begin_registration("a", 3, kRegistrationWindowMs + 1));
  // Under way counts; one that made nothing is forgotten.
  ASSERT_TRUE(bounds.begin_registration("b", 2, 0));
  ASSERT_TRUE(bounds.begin_registration("b", 2, 0));
  EXPECT_FALSE(bounds.begin_registration("b", 2, 0));
  bounds.end_registration("b", 2, false, 0);
  EXPECT_TRUE(bounds.begin_registration("b", 2, 0));
}

TEST(RoomBans, ABanIsTheRoomsAndOutlivesThePlace) {
  RoomBans bans;
  bans.ban("Lobby", "Bob");
  EXPECT_TRUE(bans.banned("Lobby", "bob"));
  EXPECT_TRUE(bans.banned("LOBBY", "BOB"));
  EXPECT_FALSE(bans.banned("Staff", "bob"));
  EXPECT_FALSE(bans.unban("Staff", "bob"));
  EXPECT_TRUE(bans.unban("Lobby", "BOB"));
  EXPECT_FALSE(bans.banned("Lobby", "bob"));
}

TEST(GuestEntry, TheWholeChatOrSingleRoomsClose) {
  GuestEntry guests;
  EXPECT_FALSE(guests.closed("Lobby"));
  EXPECT_FALSE(guests.open("Lobby"));
  guests.close("Lobby");
  EXPECT_TRUE(guests.closed("LOBBY"));
  EXPECT_FALSE(guests.closed("Staff"));
  EXPECT_FALSE(guests.closed(""));
  guests.close("");
  EXPECT_TRUE(guests.closed("Staff"));
  EXPECT_TRUE(guests.open("lobby"));
  EXPECT_TRUE(guests.closed("Lobby"));  // the whole chat still is
  guests.close("Staff");
  EXPECT_TRUE(guests.open(""));
  EXPECT_FALSE(guests.closed("Staff"));
  EXPECT_FALSE(guests.closed(""));
  EXPECT_FALSE(guests.open(""));
}

// A timed ban holds its name and network until its end, then neither; the
// longest of the bans that hold a network is the one a new place gets.
TEST(RoomBans, ATimedBanEndsByItself) {
  RoomBans bans;
  ServerSettings settings;
  bans.ban("Lobby", "troll", "10.0.0.7", 5000);
  bans.ban("Lobby", "imp", "10.0.0.7", 9000);
  long long ends = -1;
  EXPECT_TRUE(bans.banned("Lobby", "troll2", "10.0.0.7", settings, 4999, &ends));
  EXPECT_EQ(ends, 9000);
  EXPECT_TRUE(bans.banned("Lobby", "troll", 4999));
  EXPECT_FALSE(bans.banned("Lobby", "troll", 5000));
  EXPECT_TRUE(bans.banned("Lobby", "troll", "10.0.0.8", settings, 4999, &ends));
  EXPECT_EQ(ends, 5000);
  EXPECT_FALSE(bans.banned("Lobby", "troll", "10.0.0.8", settings, 5000));
  bans.ban("Lobby", "ogre", "10.0.0.7");
  EXPECT_TRUE(bans.banned("Lobby", "x", "10.0.0.7", settings, 9000, &ends));
  EXPECT_EQ(ends, 0);  // one ban until lifted outlasts every timed one
  EXPECT_FALSE(bans.unban("Lobby", "imp", 9000));  // it had ended
}

TEST(SameSite, OriginOrRefererMustNameTheHost) {
  struct Case {
    const char* headers;
    bool accepted;
  } cases[] = {
      {"Host: chat.example:8080\r\nOrigin: http://chat.example:8080\r\n", true},
      {"Host: chat.example:8080\r\nOrigin: http://evil.example\r\n", false},
      {"Host: chat.example:8080\r\nOrigin: http://chat.example:8081\r\n", false},
      {"Host: chat.example\r\nOrigin: http://chat.example:80\r\n", true},
      {"Host: CHAT.example\r\norigin: http://chat.EXAMPLE\r\n", true},
      {"Host: chat.example\r\nOrigin: null\r\n", false},
      {"Host: chat.example\r\nReferer: http://chat.example/register.ghp\r\n", true},
      {"Host: chat.example\r\nReferer: http://evil.example/chat.example/\r\n", false},
      {"Host: chat.example\r\nReferer: http://chat.example.evil.example/\r\n", false},
      {"Host: chat.example\r\nReferer: http://chat.example@evil.example/\r\n", false},
      // Origin decides when both are sent.
      {"Host: chat.example\r\nOrigin: http://evil.example\r\nReferer: http://chat.example/\r\n", false},
      {"Host: chat.example\r\n", true},  // neither: not sent by a browser for another site
      {"Origin: http://chat.example\r\n", false},  // no host to compare with
      // The browser's own mark decides first.
      {"Host: chat.example\r\nSec-Fetch-Site: cross-site\r\n", false},
      {"Host: chat.example\r\nSec-Fetch-Site: Cross-Site\r\nOrigin: http://chat.example\r\n", false},
      {"Host: chat.example\r\nSec-Fetch-Site: same-origin\r\nReferer: http://chat.example/\r\n", true},
      {"Host: chat.example\r\nSec-Fetch-Site: none\r\n", true},  // typed or bookmarked
  };
  for (const Case& c : cases) {
    const std::string request = std::string("POST /registresult.htm HTTP/1.1\r\n") + c.headers +
                                "\r\nUserName=ann&Password=x";
    EXPECT_EQ(request_from_this_site(parse_request(request, "10.0.0.1")), c.accepted)
        << c.headers;
  }
  // A header named in the body is no header.
  EXPECT_TRUE(request_from_this_site(parse_request(
      "POST /x HTTP/1.1\r\nHost: a\r\n\r\nOrigin: http://evil.example\r\n", "10.0.0.1")));
}

}  // namespace
}  // namespace tvl
