#include "chat/chat_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "tests/support/room_file.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

RoomInfo make_room(const char* name, bool guest = true) {
  RoomInfo r;
  std::strncpy(r.name, name, sizeof r.name - 1);
  r.guest = guest;
  return r;
}

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
    state.replace_rooms({make_room("Lobby"), make_room("Music"), make_room("Games")});
  }

  void push(int room, int count, int first_number = 1, const char* to = "All") {
    std::lock_guard<std::mutex> hold(state.lock);
    for (int i = 0; i < count; ++i)
      state.push_message(room, "m" + std::to_string(first_number + i), to);
  }

  // The texts of the room's ring in age order, oldest first.
  std::vector<std::string> kept(int room) {
    std::lock_guard<std::mutex> hold(state.lock);
    const RoomMessages& r = state.ring(room);
    std::vector<std::string> texts;
    for (int p = 0; p <= r.last; ++p) texts.push_back(r.text[r.slot_of[p]]);
    return texts;
  }

  std::vector<std::string> window(int room, int last_seq) {
    std::lock_guard<std::mutex> hold(state.lock);
    const RoomMessages& r = state.ring(room);
    int first = 0, last = -1;
    ChatState::delivery_window(r, last_seq, first, last);
    std::vector<std::string> texts;
    for (int p = first; p <= last; ++p) texts.push_back(r.text[r.slot_of[p]]);
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
  std::lock_guard<std::mutex> hold(state.lock);
  EXPECT_EQ(state.room_count_locked(), 3);
  EXPECT_EQ(state.ring(1).seq, 0);
  EXPECT_EQ(state.ring(1).last, -1);
}

TEST_F(ChatStateTest, TwentyPushesFillTheRing) {
  push(1, 20);
  EXPECT_EQ(kept(1), numbered(1, 20));
  std::lock_guard<std::mutex> hold(state.lock);
  EXPECT_EQ(state.ring(1).last, 19);
  EXPECT_EQ(state.ring(1).seq, 20);
}

TEST_F(ChatStateTest, TwentyFirstPushDropsTheOldest) {
  push(1, 21);
  EXPECT_EQ(kept(1), numbered(2, 21));
  std::lock_guard<std::mutex> hold(state.lock);
  EXPECT_EQ(state.ring(1).seq, 21);
  EXPECT_EQ(state.ring(1).last, 19);
}

TEST_F(ChatStateTest, AddresseesMoveWithTheirMessages) {
  {
    std::lock_guard<std::mutex> hold(state.lock);
    for (int i = 1; i <= 23; ++i)
      state.push_message(2, "m" + std::to_string(i), i % 2 ? "All" : "u" + std::to_string(i));
  }
  std::lock_guard<std::mutex> hold(state.lock);
  const RoomMessages& r = state.ring(2);
  for (int p = 0; p <= r.last; ++p) {
    const int number = std::stoi(r.text[r.slot_of[p]].substr(1));
    EXPECT_EQ(r.to_whom[p], number % 2 ? std::string("All") : "u" + std::to_string(number));
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
    std::lock_guard<std::mutex> hold(state.lock);
    state.push_message(1, "m", long_name);
  }
  std::lock_guard<std::mutex> hold(state.lock);
  EXPECT_EQ(std::string(state.ring(1).to_whom[0]), long_name.substr(0, 63));
}

// --- delivery window ---

TEST_F(ChatStateTest, UserTwentyFiveBehindGetsTheTwentyKeptOldestFirst) {
  push(1, 25);
  EXPECT_EQ(window(1, 0), numbered(6, 25));
}

TEST_F(ChatStateTest, UserAFewBehindGetsOnlyTheNewOnes) {
  push(1, 25);
  EXPECT_EQ(window(1, 22), numbered(23, 25));
  EXPECT_TRUE(window(1, 25).empty());
}

TEST_F(ChatStateTest, UserJustOverTwentyBehindGetsTheKeptOnes) {
  push(1, 30);
  EXPECT_EQ(window(1, 9), numbered(11, 30));
}

TEST_F(ChatStateTest, UserAheadOfTheRingAfterAReloadGetsNothing) {
  push(1, 2);
  EXPECT_TRUE(window(1, 40).empty());
}

TEST_F(ChatStateTest, EmptyRingDeliversNothing) {
  EXPECT_TRUE(window(1, 0).empty());
}

// --- online table ---

TEST_F(ChatStateTest, LeavingMovesTheLaterUsersDownWithTheirFields) {
  std::lock_guard<std::mutex> hold(state.lock);
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
  EXPECT_EQ(state.find_online_user(1, "u3"), 4);
}

TEST_F(ChatStateTest, RemovingTheLastAndOutOfRange) {
  std::lock_guard<std::mutex> hold(state.lock);
  state.add_user(make_user("a", 1));
  state.add_user(make_user("b", 1));
  state.remove_user(5);
  state.remove_user(-1);
  EXPECT_EQ(state.online_count(), 2);
  state.remove_user(1);
  EXPECT_EQ(state.online_count(), 1);
  EXPECT_EQ(state.find_online_user(1, "b"), 1);
}

TEST_F(ChatStateTest, OneNamePerRoomIgnoringCase) {
  std::lock_guard<std::mutex> hold(state.lock);
  state.add_user(make_user("Bob", 1));
  state.add_user(make_user("ann", 2));
  EXPECT_EQ(state.find_online_user(1, "bob"), 0);
  EXPECT_EQ(state.find_online_user(1, "BOB"), 0);
  EXPECT_EQ(state.find_online_user(2, "bob"), 2);  // not in room 2: the count
  EXPECT_EQ(state.find_online_user(2, "ANN"), 1);
  EXPECT_EQ(state.find_online_user(1, "bo"), 2);
  EXPECT_EQ(state.find_online_user(1, "bobby"), 2);
  EXPECT_EQ(state.find_online_user(1, ""), 2);
}

TEST_F(ChatStateTest, OnlyAsciiLettersHaveCase) {
  std::lock_guard<std::mutex> hold(state.lock);
  state.add_user(make_user("J\xc3\xb6rg", 1));
  EXPECT_EQ(state.find_online_user(1, "j\xc3\xb6RG"), 0);
  EXPECT_EQ(state.find_online_user(1, "J\xc3\x96rg"), 1);
  EXPECT_EQ(state.find_online_user(1, "J\xe3\xb6rg"), 1);
}

TEST_F(ChatStateTest, FindsTheFirstOfSeveralEntries) {
  std::lock_guard<std::mutex> hold(state.lock);
  state.add_user(make_user("x", 2));
  state.add_user(make_user("ann", 1));
  state.add_user(make_user("ann", 2));
  EXPECT_EQ(state.find_online_user(2, "Ann"), 2);
  EXPECT_EQ(state.find_online_user(1, "Ann"), 1);
}

TEST_F(ChatStateTest, TableHoldsExactlyFiveHundred) {
  std::lock_guard<std::mutex> hold(state.lock);
  for (int i = 0; i < ChatState::kMaxOnline; ++i)
    ASSERT_TRUE(state.add_user(make_user(("u" + std::to_string(i)).c_str(), 1)));
  EXPECT_FALSE(state.add_user(make_user("one-too-many", 1)));
  EXPECT_EQ(state.online_count(), ChatState::kMaxOnline);
  EXPECT_EQ(state.find_online_user(1, "one-too-many"), ChatState::kMaxOnline);
  EXPECT_EQ(state.find_online_user(1, "U499"), 499);
}

// --- room table ---

TEST_F(ChatStateTest, ReloadEmptiesRingsAndKeepsUsers) {
  push(1, 5);
  {
    std::lock_guard<std::mutex> hold(state.lock);
    OnlineUser u = make_user("ann", 3);
    u.last_seq = 5;
    state.add_user(u);
  }
  auto before = state.rooms();
  state.replace_rooms({make_room("A"), make_room("B"), make_room("C"), make_room("D")});
  EXPECT_EQ(state.room_count(), 4);
  EXPECT_STREQ((*state.rooms())[3].name, "D");
  // A snapshot taken before stays readable.
  EXPECT_STREQ((*before)[0].name, "Lobby");
  EXPECT_EQ(before->size(), 3u);
  std::lock_guard<std::mutex> hold(state.lock);
  EXPECT_EQ(state.room_count_locked(), 4);
  EXPECT_STREQ(state.room_locked(1).name, "A");
  for (int room = 1; room <= 4; ++room) {
    EXPECT_EQ(state.ring(room).seq, 0);
    EXPECT_EQ(state.ring(room).last, -1);
  }
  ASSERT_EQ(state.online_count(), 1);
  EXPECT_EQ(state.user(0).room, 3);
  EXPECT_EQ(state.user(0).last_seq, 5);
}

TEST_F(ChatStateTest, ReloadToFewerRoomsAndToNone) {
  state.replace_rooms({make_room("Only")});
  EXPECT_EQ(state.room_count(), 1);
  state.replace_rooms({});
  EXPECT_EQ(state.room_count(), 0);
  std::lock_guard<std::mutex> hold(state.lock);
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
  std::lock_guard<std::mutex> hold(state.lock);
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
  ASSERT_TRUE(test::write_room_file(folder.path(), {make_room("Lobby"), make_room("Music")}));
  load_rooms(folder.path(), state);
  EXPECT_TRUE(messages.empty());  // an intact file says nothing

  // The header counts a third room that the key cannot reach.
  std::string bytes = folder.read("rooms.sdb");
  bytes[36] = 3;  // record count, little-endian
  folder.write("rooms.sdb", bytes);
  load_rooms(folder.path(), state);
  set_message_sink(nullptr);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Tavella: The room file rooms.sdb is damaged: 2 of 3 rooms could be read.");
  EXPECT_EQ(state.room_count(), 2);  // what could be read is served
}

TEST(LoadRooms, MissingRoomFileLeavesTheRoomsAsTheyWere) {
  test::TestEnvironment env;
  test::TempDir folder;
  ChatState state;
  state.replace_rooms({make_room("Kept")});
  {
    std::lock_guard<std::mutex> hold(state.lock);
    state.push_message(1, "still here", "All");
  }
  load_rooms(folder.path(), state);
  ASSERT_EQ(state.room_count(), 1);
  EXPECT_STREQ((*state.rooms())[0].name, "Kept");
  std::lock_guard<std::mutex> hold(state.lock);
  EXPECT_EQ(state.ring(1).seq, 1);
}

TEST(LoadRooms, ReloadFromTheRoomFileWhileUsersAreOnline) {
  test::TestEnvironment env;
  test::TempDir folder;
  ChatState state;
  ASSERT_TRUE(test::write_room_file(folder.path(), {make_room("Lobby"), make_room("Music"),
                                                    make_room("Games", false)}));
  load_rooms(folder.path(), state);
  ASSERT_EQ(state.room_count(), 3);
  {
    std::lock_guard<std::mutex> hold(state.lock);
    state.add_user(make_user("ann", 3));
    state.push_message(3, "old", "All");
  }
  // Room 2 deleted: the former room 3 becomes room 2, all rings start empty.
  ASSERT_TRUE(test::write_room_file(folder.path(), {make_room("Lobby"), make_room("Games", false)}));
  load_rooms(folder.path(), state);
  auto rooms = state.rooms();
  ASSERT_EQ(rooms->size(), 2u);
  EXPECT_STREQ((*rooms)[1].name, "Games");
  EXPECT_FALSE((*rooms)[1].guest);
  EXPECT_TRUE((*rooms)[0].guest);
  std::lock_guard<std::mutex> hold(state.lock);
  EXPECT_EQ(state.ring(2).seq, 0);
  EXPECT_EQ(state.ring(2).last, -1);
  ASSERT_EQ(state.online_count(), 1);
  EXPECT_EQ(state.user(0).room, 3);  // refers to the new numbering now
}

TEST(LoadRooms, RoomFileWithoutRecordsLeavesNoRooms) {
  test::TestEnvironment env;
  test::TempDir folder;
  ChatState state;
  state.replace_rooms({make_room("Old")});
  ASSERT_TRUE(test::write_room_file(folder.path(), {}));
  load_rooms(folder.path(), state);
  EXPECT_EQ(state.room_count(), 0);
}

}  // namespace
}  // namespace tvl
