// The bounds on one visitor: flood control per place (alone, then through
// the chat post) and places per client address (alone, then through the
// entry page).
#include "chat/visitor_bounds.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <ostream>
#include <string>
#include <vector>

#include "chat/engine.h"
#include "storage/password_hash.h"
#include "tests/support/chat_fixture.h"
#include "tests/support/chat_over_http.h"
#include "tests/support/room_file.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using test::ChatFixture;
using test::PostForm;

struct Attempt {
  long long at_ms;
  bool goes;
};

struct PaceCase {
  const char* what;
  int burst, interval_ms;
  std::vector<Attempt> attempts;
};

class PostPace : public ::testing::TestWithParam<PaceCase> {};

TEST_P(PostPace, LinesGoAsTheBoundAllows) {
  const PaceCase& c = GetParam();
  long long due = 0;
  for (std::size_t i = 0; i < c.attempts.size(); ++i) {
    const long long before = due;
    const bool went = take_post_turn(due, c.attempts[i].at_ms, c.burst, c.interval_ms);
    EXPECT_EQ(went, c.attempts[i].goes) << c.what << ", attempt " << i;
    if (!went) EXPECT_EQ(due, before) << c.what << ": a refused line costs nothing";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, PostPace,
    ::testing::Values(
        PaceCase{"three at once, then one per second", 3, 1000,
                 {{5000, true}, {5000, true}, {5000, true}, {5000, false}, {5999, false},
                  {6000, true}, {6000, false}, {7000, true}}},
        PaceCase{"a silent place gets its burst back, no more", 2, 1000,
                 {{0, true}, {0, true}, {0, false}, {60000, true}, {60000, true}, {60000, false}}},
        PaceCase{"one at a time", 1, 500, {{100, true}, {599, false}, {600, true}, {600, false}}},
        PaceCase{"steady at the interval never refused", 2, 1000,
                 {{0, true}, {1000, true}, {2000, true}, {3000, true}, {4000, true}}},
        PaceCase{"no burst bound", 0, 1000, {{0, true}, {0, true}, {0, true}, {0, true}}},
        PaceCase{"no interval bound", 2, 0, {{0, true}, {0, true}, {0, true}, {0, true}}}));

// --- places per address ---

struct PlacesCase {
  const char* what;
  int max_places;
  std::vector<const char*> held;  // join addresses of the online table
  const char* newcomer;
  bool may;
};

// Named by what it shows: the default printer would show the vector's
// bytes, a heap address that differs in every run.
void PrintTo(const PlacesCase& c, std::ostream* os) { *os << c.what; }

class PlacesPerAddress : public ::testing::TestWithParam<PlacesCase> {};

TEST_P(PlacesPerAddress, CountsTheAddressOwnPlaces) {
  const PlacesCase& c = GetParam();
  ChatState state;
  ChatState::Hold hold(state);
  int n = 0;
  for (const char* address : c.held) {
    OnlineUser u;
    u.name[0] = static_cast<char>('a' + n++);
    ASSERT_TRUE(state.add_user(u, address));
  }
  ServerSettings settings;
  settings.max_places_per_address = c.max_places;
  EXPECT_EQ(network_may_take_place(state, client_network_of(settings, c.newcomer), settings), c.may)
      << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, PlacesPerAddress,
    ::testing::Values(
        PlacesCase{"under the bound", 2, {"10.0.0.1"}, "10.0.0.1", true},
        PlacesCase{"at the bound", 2, {"10.0.0.1", "10.0.0.2", "10.0.0.1"}, "10.0.0.1", false},
        PlacesCase{"others' places do not count", 2, {"10.0.0.2", "10.0.0.2"}, "10.0.0.1", true},
        PlacesCase{"an address is the whole text", 1, {"10.0.0.11"}, "10.0.0.1", true},
        PlacesCase{"no bound", 0, {"10.0.0.1", "10.0.0.1", "10.0.0.1"}, "10.0.0.1", true},
        PlacesCase{"one IPv6 /64 is one client",
                   2,
                   {"2001:db8::1", "2001:db8::ffff:2"},
                   "2001:db8::3",
                   false},
        PlacesCase{"the next /64 is another", 2, {"2001:db8::1", "2001:db8::2"}, "2001:db8:0:1::3",
                   true},
        PlacesCase{"a mapped address is its IPv4 client", 1, {"::ffff:10.0.0.1"}, "10.0.0.1",
                   false}));

// --- through the pages ---

const char kTooFast[] =
    "<BODY bgcolor=\"#EBEBD6\">You are sending too fast, please wait a moment before you send "
    "again!</body>";
const char kChatFull[] = "<BODY bgcolor=\"#EBEBD6\">The chat is full, please try again later!</body>";

class BoundedChat : public ChatFixture {
 protected:
  BoundedChat() {
    site.settings.post_burst = 2;
    site.settings.post_interval_ms = 1000;
    ctx.now_ms = [this] { return clock; };
  }
  std::string join_from(const std::string& address, const std::string& name) {
    std::string out;
    page_chat(ctx, address, "/chat.ghp" + room_query(name, "", 1) + "&sex=1", out);
    return out;
  }
  long long clock = 1000000;
};

TEST_F(BoundedChat, LineOverTheBoundIsRefusedAndGoesNowhere) {
  join("ann", 1);
  join("bob", 1);
  const int start = seq(1);
  events.clear();
  post("ann", 1, PostForm{.message = "one"});
  post("ann", 1, PostForm{.message = "two"});
  EXPECT_EQ(post("ann", 1, PostForm{.message = "three"}), kTooFast);
  EXPECT_EQ(seq(1), start + 2);      // not kept
  EXPECT_EQ(events.size(), 2u);      // not logged
  EXPECT_EQ(poll("bob", 1).find("three"), std::string::npos);  // not delivered
  // Another place has a bound of its own; an empty post is no line.
  EXPECT_NE(post("bob", 1, PostForm{.message = "mine"}).find("mine"), std::string::npos);
  EXPECT_EQ(post("ann", 1, PostForm{.message = ""}).find("too fast"), std::string::npos);
  clock += 1000;
  EXPECT_NE(post("ann", 1, PostForm{.message = "three"}).find("three"), std::string::npos);
  EXPECT_EQ(seq(1), start + 4);
}

TEST_F(BoundedChat, RoomCommandsCountToo) {
  member("boss", "pw");
  state.replace_rooms({test::room_info("Lobby", true, false, "boss")});
  join("boss", 1, "pw");
  join("carl", 1);
  post("boss", 1, PostForm{.message = "", .to = "carl", .command = 1});
  post("boss", 1, PostForm{.message = "", .to = "carl", .command = 2});
  EXPECT_EQ(post("boss", 1, PostForm{.message = "", .to = "carl", .command = 1}), kTooFast);
  EXPECT_TRUE(user("carl", 1).active);  // the refused ban did nothing
}

TEST_F(BoundedChat, PlacesPerAddress) {
  site.settings.max_places_per_address = 2;
  EXPECT_EQ(join_from("10.0.0.9", "bot1").rfind("chat:", 0), 0u);
  EXPECT_EQ(join_from("10.0.0.9", "bot2").rfind("chat:", 0), 0u);
  EXPECT_EQ(join_from("10.0.0.9", "bot3"), kChatFull);
  EXPECT_EQ(online(), 2);
  // A newcomer from elsewhere still gets a place.
  EXPECT_EQ(join_from("10.0.0.10", "newcomer").rfind("chat:", 0), 0u);
  // A place given back may be taken again.
  std::string out;
  ASSERT_TRUE(page_exit(ctx, "10.0.0.9", "/exit.ghp" + room_query("bot1", user("bot1", 1).key, 1), out));
  EXPECT_EQ(join_from("10.0.0.9", "bot3").rfind("chat:", 0), 0u);
}

TEST_F(BoundedChat, AFullTableSharesItsPlacesOutByNetwork) {
  site.settings.max_places_per_address = 0;
  state.set_max_online(4);
  for (const char* name : {"a1", "a2", "a3"}) ASSERT_EQ(join_from("10.0.0.1", name).rfind("chat:", 0), 0u);
  clock += 10;
  ASSERT_EQ(join_from("10.0.0.2", "b1").rfind("chat:", 0), 0u);
  clock += 10;
  // Full. A newcomer takes the stalest place of the network holding most.
  poll("a1", 1, user("a1", 1).key);  // a1 is in use: a2 is the stalest
  EXPECT_EQ(join_from("2001:db8::1", "c1").rfind("chat:", 0), 0u);
  EXPECT_EQ(online(), 4);
  EXPECT_EQ(user("a2", 1).room, 0);
  EXPECT_EQ(user("a1", 1).room, 1);
  // Now 10.0.0.1 holds two, the others one each: a network holding one
  // more has no claim, the one of 10.0.0.1 none either.
  EXPECT_EQ(join_from("2001:db8::2", "c2"), kChatFull);  // the same /64 holds one
  EXPECT_EQ(join_from("10.0.0.1", "a4"), kChatFull);
  EXPECT_EQ(join_from("10.0.0.3", "d1").rfind("chat:", 0), 0u);  // 10.0.0.1 gives its second
  EXPECT_EQ(join_from("10.0.0.4", "e1"), kChatFull);            // one each: truly full
  EXPECT_EQ(online(), 4);
}

// --- with real clients over loopback ---

// The shipped site's way in, cut to what the tests read: the chat window
// names the place's key, the body page carries the lines.
class LoopbackChat : public ::testing::Test {
 protected:
  void start(const std::string& bounds) {
    folder.write("users/.keep", "");
    folder.write("option.ini", "[Server]\r\n" + bounds);
    folder.write("chat.htm", "chat:<!--$user-->|<!--$pass-->|");
    folder.write("chatsubmit.htm", "form");
    folder.write("body.htm", "<html><script><!--$msg--></script></html>");
    RoomInfo lobby;
    std::strncpy(lobby.name, "Lobby", sizeof lobby.name - 1);
    lobby.guest = true;
    ASSERT_TRUE(test::write_room_file(folder.path(), {lobby}));
    engine.load(folder.path());
    engine.server().set_any_port(true);
    ASSERT_EQ(engine.start(0), 1);
    port = engine.server().port();
  }

  // Joins from `source`; the query of the place, or "" when refused (the
  // answer is left in `answer`).
  std::string join(const std::string& source, const std::string& name, std::string& answer) {
    answer = test::http_exchange_from(
        source, port, "GET /chat.ghp?username=" + name + "&password=&room=1&sex=1 HTTP/1.0\r\n\r\n");
    return test::place_query(answer, name, 1);
  }
  std::string poll(const std::string& query) {
    return test::http_exchange(port, "GET /body.ghp" + query + " HTTP/1.0\r\n\r\n");
  }
  std::string post(const std::string& query, const std::string& message) {
    const std::string body = "message=" + message +
                             "&chat_flag=1&mtowho=All&mfilters=0&mfont=-1&mfcolor=1&elist=0&seltype=0&msg=";
    return test::http_exchange(port, "POST /chatsubmit.ghp" + query + " HTTP/1.0\r\nContent-Length: " +
                                         std::to_string(body.size()) + "\r\n\r\n" + body);
  }

  test::TestEnvironment env;
  test::TempDir folder;
  ChatEngine engine;
  int port = 0;
};

TEST_F(LoopbackChat, FlooderDoesNotDrownTheMemberLines) {
  // The interval is far longer than the test: the flooder gets its burst.
  start("PostBurst=3\r\nPostIntervalMs=600000\r\n");
  std::string answer;
  const std::string flooder = join("127.0.0.1", "flooder", answer);
  const std::string member = join("127.0.0.1", "member", answer);
  const std::string reader = join("127.0.0.1", "reader", answer);
  ASSERT_FALSE(flooder.empty() || member.empty() || reader.empty()) << answer;
  poll(reader);  // the reader is up to date
  for (int i = 0; i < 3; ++i) post(member, "member_line_" + std::to_string(i));
  int refused = 0;
  for (int i = 0; i < 40; ++i)
    if (post(flooder, "flood_" + std::to_string(i)).find("You are sending too fast") != std::string::npos)
      ++refused;
  EXPECT_EQ(refused, 37);
  const std::string lines = poll(reader);
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(lines.find("member_line_" + std::to_string(i)), std::string::npos) << lines;
  EXPECT_NE(lines.find("flood_2"), std::string::npos);
  EXPECT_EQ(lines.find("flood_3"), std::string::npos);
}

TEST_F(LoopbackChat, BotDoesNotTakeTheNewcomerPlace) {
  start("MaxPlacesPerAddress=5\r\n");
  std::string answer;
  int taken = 0;
  for (int i = 0; i < 30; ++i)
    if (!join("127.0.0.1", "bot" + std::to_string(i), answer).empty()) ++taken;
  EXPECT_EQ(taken, 5);
  EXPECT_NE(answer.find("The chat is full, please try again later!"), std::string::npos) << answer;
  // Another client address still gets a place.
  EXPECT_FALSE(join("127.0.0.2", "newcomer", answer).empty()) << answer;
}

TEST_F(LoopbackChat, ManyNetworksDoNotFillThePlacesOfANewcomer) {
  // Twelve networks try to take 5 places each of 20.
  start("MaxPlacesPerAddress=5\r\nMaxOnline=20\r\nPostBurst=0\r\n");
  std::string answer;
  std::vector<std::string> attackers;
  for (int n = 0; n < 12; ++n)
    for (int i = 0; i < 5; ++i) {
      const std::string q = join("127.0.0." + std::to_string(10 + n), "b" + std::to_string(n) + "x" + std::to_string(i), answer);
      if (!q.empty()) attackers.push_back(q);
    }
  EXPECT_GE(attackers.size(), 20u);
  {
    ChatState::Hold hold(engine.state());
    EXPECT_EQ(engine.state().online_count(), 20);
  }
  // The newcomer enters and gets a line a member of the chat sends.
  const std::string newcomer = join("127.0.0.2", "newcomer", answer);
  ASSERT_FALSE(newcomer.empty()) << answer;
  poll(newcomer);
  const std::string friend_place = join("127.0.0.3", "friend", answer);
  ASSERT_FALSE(friend_place.empty()) << answer;
  post(friend_place, "welcome_line");
  EXPECT_NE(poll(newcomer).find("welcome_line"), std::string::npos);
}

TEST_F(LoopbackChat, WaitingStreamsOfManyNetworksLeaveANewcomerItsWaitAndItsLines) {
  start("MaxPlacesPerAddress=4\r\nMaxOnline=12\r\nPostBurst=0\r\n");
  std::string answer;
  struct Place {
    std::string source, query;
  };
  std::vector<Place> places;
  for (int n = 0; n < 4; ++n)
    for (int i = 0; i < 4; ++i) {
      const std::string source = "127.0.0." + std::to_string(10 + n);
      const std::string q = join(source, "w" + std::to_string(n) + "x" + std::to_string(i), answer);
      if (!q.empty()) places.push_back({source, q});
    }
  // Every place the attackers got opens three waits at once.
  auto open_wait = [&](const std::string& source, const std::string& query) {
    auto c = std::make_unique<test::RawClient>();
    c->set_source(source);
    EXPECT_TRUE(c->connect(port));
    EXPECT_TRUE(c->send("GET /body.ghp" + query + "&wait=1 HTTP/1.0\r\n\r\n"));
    return c;
  };
  std::vector<std::unique_ptr<test::RawClient>> waits;
  for (int round = 0; round < 3; ++round)
    for (const Place& p : places) waits.push_back(open_wait(p.source, p.query));
  // One wait per place: the older ones answered at once.
  auto settled = [&] {
    ChatState::Hold hold(engine.state());
    return engine.state().online_count() == 12 && engine.state().waiting_count() == 12;
  };
  EXPECT_TRUE(test::eventually(settled));
  // The newcomer enters, waits, and its wait carries a line a friend sends.
  const std::string newcomer = join("127.0.0.2", "newcomer", answer);
  ASSERT_FALSE(newcomer.empty()) << answer;
  const std::string friend_place = join("127.0.0.3", "friend", answer);
  ASSERT_FALSE(friend_place.empty()) << answer;
  poll(newcomer);  // up to date, so the wait below has nothing to answer at once
  std::unique_ptr<test::RawClient> newcomer_wait = open_wait("127.0.0.2", newcomer);
  ASSERT_TRUE(test::eventually([&] {
    ChatState::Hold hold(engine.state());
    return engine.state().is_waiting(1, "newcomer");
  }));
  post(friend_place, "welcome_line");
  EXPECT_NE(newcomer_wait->read_all(10000).find("welcome_line"), std::string::npos);
  ChatState::Hold hold(engine.state());
  EXPECT_LE(engine.state().waiting_count(), engine.state().online_count());
}

TEST_F(LoopbackChat, PasswordGuessersOfTwoNetworksDoNotKeepANewcomersCheckOut) {
  // One check at a time, three waiting: the guessers keep the gate full.
  start("MaxFailedLogins=0\r\nMaxPasswordChecks=1\r\nPasswordQueue=3\r\nMaxPlacesPerAddress=0\r\n");
  std::string stored;
  ASSERT_TRUE(hash_password("right", stored));
  folder.write("users/victim", "[main]\r\npassword=" + stored + "\r\n");
  folder.write("users/newcomer", "[main]\r\npassword=" + stored + "\r\n");
  std::atomic<bool> stop{false};
  std::atomic<int> guesses{0};
  std::vector<std::thread> guessers;
  for (int t = 0; t < 8; ++t)
    guessers.emplace_back([&, t] {
      const std::string source = "127.0.0." + std::to_string(10 + t % 2);
      for (int i = 0; i < 60 && !stop.load(); ++i) {
        test::http_exchange_from(source, port,
                                 "GET /chat.ghp?username=victim&password=guess" + std::to_string(i) +
                                     "&room=1&sex=1 HTTP/1.0\r\n\r\n",
                                 5000);
        ++guesses;
      }
    });
  ASSERT_TRUE(test::eventually([&] { return guesses.load() >= 8; }));
  // A network holding no check takes the waiting place of one holding more:
  // the newcomer's check runs, and it enters.
  std::string answer;
  answer = test::http_exchange_from(
      "127.0.0.2", port, "GET /chat.ghp?username=newcomer&password=right&room=1&sex=1 HTTP/1.0\r\n\r\n",
      10000);
  stop = true;
  for (std::thread& t : guessers) t.join();
  EXPECT_NE(answer.find("chat:newcomer|"), std::string::npos) << answer;
}

}  // namespace
}  // namespace tvl
