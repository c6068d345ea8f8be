#include <gtest/gtest.h>

#include <future>

#include "chat/chat_pages.h"
#include "tests/support/chat_fixture.h"
#include "tests/support/expected_answers.h"

namespace tvl {
namespace {

using test::expected::kBadLogin;
using test::expected::kRefusedName;
using test::expected::kTaken;

using test::ChatFixture;
using test::PostForm;

const char kDisabled[] = "<BODY bgcolor=\"#EBEBD6\">This user account is disabled! </body>";
const char kNoGuests[] =
    "<BODY bgcolor=\"#EBEBD6\">Guest is not allowed to join this room, please register an account!</body>";
const char kAdminsOnly[] =
    "<BODY bgcolor=\"#EBEBD6\">You are not allowed to join this room, only administrators can login!</body>";
const char kReserved[] =
    "<BODY bgcolor=\"#EBEBD6\">This username is reserved, please choose another username!</body>";
const char kTooManyFailures[] =
    "<BODY bgcolor=\"#EBEBD6\">Too many failed logins, please try again in 5 minutes!</body>";
const char kFull[] = "<BODY bgcolor=\"#EBEBD6\">The chat is full, please try again later!</body>";

class EnterRoom : public ChatFixture {
 protected:
  EnterRoom() {
    ctx.now_ms = [this] { return steady_now_ms() + clock_offset_ms; };
  }
  long long clock_offset_ms = 0;
};

const char kBareBody[] = "<body>[<!--$user-->|<!--$pass-->|<!--$room-->]<script><!--$msg--></script>";

TEST_F(EnterRoom, GuestEntersWithThePictureOfTheSexNumber) {
  EXPECT_EQ(keyless(join("guest1", 1, "", 3)), "chat:guest1|<key>|1");
  OnlineUser u = user("guest1", 1);
  EXPECT_STREQ(u.icon, "3.gif");
  EXPECT_EQ(u.room, 1);
  EXPECT_EQ(u.last_seq, 0);
  EXPECT_EQ(u.known_online, 0);
  EXPECT_FALSE(u.split);
  EXPECT_TRUE(u.active);
  EXPECT_EQ(last_line(1),
            "<div class=\"line\"><span class=\"head\"><span class=\"time\">TT:TT:TT</span> <a href=\"#\" data-name=\"guest1\">guest1</a></span> <span class=\"note\">joined the chat room...</span></div>");
  EXPECT_EQ(last_addressee(1), "All");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].address, "10.0.0.7");
  EXPECT_EQ(events[0].text, "guest1 joined the [Lobby]");
  EXPECT_EQ(test::ChatFixture::masked(events[0].time), "TT:TT:TT");
  // Logged under the chat lock right before the push of the same event.
  EXPECT_EQ(events[0].seq_at_log, 0);
  EXPECT_EQ(seq(1), 1);
}

TEST_F(EnterRoom, JoinIsLoggedWithTheChatLockHeld) {
  bool lock_was_free = true;
  ctx.log_event = [&](const std::string&, const std::string&, const std::string&) {
    lock_was_free = std::async(std::launch::async, [&] {
                      return state.chat_lock_free();
                    }).get();
  };
  join("ann", 1);
  EXPECT_FALSE(lock_was_free);
}

TEST_F(EnterRoom, GuestWithAPasswordIsRefused) {
  EXPECT_EQ(join("guest1", 1, "x"), kBadLogin);
  EXPECT_EQ(online(), 0);
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(seq(1), 0);
}

// The account rules themselves are tested with the account files; here the
// pages and pictures they lead to.
TEST_F(EnterRoom, MemberJoins) {
  member("pic", "pw", "Icon=7.gif\r\nsex=0\r\n");
  member("male", "pw", "sex=1\r\n");
  member("lower", "pw", "Disabled=no\r\n");
  EXPECT_EQ(keyless(join("pic", 1, "pw", 2)), "chat:pic|<key>|1");
  EXPECT_EQ(keyless(join("male", 1, "pw", 2)), "chat:male|<key>|1");
  EXPECT_STREQ(user("pic", 1).icon, "7.gif");
  EXPECT_STREQ(user("male", 1).icon, "1.gif");
  EXPECT_EQ(join("lower", 1, "pw"), kDisabled);
  EXPECT_EQ(join("male", 2, "Pw"), kBadLogin);
  EXPECT_EQ(online(), 2);
}

TEST_F(EnterRoom, GuestsOnlyWhereTheRoomAllowsThem) {
  member("mia", "pw");
  EXPECT_EQ(join("guest", 2), kNoGuests);
  EXPECT_EQ(keyless(join("mia", 2, "pw")), "chat:mia|<key>|2");
}

TEST_F(EnterRoom, AdministratorsOnlyRoom) {
  state.replace_rooms({test::room_info("Staff", true, true, "joanna;bob")});
  member("ann", "pw");   // "ann" stands inside "joanna", but is not that name
  member("joanna", "pw");
  member("carl", "pw");
  EXPECT_EQ(join("ann", 1, "pw"), kAdminsOnly);
  EXPECT_EQ(keyless(join("joanna", 1, "pw")), "chat:joanna|<key>|1");
  EXPECT_EQ(join("carl", 1, "pw"), kAdminsOnly);
  EXPECT_EQ(join("bob", 1), kReserved);  // named: for the operator's account only
  EXPECT_EQ(join("Bob", 1), kReserved);
}

TEST_F(EnterRoom, OneNamePerRoomIgnoringCase) {
  EXPECT_EQ(keyless(join("ann", 1)), "chat:ann|<key>|1");
  EXPECT_EQ(join("ANN", 1), kTaken);
  EXPECT_EQ(online(), 1);
  member("Ann", "pw");
  EXPECT_EQ(keyless(join("Ann", 2, "pw")), "chat:Ann|<key>|2");  // another room
  EXPECT_EQ(online(), 2);
  EXPECT_EQ(events.size(), 2u);
}

TEST_F(EnterRoom, NameWithARawAmpersandIsRefused) {
  // Only a hand-made address holds a raw "&"; browsers send "%26".
  EXPECT_EQ(join("a&#b", 1), kRefusedName);
  EXPECT_EQ(join("x&apos;);alert(1);(&apos;", 1), kRefusedName);
  EXPECT_EQ(keyless(join("%26%2320013%3B", 1)), "chat:%26%2320013%3B|<key>|1");
  EXPECT_EQ(online(), 1);
}

TEST_F(EnterRoom, NameIsStoredAsInTheAddress) {
  EXPECT_EQ(keyless(join("J%C3%B6rg", 1)), "chat:J%C3%B6rg|<key>|1");
  EXPECT_STREQ(user("J%C3%B6rg", 1).name, "J%C3%B6rg");
}

TEST_F(EnterRoom, RoomTextRunsToTheSexKeyAndMissingSexGivesPictureZero) {
  std::string out;
  ASSERT_TRUE(page_chat(ctx, "ip", "/chat.ghp?username=ann&password=&room=1", out));
  EXPECT_EQ(keyless(out), "chat:ann|<key>|1");
  EXPECT_STREQ(user("ann", 1).icon, "0.gif");
}

TEST_F(EnterRoom, FirstPollGetsTheRingEndingWithTheOwnJoinLine) {
  join("ann", 1);
  join("bea", 1);
  const std::string page = poll("bea", 1);
  const std::size_t reload = page.find("parent.users.window.location.href");
  const std::size_t ann_line = page.find("data-name=\\\"ann\\\"");
  const std::size_t bob_line = page.find("data-name=\\\"bea\\\"");
  ASSERT_NE(reload, std::string::npos);
  ASSERT_NE(ann_line, std::string::npos);
  ASSERT_NE(bob_line, std::string::npos);
  EXPECT_LT(reload, ann_line);
  EXPECT_LT(ann_line, bob_line);
}

// --- input form ---

TEST_F(EnterRoom, InputFormGetsTheDecodedName) {
  std::string out;
  ASSERT_TRUE(page_chatsubmit(ctx, "/chatsubmit.ghp?username=Ann+Lee%21&password=p%21&room=2", out));
  EXPECT_EQ(out, "form:Ann%20Lee!|p%21|2");
}

TEST_F(EnterRoom, InputFormWithoutAllKeysOrWithARefusedNameIsEmpty) {
  std::string out;
  ASSERT_TRUE(page_chatsubmit(ctx, "/chatsubmit.ghp?username=ann&password=p", out));
  EXPECT_EQ(out, "form:||");
  out.clear();
  ASSERT_TRUE(page_chatsubmit(ctx, "/chatsubmit.ghp?username=%22%3E%3Cscript%3E&password=p&room=1", out));
  EXPECT_EQ(out, "form:||");
}

TEST_F(EnterRoom, NameCannotCarryAMarkerIntoTheForm) {
  // "<" is refused in names, so a name cannot reach the later markers.
  std::string out;
  ASSERT_TRUE(page_chatsubmit(ctx, "/chatsubmit.ghp?username=x%3C!--$pass--%3E&password=pw&room=1", out));
  EXPECT_EQ(out, "form:||");
}

// --- refusals and errors ---

TEST_F(EnterRoom, DeclinedWithoutKeysOrWithABadRoom) {
  EXPECT_EQ(join("ann", 0), "<declined>");
  EXPECT_EQ(join("ann", 4), "<declined>");
  EXPECT_EQ(join("ann", 99), "<declined>");
  std::string out;
  EXPECT_FALSE(page_chat(ctx, "ip", "/chat.ghp?username=ann&password=&sex=1", out));
  EXPECT_FALSE(page_chat(ctx, "ip", "/chat.ghp?username=ann&room=1&sex=1", out));
  EXPECT_FALSE(page_chat(ctx, "ip", "/chat.ghp?password=&room=1&sex=1", out));
  EXPECT_EQ(online(), 0);
}

TEST_F(EnterRoom, RefusedNamesNeverReachAFile) {
  // A file outside users/ that "../outside" would name.
  folder.write("outside", "[main]\r\npassword=pw\r\n");
  for (const char* name : {"..%2Foutside", "../outside", "a%5Cb", "%3Cb%3E", "a%22b", "o'neil",
                           "a%0Ab", "%2E%2E"}) {
    EXPECT_EQ(join(name, 1, "pw"), kRefusedName) << name;
    EXPECT_EQ(join(name, 1, ""), kRefusedName) << name;
  }
  EXPECT_EQ(join(std::string(64, 'z'), 1), kRefusedName);
  EXPECT_EQ(keyless(join(std::string(63, 'z'), 1)), "chat:" + std::string(63, 'z') + "|<key>|1");
  std::string out;
  ASSERT_TRUE(page_chat(ctx, "ip", "/chat.ghp?username=&password=&room=1&sex=1", out));
  EXPECT_EQ(out, kRefusedName);
  EXPECT_EQ(online(), 1);
  EXPECT_EQ(events.size(), 1u);
}

TEST_F(EnterRoom, FullTableRefusesAndAddsNothing) {
  {
    ChatState::Hold hold(state);
    for (int i = 0; i < ChatState::kMaxOnline; ++i) {
      OnlineUser u;
      std::snprintf(u.name, sizeof u.name, "u%d", i);
      u.room = 1;
      u.last_active_ms = steady_now_ms();  // present, as after a join
      // One place per network: nobody holds more than a fair share.
      ASSERT_TRUE(state.add_user(u, "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256)));
    }
  }
  EXPECT_EQ(join("late", 1), kFull);
  EXPECT_EQ(online(), ChatState::kMaxOnline);
  EXPECT_EQ(seq(1), 0);
  EXPECT_TRUE(events.empty());
  // A name already online is told so, full table or not.
  EXPECT_EQ(join("U7", 1), kTaken);
}

TEST_F(EnterRoom, JoinAfterTheRoomsShrankIsDeclinedOrCounted) {
  state.replace_rooms({test::room_info("Only", true, false, "")});
  EXPECT_EQ(join("ann", 2), "<declined>");
  EXPECT_EQ(keyless(join("ann", 1)), "chat:ann|<key>|1");
  EXPECT_EQ(events.back().text, "ann joined the [Only]");
}

// --- who may take a name ---

// The administrators' names (and names that look like them) are for the
// accounts the operator makes: no guest enters under them.
TEST_F(EnterRoom, ReservedNamesAreNoGuestsNames) {
  struct Case {
    const char* name;  // as the address carries it
    bool account;      // the operator made the account "boris"
    const char* expected;
  } cases[] = {
      {"boris", false, kReserved},
      {"BORIS", false, kReserved},
      {"b%D0%BEris", false, kReserved},  // a Cyrillic "o"
      {"boss", false, kReserved},       // named by another room
      {"boris", true, nullptr},         // the member enters
      {"boriss", false, nullptr},       // another name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    site.program_folder = dir.path();
    dir.write("users/.keep", "");
    if (c.account) dir.write("users/boris", "[main]\r\npassword=pw\r\n");
    const std::string page = join(c.name, 1, c.account ? "pw" : "");
    if (c.expected) {
      EXPECT_EQ(page, c.expected);
    } else {
      EXPECT_EQ(page.rfind("chat:", 0), 0u) << page;
      leave(c.name, 1, key_of(c.name, 1));
    }
  }
}

// Lookalikes of a member or of somebody online are taken; names with
// invisible or bidi characters or odd spaces are no names.
TEST_F(EnterRoom, LookalikeNamesAreRefused) {
  member("admin", "pw");
  join("carol", 1);
  struct Case {
    const char* name;
    const char* expected;
  } cases[] = {
      {"%D0%B0dmin", kTaken},          // Cyrillic "a": looks like the member
      {"caro1", kTaken},               // a digit one for "l": looks like the guest online
      {"c%D0%B0rol", kRefusedName},    // Latin with a Cyrillic "a": no identifier
      {"admin%E2%80%AE", kRefusedName},  // right-to-left override
      {"ad%E2%80%8Bmin", kRefusedName},  // zero-width space
      {"admin%C2%A0", kRefusedName},     // trailing no-break space
      {"admin+", kRefusedName},          // trailing blank
      {"%EF%BB%BFadmin", kRefusedName},  // byte-order mark
      {"adm%C3in", kRefusedName},        // no UTF-8
      {"%C3%89mile", nullptr},           // an ordinary name
  };
  for (const Case& c : cases) {
    const std::string page = join(c.name, 1);
    if (c.expected) EXPECT_EQ(page, c.expected) << c.name;
    else EXPECT_EQ(page.rfind("chat:", 0), 0u) << c.name << page;
  }
  EXPECT_EQ(join("ADMIN", 1), kBadLogin);  // the member's own name needs the password
}

// A member's password takes over only a place the member entered as a
// member; a guest's place only with its key.
TEST_F(EnterRoom, APasswordTakesOverOnlyTheMembersOwnPlace) {
  join("gus", 1);
  const std::string guest_key = key_of("gus", 1);
  member("gus", "pw");  // registered meanwhile (by hand: the web refuses online names)
  EXPECT_EQ(join("gus", 1, "pw"), kTaken);
  EXPECT_EQ(user("gus", 1).key, guest_key);
  EXPECT_FALSE(user("gus", 1).member);

  member("mel", "pw");
  join("mel", 1, "pw");
  const std::string first = key_of("mel", 1);
  EXPECT_EQ(keyless(join("MEL", 1, "pw")), "chat:MEL|<key>|1");
  EXPECT_NE(key_of("mel", 1), first);
  EXPECT_EQ(poll("mel", 1, first), kBareBody);  // the old window's key is void
}

TEST_F(EnterRoom, WrongPasswordsAreBoundedPerAddressAndAccount) {
  site.settings.max_failed_logins = 3;
  member("ann", "pw");
  member("bob", "pw");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(join("ann", 1, "guess" + std::to_string(i)), kBadLogin);
  // Refused without a look at the password, even the right one.
  EXPECT_EQ(join("ann", 1, "pw"), kTooManyFailures);
  EXPECT_EQ(join("bob", 1, "pw"), kTooManyFailures);  // the same address
  std::string out;
  ASSERT_TRUE(page_chat(ctx, "10.9.9.9", "/chat.ghp?username=ann&password=pw&room=1&sex=1", out));
  EXPECT_EQ(out, kTooManyFailures);  // the same account
  ASSERT_TRUE(page_chat(ctx, "10.9.9.9", "/chat.ghp?username=bob&password=pw&room=1&sex=1", out));
  EXPECT_EQ(keyless(out), "chat:bob|<key>|1");
  // Guests check no password and are not bounded.
  EXPECT_EQ(keyless(join("gus", 1)), "chat:gus|<key>|1");
  clock_offset_ms += kLockoutMs;
  EXPECT_EQ(keyless(join("ann", 1, "pw")), "chat:ann|<key>|1");
}

TEST_F(EnterRoom, ABanOutlastsLeavingAndEnteringAgain) {
  member("boris", "pw");
  member("mia", "pw");
  join("boris", 2, "pw");
  join("mia", 2, "pw");
  post("boris", 2, PostForm{.message = "", .to = "mia", .command = 1});
  ASSERT_FALSE(user("mia", 2).active);
  leave("mia", 2, key_of("mia", 2));
  ASSERT_EQ(user("mia", 2).room, 0);
  join("mia", 2, "pw");
  EXPECT_FALSE(user("mia", 2).active);
  EXPECT_EQ(poll("mia", 2), "You have been banned!");
  join("mia", 1, "pw");
  EXPECT_TRUE(user("mia", 1).active);  // another room
  // Lifted, even while the banned member is away.
  leave("mia", 2, key_of("mia", 2));
  post("boris", 2, PostForm{.message = "", .to = "MIA", .command = 2});
  join("mia", 2, "pw");
  EXPECT_TRUE(user("mia", 2).active);
}

TEST_F(EnterRoom, ABanHoldsTheVisitorsNetworkUnderAnyName) {
  state.replace_rooms({test::room_info("Lobby", true, false, "boss")});
  member("boss", "pw");
  join("boss", 1, "pw");
  auto enter_from = [&](const char* address, const char* name) {
    std::string out;
    EXPECT_TRUE(page_chat(ctx, address, std::string("/chat.ghp?username=") + name + "&password=&room=1&sex=1", out));
    return user(name, 1);
  };
  ASSERT_TRUE(enter_from("10.9.0.1", "troll").active);
  post("boss", 1, PostForm{.message = "", .to = "troll", .command = 1});
  EXPECT_FALSE(enter_from("10.9.0.1", "troll2").active);       // the same network
  EXPECT_FALSE(enter_from("::ffff:10.9.0.1", "troll3").active);  // the same, mapped
  EXPECT_TRUE(enter_from("10.9.0.2", "other").active);          // another one
  // Lifting the name lifts its network.
  post("boss", 1, PostForm{.message = "", .to = "troll", .command = 2});
  EXPECT_TRUE(enter_from("10.9.0.1", "troll4").active);
}

}  // namespace
}  // namespace tvl
