// The key of a place: every page that acts for an online user answers as if
// the user were not online when the request's password value is not the
// key; members and guests holding their key may take their place over.
#include <gtest/gtest.h>

#include <set>

#include "chat/chat_pages.h"
#include "chat/place_key.h"
#include "storage/password_hash.h"
#include "tests/support/chat_fixture.h"
#include "tests/support/expected_answers.h"

namespace tvl {
namespace {

using test::expected::kBadLogin;
using test::expected::kNotOnline;
using test::expected::kTaken;

using test::ChatFixture;
using test::PostForm;

const char kEnded[] =
    "<BODY bgcolor=\"#EBEBD6\">Your place in the chat room has ended, please enter again!</body>";
const char kBareBody[] = "<body>[<!--$user-->|<!--$pass-->|<!--$room-->]<script><!--$msg--></script>";

class PlaceKey : public ChatFixture {
 protected:
  PlaceKey() {
    ctx.first_poll_delay_ms = 0;
    site.templates[T_USERS].set("<!--users-->");
  }

  std::string users(const std::string& name, int room, const std::string& password) {
    std::string out;
    EXPECT_TRUE(page_users(ctx, "/users.ghp" + room_query(name, password, room), out));
    return out;
  }
};

TEST_F(PlaceKey, GuestsGetARandomKeyInThePasswordsStead) {
  std::set<std::string> keys_seen;
  for (int i = 0; i < 20; ++i) {
    const std::string name = "g" + std::to_string(i);
    const std::string page = join(name, 1);
    const std::string key = key_of(name, 1);
    ASSERT_EQ(key.size(), 2 * kGuestKeyBytes);
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos) << key;
    EXPECT_EQ(page, "chat:" + name + "|" + key + "|1");
    keys_seen.insert(key);
  }
  EXPECT_EQ(keys_seen.size(), 20u);
}

// After the login the password stands in no page and no address: the chat
// window and everything it asks for carry the random key.
TEST_F(PlaceKey, MembersGetARandomKeyAndThePasswordIsNoKey) {
  member("ann", "s3cret");
  const std::string page = join("ann", 1, "s3cret");
  EXPECT_EQ(keyless(page), "chat:ann|<key>|1");
  EXPECT_EQ(page.find("s3cret"), std::string::npos);
  EXPECT_EQ(user("ann", 1).key.size(), 2 * kGuestKeyBytes);
  EXPECT_TRUE(user("ann", 1).member);
  EXPECT_EQ(poll("ann", 1, "s3cret"), kBareBody);
  EXPECT_EQ(post("ann", 1, PostForm{.message = "x"}, "s3cret"), kNotOnline);
  EXPECT_EQ(poll("ann", 1).find("s3cret"), std::string::npos);
}

// Every page that acts for a user, asked with a wrong or missing key, as
// the page of somebody not online.
TEST_F(PlaceKey, EveryPageActingForAUserNeedsTheKey) {
  join("ann", 1);
  join("bob", 1);
  post("bob", 1, PostForm{.message = "for ann only", .to = "ann", .private_line = true});
  const int seq_before = seq(1);
  const OnlineUser before = user("ann", 1);
  for (const std::string& wrong : {std::string(), std::string("x"), key_of("bob", 1),
                                  key_of("ann", 1).substr(1), key_of("ann", 1) + "0"}) {
    SCOPED_TRACE("key '" + wrong + "'");
    // The stream: the bare page, the private line stays undelivered.
    const std::string page = poll("ann", 1, wrong);
    EXPECT_EQ(page, kBareBody);
    // The post: nobody speaks as ann, and the answer carries none of her lines.
    EXPECT_EQ(post("ann", 1, PostForm{.message = "I am ann"}, wrong), kNotOnline);
    // The list: no own mark.
    EXPECT_EQ(users("ann", 1, wrong).find("<=="), std::string::npos);
    // Leaving: answered as always, but ann stays.
    EXPECT_EQ(leave("ann", 1, wrong), "You have logged out the chat room successfully!");
    EXPECT_EQ(user("ann", 1).room, 1);
  }
  EXPECT_EQ(seq(1), seq_before);
  EXPECT_EQ(user("ann", 1).last_seq, before.last_seq);
  // With the key everything works, and the private line is there.
  EXPECT_NE(poll("ann", 1).find("for ann only"), std::string::npos);
  EXPECT_NE(post("ann", 1, PostForm{.message = "I am ann"}).find("I am ann"), std::string::npos);
  EXPECT_NE(users("ann", 1, key_of("ann", 1)).find("<=="), std::string::npos);
  leave("ann", 1, key_of("ann", 1));
  EXPECT_EQ(user("ann", 1).room, 0);
}

TEST_F(PlaceKey, MemberReenteringWithThePasswordTakesTheirPlaceOver) {
  member("ann", "pw", "Icon=7.gif\r\n");
  join("ann", 1, "pw");
  join("bob", 1);
  poll("ann", 1);
  const int count = online();
  const std::size_t logged = events.size();
  // Same name, same room, right password: the place, not "logged on".
  EXPECT_EQ(keyless(join("ANN", 1, "pw")), "chat:ANN|<key>|1");
  EXPECT_EQ(online(), count);
  EXPECT_EQ(events.size(), logged);  // no second join line
  // The new window gets the kept lines again.
  EXPECT_EQ(user("ann", 1).last_seq, 0);
  EXPECT_NE(poll("ann", 1).find("joined the chat room"), std::string::npos);
  // A wrong password still gets nowhere.
  EXPECT_EQ(join("ann", 1, "wrong"), kBadLogin);
}

TEST_F(PlaceKey, AReentryKeepsABan) {
  member("ann", "pw");
  join("ann", 1, "pw");
  {
    ChatState::Hold hold(state);
    state.user(state.find_online_user(1, "ann").value()).active = false;
  }
  join("ann", 1, "pw");
  EXPECT_EQ(poll("ann", 1), "You have been banned!");
}

TEST_F(PlaceKey, GuestReenteringWithTheKeyTakesThePlaceWithoutItGetsTaken) {
  join("ann", 1);
  const std::string key = key_of("ann", 1);
  const int count = online();
  EXPECT_EQ(join("ann", 1), kTaken);                 // nobody else gets the name
  EXPECT_EQ(join("ann", 1, "wrongkey"), kBadLogin);  // nor with a made-up key
  EXPECT_EQ(join("ann", 1, key), "chat:ann|" + key + "|1");  // the reload
  EXPECT_EQ(online(), count);
  EXPECT_EQ(user("ann", 1).key, key);
  // The key of one room's place is no key for another room (and, having
  // the form of a key, no password guess either).
  EXPECT_EQ(join("ann", 2, key), kEnded);
}

// A key whose place is gone is told so and counts as no failed login; a
// place left a moment ago (the page of a reload closing) comes back with it,
// a member's too; a key taken over by a new login never does.
TEST_F(PlaceKey, AStaleKeyIsNoWrongPassword) {
  long long clock = 1000000;
  ctx.now_ms = [&clock] { return clock; };
  site.settings.max_failed_logins = 1;
  member("ann", "pw", "Icon=7.gif\r\n");
  join("ann", 1, "pw");
  const std::string first = key_of("ann", 1);
  leave("ann", 1, first);
  clock += kResumeWithinMs - 1;
  EXPECT_EQ(keyless(join("ann", 1, first)), "chat:ann|<key>|1");  // the reload: no password asked
  EXPECT_TRUE(user("ann", 1).member);
  EXPECT_STREQ(user("ann", 1).icon, "7.gif");
  const std::string second = key_of("ann", 1);
  // A new login takes the place over: the old window's key has ended.
  EXPECT_EQ(keyless(join("ann", 1, "pw")), "chat:ann|<key>|1");
  const std::string third = key_of("ann", 1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(join("ann", 1, second), kEnded);
  leave("ann", 1, third);
  clock += kResumeWithinMs;
  EXPECT_EQ(join("ann", 1, third), kEnded);  // too late to come back
  EXPECT_EQ(join("ann", 1, "0123456789abcdef0123456789abcdef"), kEnded);  // after a restart
  // None of it counted: with a bound of one failure, the password still opens.
  EXPECT_EQ(keyless(join("ann", 1, "pw")), "chat:ann|<key>|1");
  leave("ann", 1, key_of("ann", 1));
  EXPECT_EQ(join("ann", 1, "wrong"), kBadLogin);  // a real guess counts
  EXPECT_NE(join("ann", 1, "pw").find("Too many failed logins"), std::string::npos);
}

// Every wrong password costs one hash, whether the account exists, the value
// holds escapes or has the shape of a key, and the answer is the same: no
// quicker or slower answer tells an account or a way of writing apart.
TEST_F(PlaceKey, EveryWrongPasswordCostsOneHashAndGetsOneAnswer) {
  std::string stored;
  ASSERT_TRUE(hash_password("right", stored));
  member("ann", stored);
  const char kIn[] = "chat:ann|<key>|1";
  const struct {
    const char* name;
    const char* password;
    const char* answer;
  } cases[] = {
      {"ann", "wrong", kBadLogin},
      {"ghost", "wrong", kBadLogin},
      {"ann", "wr%25ong%2B%26x", kBadLogin},
      {"ghost", "wr%25ong%2B%26x", kBadLogin},
      // A wrong value shaped like a key is told as an ended place.
      {"ann", "ffeeddccbbaa99887766554433221100", kEnded},
      {"ann", "righ%74", kIn},
  };
  for (const auto& c : cases) {
    const unsigned long long before = password_derivations();
    const std::string answer = join(c.name, 1, c.password);
    EXPECT_EQ(password_derivations() - before, 1u) << c.name << " " << c.password;
    EXPECT_EQ(c.answer == kIn ? keyless(answer) : answer, c.answer) << c.name << " " << c.password;
  }
}

// A password that has the shape of a key is still a password: its member
// enters with it, and a wrong one of that shape counts nothing.
TEST_F(PlaceKey, APasswordShapedLikeAKeyStillOpensTheAccount) {
  site.settings.max_failed_logins = 1;
  const std::string hex = "00112233445566778899aabbccddeeff";
  member("ann", hex);
  EXPECT_EQ(join("ann", 1, "ffeeddccbbaa99887766554433221100"), kEnded);
  EXPECT_EQ(keyless(join("ann", 1, hex)), "chat:ann|<key>|1");
  EXPECT_TRUE(user("ann", 1).member);
}

TEST_F(PlaceKey, AMemberPasswordWrittenAnotherWayIsTheSameKey) {
  member("ann", "p@ss w");
  // The entry page sends the password encoded as an address value; the
  // account holds it as typed. The pages carry the encoded form.
  EXPECT_EQ(keyless(join("ann", 1, "p%40ss%20w")), "chat:ann|<key>|1");
  EXPECT_NE(poll("ann", 1).find("joined"), std::string::npos);
  EXPECT_NE(post("ann", 1, PostForm{.message = "x"}), kNotOnline);
  // The room commands need the place of the administrator's account.
  member("boris", "b@b");
  ASSERT_EQ(keyless(join("boris", 2, "b%40b")), "chat:boris|<key>|2");
  member("carl", "c");
  join("carl", 2, "c");
  post("boris", 2, PostForm{.message = "", .to = "carl", .command = 1});
  EXPECT_FALSE(user("carl", 2).active);
}

// A place entered on another server of a cluster holds only the digest of
// its key: the key opens it, anything else does not, and a place with
// neither key nor digest opens for nothing.
TEST(PlaceKeyDigest, APlaceOfAnotherServerIsOpenedByItsKeysDigest) {
  const std::string key = new_guest_key();
  ASSERT_EQ(2 * kGuestKeyBytes, key.size());
  EXPECT_EQ(64u, key_digest(key).size());
  OnlineUser remote;
  remote.key_digest = key_digest(key);
  OnlineUser bare;
  const struct {
    const OnlineUser* place;
    std::string value;
    bool opens;
  } cases[] = {
      {&remote, key, true},
      {&remote, new_guest_key(), false},
      {&remote, key_digest(key), false},  // the digest itself proves nothing
      {&remote, "", false},
      {&bare, "", false},
      {&bare, key, false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.opens, key_matches(*c.place, c.value)) << c.value;
}

}  // namespace
}  // namespace tvl
