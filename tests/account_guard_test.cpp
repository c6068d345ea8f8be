// The bounds on failed logins and registrations, the room bans, and the test
// of where a form post comes from.
#include "chat/account_guard.h"

#include <gtest/gtest.h>

#include "server/same_site.h"

namespace tvl {
namespace {

TEST(LoginBounds, FailuresAreBoundedPerAddressAndPerAccount) {
  struct Case {
    const char* what;
    const char* next_address;
    const char* next_account;
    long long later_ms;
    bool allowed;
  } cases[] = {
      {"same address, same account", "10.0.0.1", "ann", 0, false},
      {"same address, other account", "10.0.0.1", "bob", 0, false},
      {"other address, same account (any case)", "10.0.0.2", "ANN", 0, false},
      {"other address, other account", "10.0.0.2", "bob", 0, true},
      {"after the lockout", "10.0.0.1", "ann", kLockoutMs, true},
      {"just before its end", "10.0.0.1", "ann", kLockoutMs - 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LoginBounds bounds;
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(bounds.login_allowed("10.0.0.1", "ann", 3, 1000));
      bounds.note_failed_login("10.0.0.1", "ann", 3, 1000);
    }
    EXPECT_EQ(bounds.login_allowed(c.next_address, c.next_account, 3, 1000 + c.later_ms), c.allowed);
  }
}

TEST(LoginBounds, OnlyFailuresWithinTheWindowCountAndZeroIsNoBound) {
  LoginBounds bounds;
  bounds.note_failed_login("a", "ann", 2, 0);
  bounds.note_failed_login("a", "ann", 2, kFailureWindowMs);  // the first has expired
  EXPECT_TRUE(bounds.login_allowed("a", "ann", 2, kFailureWindowMs));
  bounds.note_failed_login("a", "ann", 2, kFailureWindowMs + 1);
  EXPECT_FALSE(bounds.login_allowed("a", "ann", 2, kFailureWindowMs + 1));

  LoginBounds unbounded;
  for (int i = 0; i < 100; ++i) unbounded.note_failed_login("a", "ann", 0, 0);
  EXPECT_TRUE(unbounded.login_allowed("a", "ann", 0, 0));
}

TEST(LoginBounds, RegistrationsPerAddressAndHour) {
  LoginBounds bounds;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(bounds.registration_allowed("a", 3, i));
    bounds.note_registration("a", i);
  }
  EXPECT_FALSE(bounds.registration_allowed("a", 3, 10));
  EXPECT_TRUE(bounds.registration_allowed("b", 3, 10));
  EXPECT_TRUE(bounds.registration_allowed("a", 0, 10));
  EXPECT_TRUE(bounds.registration_allowed("a", 3, kRegistrationWindowMs + 1));
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
