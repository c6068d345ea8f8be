#include "chat/chat_state.h"

#include "chat/delivery.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "tests/support/chat_fixture.h"
#include "tests/support/room_file.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using test::room_info;

OnlineUser make_user(const char* name, int room) {
  OnlineUser u;
  std::strncpy(u.name, name, sizeof u.name - 1);
  std::strcpy(u.icon, "1.gif");
  u.room = room;
  return u;
}

class ChatStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state.replace_rooms({room_info("Lobby"), room_info("Music"), room_info("Games")});
  }

  void push(int room, int count, int first_number = 1, const char* to = "All") {
    ChatState::Hold hold(state);
    for (int i = 0; i < count; ++i)
      state.push_message(room, "m" + std::to_string(first_number + i), to);
  }

  // The texts of the room's ring in age order, oldest first.
  std::vector<std::string> kept(int room) { return test::kept_texts(state, room); }

  // What a user whose last_seq is `last_seq` receives, and how many it missed.
  std::vector<std::string> window(int room, int last_seq, int* missed = nullptr) {
    ChatState::Hold hold(state);
    const RoomMessages& r = state.ring(room);
    const DeliveryWindow w = delivery_window(r, last_seq);
    if (missed) *missed = w.missed;
    std::vector<std::string> texts;
    for (int p = w.first; p <= w.last; ++p) texts.push_back(r.text(p));
    return texts;
  }

  static std::vector<std::string> numbered(int from, int to) {
    std::vector<std::string> texts;
    for (int i = from; i <= to; ++i) texts.push_back("m" + std::to_string(i));
    return texts;
  }

  ChatState state;
};

// --- rings ---

TEST_F(ChatStateTest, NewRingIsEmpty) {
  ChatState::Hold hold(state);
  EXPECT_EQ(state.room_count_locked(), 3);
  EXPECT_EQ(state.ring(1).seq, 0);
  EXPECT_EQ(state.ring(1).kept(), 0);
}

TEST_F(ChatStateTest, RingKeepsTheLastFiveHundredLinesNumbered) {
  push(1, RoomMessages::kMaxLines + 7);
  EXPECT_EQ(kept(1), numbered(8, RoomMessages::kMaxLines + 7));
  ChatState::Hold hold(state);
  const RoomMessages& r = state.ring(1);
  EXPECT_EQ(r.seq, RoomMessages::kMaxLines + 7);
  EXPECT_EQ(r.lines.front().seq, 8);
  EXPECT_EQ(r.lines.back().seq, r.seq);
}

TEST_F(ChatStateTest, RingIsBoundedInBytesButKeepsTheNewestLine) {
  const std::string big(RoomMessages::kMaxBytes / 4 + 1, 'x');
  ChatState::Hold hold(state);
  for (int i = 0; i < 6; ++i) state.push_message(1, big + std::to_string(i), "All");
  const RoomMessages& r = state.ring(1);
  EXPECT_EQ(r.kept(), 3);  // a fourth would pass the bound
  EXPECT_LE(r.bytes, RoomMessages::kMaxBytes);
  EXPECT_EQ(r.text(2), big + "5");
  const std::string huge(RoomMessages::kMaxBytes + 10, 'y');
  state.push_message(1, huge, "All");
  ASSERT_EQ(state.ring(1).kept(), 1);
  EXPECT_EQ(state.ring(1).text(0), huge);
  EXPECT_EQ(state.ring(1).bytes, huge.size());
}

TEST_F(ChatStateTest, AddresseesStayWithTheirMessages) {
  {
    ChatState::Hold hold(state);
    for (int i = 1; i <= RoomMessages::kMaxLines + 3; ++i)
      state.push_message(2, "m" + std::to_string(i), i % 2 ? "All" : "u" + std::to_string(i));
  }
  ChatState::Hold hold(state);
  const RoomMessages& r = state.ring(2);
  for (int p = 0; p < r.kept(); ++p) {
    const int number = std::stoi(r.text(p).substr(1));
    EXPECT_EQ(r.to_whom(p), number % 2 ? std::string("All") : "u" + std::to_string(number));
  }
}

TEST_F(ChatStateTest, RoomsHaveTheirOwnRings) {
  push(1, 3);
  push(3, 2, 100);
  EXPECT_EQ(kept(1), numbered(1, 3));
  EXPECT_TRUE(kept(2).empty());
  EXPECT_EQ(kept(3), numbered(100, 101));
}

TEST_F(ChatStateTest, LongAddresseeIsCut) {
  const std::string long_name(80, 'x');
  {
    ChatState::Hold hold(state);
    state.push_message(1, "m", long_name);
  }
  ChatState::Hold hold(state);
  EXPECT_EQ(std::string(state.ring(1).to_whom(0)), long_name.substr(0, 63));
}

// --- delivery window ---

TEST_F(ChatStateTest, DeliveryWindowGivesEveryUnseenLineAndCountsTheMissed) {
  const int n = RoomMessages::kMaxLines;
  struct Case {
    const char* what;
    int pushed, last_seq, first, last, missed;
  };
  const Case cases[] = {
      {"newcomer sees the last 50", 600, 0, 551, 600, 0},
      {"newcomer in a short history sees it all", 7, 0, 1, 7, 0},
      {"a few behind get only the new ones", 600, 597, 598, 600, 0},
      {"up to date gets nothing", 600, 600, 0, -1, 0},
      {"two hundred behind get all two hundred", 600, 400, 401, 600, 0},
      {"exactly the kept number behind get them all", 600, 600 - n, 601 - n, 600, 0},
      {"further behind get the kept and hear of the rest", 600, 40, 601 - n, 600, 600 - n - 40},
      {"ahead of the ring after a reload gets nothing", 2, 40, 0, -1, 0},
      {"an empty ring delivers nothing", 0, 0, 0, -1, 0},
  };
  for (const Case& c : cases) {
    state.replace_rooms({room_info("Lobby")});
    push(1, c.pushed);
    int missed = -1;
    const auto got = window(1, c.last_seq, &missed);
    EXPECT_EQ(got, c.last < 0 ? std::vector<std::string>() : numbered(c.first, c.last)) << c.what;
    EXPECT_EQ(missed, c.missed) << c.what;
  }
}

// A cluster's numbers: pushed at the numbers the servers agreed on, with
// gaps (lines a server never read), never backwards; delivery finds the
// first unseen line by its number, and a visitor whose number is ahead of
// this ring (it came from another server) stays there.
TEST_F(ChatStateTest, LinesPushedAtAgreedNumbersKeepTheirNumbersAndDeliverByThem) {
  ChatState::Hold hold(state);
  for (int seq : {3, 4, 9, 10, 12}) EXPECT_TRUE(state.push_message_at(1, seq, "m" + std::to_string(seq), "All"));
  EXPECT_FALSE(state.push_message_at(1, 12, "again", "All"));
  EXPECT_FALSE(state.push_message_at(1, 5, "behind", "All"));
  EXPECT_FALSE(state.push_message_at(9, 20, "no such room", "All"));
  EXPECT_EQ(12, state.ring(1).seq);
  struct Case {
    const char* what;
    int last_seq;
    std::vector<std::string> got;
    int missed, after;
  } cases[] = {
      {"inside a gap", 6, {"m9", "m10", "m12"}, 0, 12},
      {"on a kept line", 9, {"m10", "m12"}, 0, 12},
      {"before the oldest kept", 1, {"m3", "m4", "m9", "m10", "m12"}, 1, 12},
      {"up to date", 12, {}, 0, 12},
      {"ahead of this ring", 15, {}, 0, 15},
  };
  for (const Case& c : cases) {
    OnlineUser u = make_user("ann", 1);
    u.last_seq = c.last_seq;
    Delivery d;
    take_undelivered(state.ring(1), u, "ann", false, d);
    std::string expected = c.missed ? missed_lines_notice(c.missed) : "";
    for (const std::string& t : c.got) expected += t;
    EXPECT_EQ(expected, d.board) << c.what;
    EXPECT_EQ(c.after, u.last_seq) << c.what;
  }
  // The cluster's epoch holds through a reload of the rooms.
  state.set_shared_epoch(77);
  EXPECT_TRUE(state.shared_epoch());
  hold.unlock();
  state.replace_rooms({room_info("Lobby")});
  hold.lock();
  EXPECT_EQ(77u, state.rings_epoch());
}

TEST_F(ChatStateTest, AUserFarBehindIsToldHowManyLinesItMissedBeforeTheKeptOnes) {
  push(1, RoomMessages::kMaxLines + 30);
  ChatState::Hold hold(state);
  OnlineUser u = make_user("ann", 1);
  u.last_seq = 10;
  Delivery d;
  take_undelivered(state.ring(1), u, "ann", false, d);
  const std::string notice = missed_lines_notice(20);
  EXPECT_EQ(d.board.rfind(notice, 0), 0u) << d.board.substr(0, 100);
  EXPECT_NE(notice.find("(20 lines missed)"), std::string::npos) << notice;
  EXPECT_EQ(d.board.substr(notice.size(), 3), "m31");
  EXPECT_EQ(u.last_seq, RoomMessages::kMaxLines + 30);
}

// --- online table ---

TEST_F(ChatStateTest, LeavingMovesTheLaterUsersDownWithTheirFields) {
  ChatState::Hold hold(state);
  const char* names[] = {"u1", "u2", "u3", "u4", "u5"};
  for (int i = 0; i < 5; ++i) {
    OnlineUser u = make_user(names[i], 1 + i % 2);
    u.last_seq = 10 + i;
    u.known_online = 20 + i;
    u.split = i == 3;
    u.active = i != 4;
    ASSERT_TRUE(state.add_user(u));
  }
  state.remove_user(2);
  ASSERT_EQ(state.online_count(), 4);
  EXPECT_STREQ(state.user(0).name, "u1");
  EXPECT_STREQ(state.user(1).name, "u2");
  EXPECT_STREQ(state.user(2).name, "u4");
  EXPECT_STREQ(state.user(3).name, "u5");
  EXPECT_EQ(state.user(2).last_seq, 13);
  EXPECT_EQ(state.user(2).known_online, 23);
  EXPECT_TRUE(state.user(2).split);
  EXPECT_EQ(state.user(2).room, 2);
  EXPECT_EQ(state.user(3).last_seq, 14);
  EXPECT_FALSE(state.user(3).active);
  EXPECT_STREQ(state.user(3).icon, "1.gif");
  EXPECT_EQ(state.find_online_user(1, "u3"), std::nullopt);  // gone
}

TEST_F(ChatStateTest, RemovingTheLastAndOutOfRange) {
  ChatState::Hold hold(state);
  state.add_user(make_user("a", 1));
  state.add_user(make_user("b", 1));
  state.remove_user(5);
  state.remove_user(-1);
  EXPECT_EQ(state.online_count(), 2);
  state.remove_user(1);
  EXPECT_EQ(state.online_count(), 1);
  EXPECT_EQ(state.find_online_user(1, "b"), std::nullopt);
}

TEST_F(ChatStateTest, OneNamePerRoomIgnoringCase) {
  ChatState::Hold hold(state);
  state.add_user(make_user("Bob", 1));
  state.add_user(make_user("ann", 2));
  EXPECT_EQ(state.find_online_user(1, "bob"), 0);
  EXPECT_EQ(state.find_online_user(1, "BOB"), 0);
  EXPECT_EQ(state.find_online_user(2, "bob"), std::nullopt);  // not in room 2
  EXPECT_EQ(state.find_online_user(2, "ANN"), 1);
  EXPECT_EQ(state.find_online_user(1, "bo"), std::nullopt);
  EXPECT_EQ(state.find_online_user(1, "bobby"), std::nullopt);
  EXPECT_EQ(state.find_online_user(1, ""), std::nullopt);
}

TEST_F(ChatStateTest, OnlyAsciiLettersHaveCase) {
  ChatState::Hold hold(state);
  state.add_user(make_user("J\xc3\xb6rg", 1));
  EXPECT_EQ(state.find_online_user(1, "j\xc3\xb6RG"), 0);
  EXPECT_EQ(state.find_online_user(1, "J\xc3\x96rg"), std::nullopt);
  EXPECT_EQ(state.find_online_user(1, "J\xe3\xb6rg"), std::nullopt);
}

TEST_F(ChatStateTest, FindsTheFirstOfSeveralEntries) {
  ChatState::Hold hold(state);
  state.add_user(make_user("x", 2));
  state.add_user(make_user("ann", 1));
  state.add_user(make_user("ann", 2));
  EXPECT_EQ(state.find_online_user(2, "Ann"), 2);
  EXPECT_EQ(state.find_online_user(1, "Ann"), 1);
}

TEST_F(ChatStateTest, TableHoldsExactlyFiveHundred) {
  ChatState::Hold hold(state);
  for (int i = 0; i < ChatState::kMaxOnline; ++i)
    ASSERT_TRUE(state.add_user(make_user(("u" + std::to_string(i)).c_str(), 1)));
  EXPECT_FALSE(state.add_user(make_user("one-too-many", 1)));
  EXPECT_EQ(state.online_count(), ChatState::kMaxOnline);
  EXPECT_EQ(state.find_online_user(1, "one-too-many"), std::nullopt);
  EXPECT_EQ(state.find_online_user(1, "U499"), 499);
}

TEST_F(ChatStateTest, MaxOnlineSetsThePlacesAndKeepsWhoIsInWhenLowered) {
  auto fill = [this](int n) {
    ChatState::Hold hold(state);
    int added = 0;
    while (added < n && state.add_user(make_user(("u" + std::to_string(state.online_count())).c_str(), 1)))
      ++added;
    return added;
  };
  state.set_max_online(ChatState::kMaxOnline + 1500);
  EXPECT_EQ(fill(3000), ChatState::kMaxOnline + 1500);
  state.set_max_online(10);  // nobody is put out; nobody joins
  EXPECT_EQ(fill(1), 0);
  {
    ChatState::Hold hold(state);
    EXPECT_EQ(state.online_count(), ChatState::kMaxOnline + 1500);
    state.remove_user(0);
    EXPECT_EQ(state.find_online_user(1, "u1"), 0);  // the rest moved down in order
  }
  state.set_max_online(0);
  {
    ChatState::Hold hold(state);
    EXPECT_EQ(state.max_online(), ChatState::kMaxOnlineBound);
  }
  // A cluster's table counts every server's visitors: its bound is higher.
  state.set_max_online(100000, true);
  {
    ChatState::Hold hold(state);
    EXPECT_EQ(state.max_online(), 100000);
  }
  state.set_max_online(100000);
  ChatState::Hold hold(state);
  EXPECT_EQ(state.max_online(), ChatState::kMaxOnlineBound);
}

// --- room table ---

TEST_F(ChatStateTest, ReloadEmptiesRingsAndKeepsUsers) {
  push(1, 5);
  {
    ChatState::Hold hold(state);
    OnlineUser u = make_user("ann", 3);
    u.last_seq = 5;
    state.add_user(u);
  }
  auto before = state.rooms();
  state.replace_rooms({room_info("A"), room_info("B"), room_info("C"), room_info("D")});
  EXPECT_EQ(state.room_count(), 4);
  EXPECT_STREQ((*state.rooms())[3].name, "D");
  // A snapshot taken before stays readable.
  EXPECT_STREQ((*before)[0].name, "Lobby");
  EXPECT_EQ(before->size(), 3u);
  ChatState::Hold hold(state);
  EXPECT_EQ(state.room_count_locked(), 4);
  EXPECT_STREQ(state.room_locked(1).name, "A");
  for (int room = 1; room <= 4; ++room) {
    EXPECT_EQ(state.ring(room).seq, RoomMessages::kReloadedSeq);
    EXPECT_EQ(state.ring(room).kept(), 0);
  }
  ASSERT_EQ(state.online_count(), 1);
  EXPECT_EQ(state.user(0).room, 3);
  EXPECT_EQ(state.user(0).last_seq, RoomMessages::kReloadedSeq);
}

TEST_F(ChatStateTest, ReloadToFewerRoomsAndToNone) {
  state.replace_rooms({room_info("Only")});
  EXPECT_EQ(state.room_count(), 1);
  state.replace_rooms({});
  EXPECT_EQ(state.room_count(), 0);
  ChatState::Hold hold(state);
  EXPECT_EQ(state.room_count_locked(), 0);
  state.push_message(1, "lost", "All");  // no such room: ignored
}

TEST_F(ChatStateTest, RoomTextsAreAlwaysTerminated) {
  RoomInfo full;
  std::memset(full.name, 'n', sizeof full.name);
  std::memset(full.admin, 'a', sizeof full.admin);
  state.replace_rooms({full});
  auto rooms = state.rooms();
  EXPECT_EQ(std::string((*rooms)[0].name), std::string(63, 'n'));
  EXPECT_EQ(std::string((*rooms)[0].admin), std::string(127, 'a'));
}

TEST_F(ChatStateTest, PushToARoomOutsideTheTableIsIgnored) {
  ChatState::Hold hold(state);
  state.push_message(0, "x", "All");
  state.push_message(4, "x", "All");
  for (int room = 1; room <= 3; ++room) EXPECT_EQ(state.ring(room).seq, 0);
}

// --- loading from the program folder ---

TEST(LoadRooms, DamagedRoomFileIsToldOncePerLoad) {
  test::TestEnvironment env;
  test::TempDir folder;
  std::vector<std::string> messages;
  set_message_sink([&](const std::string& caption, const std::string& text, MessageIcon) {
    messages.push_back(caption + ": " + text);
  });
  ChatState state;
  ASSERT_TRUE(test::write_room_file(folder.path(), {room_info("Lobby"), room_info("Music")}));
  load_rooms(folder.path(), state);
  EXPECT_TRUE(messages.empty());  // an intact file says nothing

  // The header counts a third room that the key cannot reach.
  std::string bytes = folder.read("rooms.sdb");
  bytes[36] = 3;  // record count, little-endian
  folder.write("rooms.sdb", bytes);
  load_rooms(folder.path(), state);
  set_message_sink(nullptr);
  ASSERT_EQ(messages.size(), 1u);
  // The operator is told which file, by its whole path.
  EXPECT_EQ(messages[0], "Tavella: The room file " + folder.path() +
                             "rooms.sdb is damaged: 2 of 3 rooms could be read.");
  EXPECT_EQ(state.room_count(), 2);  // what could be read is served
}

TEST(LoadRooms, MissingRoomFileLeavesTheRoomsAsTheyWere) {
  test::TestEnvironment env;
  test::TempDir folder;
  ChatState state;
  state.replace_rooms({room_info("Kept")});
  {
    ChatState::Hold hold(state);
    state.push_message(1, "still here", "All");
  }
  load_rooms(folder.path(), state);
  ASSERT_EQ(state.room_count(), 1);
  EXPECT_STREQ((*state.rooms())[0].name, "Kept");
  ChatState::Hold hold(state);
  EXPECT_EQ(state.ring(1).seq, 1);
}

TEST(LoadRooms, ReloadFromTheRoomFileWhileUsersAreOnline) {
  test::TestEnvironment env;
  test::TempDir folder;
  ChatState state;
  ASSERT_TRUE(test::write_room_file(folder.path(), {room_info("Lobby"), room_info("Music"),
                                                    room_info("Games", false)}));
  load_rooms(folder.path(), state);
  ASSERT_EQ(state.room_count(), 3);
  {
    ChatState::Hold hold(state);
    state.add_user(make_user("ann", 3));
    state.push_message(3, "old", "All");
  }
  // Room 2 deleted: the former room 3 becomes room 2, all rings start empty.
  ASSERT_TRUE(test::write_room_file(folder.path(), {room_info("Lobby"), room_info("Games", false)}));
  load_rooms(folder.path(), state);
  auto rooms = state.rooms();
  ASSERT_EQ(rooms->size(), 2u);
  EXPECT_STREQ((*rooms)[1].name, "Games");
  EXPECT_FALSE((*rooms)[1].guest);
  EXPECT_TRUE((*rooms)[0].guest);
  ChatState::Hold hold(state);
  EXPECT_EQ(state.ring(2).kept(), 0);
  ASSERT_EQ(state.online_count(), 1);
  EXPECT_EQ(state.user(0).room, 3);  // refers to the new numbering now
}

TEST(LoadRooms, RoomFileWithoutRecordsLeavesNoRooms) {
  test::TestEnvironment env;
  test::TempDir folder;
  ChatState state;
  state.replace_rooms({room_info("Old")});
  ASSERT_TRUE(test::write_room_file(folder.path(), {}));
  load_rooms(folder.path(), state);
  EXPECT_EQ(state.room_count(), 0);
}

}  // namespace
}  // namespace tvl
