// Reading the room file: field widths and integer types as the file
// declares them, key-0 order, missing or keyless files.
#include "storage/room_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/resource.h>

#include <csignal>

#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "storage/record_file.h"
#include "storage/record_file_create.h"
#include "storage/record_format.h"
#include "tests/record_file_helpers.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using namespace rft;

struct Room {
  std::string name, admin;
  int guest, admin_only;
};

class RoomStoreTest : public ::testing::Test {
 protected:
  std::string file() const { return dir_.path() + "rooms.sdb"; }
  // A room file with the given widths and flag type.
  void write(const std::vector<Room>& rooms, int name_size = 64, int admin_size = 128,
             int flag_type = FT_BYTE) {
    RecordSchema s;
    s.fields = {field("id", FT_AUTOINC), field("name", FT_STRING, name_size),
                field("admin", FT_STRING, admin_size), field("guest", flag_type),
                field("admin_only", flag_type)};
    s.keys = {single_key(0)};
    Reason err;
    ASSERT_TRUE(create_record_file(file(), s, err)) << err.text;
    RecordFile f;
    ASSERT_TRUE(f.open(file()));
    for (const Room& r : rooms) {
      ASSERT_TRUE(f.set_field_text(r.name, "name"));
      ASSERT_TRUE(f.set_field_text(r.admin, "admin"));
      ASSERT_TRUE(f.set_field_text(std::to_string(r.guest), "guest"));
      ASSERT_TRUE(f.set_field_text(std::to_string(r.admin_only), "admin_only"));
      ASSERT_TRUE(f.insert_record());
    }
  }
  test::TempDir dir_;
};

TEST_F(RoomStoreTest, ReadsEveryRoomInKeyOrder) {
  write({{"Lobby", "", 1, 0}, {"Members", "", 0, 0}, {"Staff", "admin boss", 0, 1}});
  std::vector<RoomInfo> rooms;
  ASSERT_TRUE(read_rooms(dir_.path(), rooms));
  ASSERT_EQ(rooms.size(), 3u);
  EXPECT_STREQ(rooms[0].name, "Lobby");
  EXPECT_TRUE(rooms[0].guest);
  EXPECT_FALSE(rooms[0].admin_only);
  EXPECT_STREQ(rooms[1].name, "Members");
  EXPECT_FALSE(rooms[1].guest);
  EXPECT_STREQ(rooms[2].name, "Staff");
  EXPECT_STREQ(rooms[2].admin, "admin boss");
  EXPECT_TRUE(rooms[2].admin_only);

  // Deleting the second room moves the third up; a new room goes last.
  RecordFile f;
  ASSERT_TRUE(f.open(file()));
  int32_t id = 2;
  ASSERT_TRUE(f.seek_key(0, &id));
  ASSERT_TRUE(f.delete_record());
  ASSERT_TRUE(f.set_field_text("Later", "name"));
  ASSERT_TRUE(f.insert_record());
  EXPECT_TRUE(f.close());
  ASSERT_TRUE(read_rooms(dir_.path(), rooms));
  ASSERT_EQ(rooms.size(), 3u);
  EXPECT_STREQ(rooms[1].name, "Staff");
  EXPECT_STREQ(rooms[2].name, "Later");
}

TEST_F(RoomStoreTest, LongTextsAreCutAndAnyNonZeroFlagIsSet) {
  std::string name70(70, 'n'), admin200(200, 'a');
  write({{name70, admin200, 2, 7}}, 80, 200, FT_INT);
  std::vector<RoomInfo> rooms;
  ASSERT_TRUE(read_rooms(dir_.path(), rooms));
  ASSERT_EQ(rooms.size(), 1u);
  EXPECT_EQ(std::string(rooms[0].name), name70.substr(0, 63));
  EXPECT_EQ(std::string(rooms[0].admin), admin200.substr(0, 127));
  EXPECT_TRUE(rooms[0].guest);
  EXPECT_TRUE(rooms[0].admin_only);
}

TEST_F(RoomStoreTest, NarrowFieldsAndShortFlags) {
  write({{"0123456789abcdefXYZ", "ad", 0, 1}, {"b", "", 300, 0}}, 16, 8, FT_SHORT);
  std::vector<RoomInfo> rooms;
  ASSERT_TRUE(read_rooms(dir_.path(), rooms));
  ASSERT_EQ(rooms.size(), 2u);
  EXPECT_STREQ(rooms[0].name, "0123456789abcdef");  // the whole 16-byte field
  EXPECT_STREQ(rooms[0].admin, "ad");
  EXPECT_FALSE(rooms[0].guest);
  EXPECT_TRUE(rooms[0].admin_only);
  EXPECT_TRUE(rooms[1].guest);
}

TEST_F(RoomStoreTest, EmptyFileGivesNoRooms) {
  write({});
  std::vector<RoomInfo> rooms(2);
  ASSERT_TRUE(read_rooms(dir_.path(), rooms));
  EXPECT_TRUE(rooms.empty());
}

// --- Error paths -------------------------------------------------------------

TEST_F(RoomStoreTest, MissingOrKeylessFileLeavesRoomsAlone) {
  std::vector<RoomInfo> rooms(1);
  std::strcpy(rooms[0].name, "kept");
  EXPECT_FALSE(read_rooms(dir_.path(), rooms));
  ASSERT_EQ(rooms.size(), 1u);
  EXPECT_STREQ(rooms[0].name, "kept");

  RecordSchema s;
  s.fields = {field("id", FT_AUTOINC), field("name", FT_STRING, 64)};
  Reason err;
  ASSERT_TRUE(create_record_file(file(), s, err)) << err.text;
  EXPECT_FALSE(read_rooms(dir_.path(), rooms));
  EXPECT_STREQ(rooms[0].name, "kept");

  write_bytes(file(), "not a record file");
  EXPECT_FALSE(read_rooms(dir_.path(), rooms));
  EXPECT_STREQ(rooms[0].name, "kept");
}

// --- damaged files -----------------------------------------------------------

struct DamageCase {
  const char* what;
  std::function<void(const std::string& path)> damage;  // nothing: left intact
  bool damaged;
  int declared, read;
};

TEST_F(RoomStoreTest, DamageIsToldWithTheRoomsThatCouldBeRead) {
  const DamageCase cases[] = {
      {"intact", nullptr, false, 3, 3},
      {"header counts more rooms", [](const std::string& p) { patch(p, recfmt::kRecordCount, le32(5)); },
       true, 5, 3},
      {"header counts fewer rooms", [](const std::string& p) { patch(p, recfmt::kRecordCount, le32(1)); },
       true, 1, 1},
      {"first leaf of key 0 points nowhere", [](const std::string& p) { patch(p, recfmt::kFirstLeaf, le32(7)); },
       true, 3, 0},
      {"not a record file", [](const std::string& p) { write_bytes(p, "not a record file"); }, true, 0, 0},
      {"missing", [](const std::string& p) { ::unlink(p.c_str()); }, false, 0, 0},
  };
  for (const DamageCase& c : cases) {
    write({{"Lobby", "", 1, 0}, {"Members", "", 0, 0}, {"Staff", "", 0, 1}});
    if (c.damage) c.damage(file());
    std::vector<RoomInfo> rooms;
    RoomFileCheck check;
    check.declared = check.read = -9;
    read_rooms(dir_.path(), rooms, &check);
    EXPECT_EQ(check.damaged, c.damaged) << c.what;
    EXPECT_EQ(check.declared, c.declared) << c.what;
    EXPECT_EQ(check.read, c.read) << c.what;
  }
}

// Why a file that stands there cannot be read is told as what it is: an
// empty or overwritten file is damage, not a question of permissions.
TEST_F(RoomStoreTest, AnUnreadableFileIsToldAsWhatItIs) {
  const struct {
    const char* what;
    std::function<void(const std::string& path)> make;
    std::string reason_end;
  } cases[] = {
      {"empty", [](const std::string& p) { write_bytes(p, ""); }, " is damaged (its header cannot be read)"},
      {"text", [](const std::string& p) { write_bytes(p, "not a record file"); },
       " is damaged (its header cannot be read)"},
      {"folder", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); },
       " is not a file (damaged: a folder or other object stands in its place)"},
  };
  for (const auto& c : cases) {
    ::unlink(file().c_str());
    c.make(file());
    std::vector<RoomInfo> rooms;
    RoomFileCheck check;
    EXPECT_FALSE(read_rooms(dir_.path(), rooms, &check)) << c.what;
    EXPECT_TRUE(check.damaged) << c.what;
    ASSERT_GE(check.reason.size(), c.reason_end.size()) << c.what;
    EXPECT_EQ(check.reason.substr(check.reason.size() - c.reason_end.size()), c.reason_end) << c.what;
    ::rmdir(file().c_str());
  }
}

TEST_F(RoomStoreTest, NoticeNamesTheFileAndTheCount) {
  RoomFileCheck check;
  check.damaged = true;
  check.declared = 5;
  check.read = 3;
  check.path = "/opt/t/rooms.sdb";
  EXPECT_EQ(room_file_notice(check), "The room file /opt/t/rooms.sdb is damaged: 3 of 5 rooms could be read.");
  check.declared = check.read = 0;
  EXPECT_EQ(room_file_notice(check), "The room file /opt/t/rooms.sdb is damaged: 0 rooms could be read.");
  check.reason = "/opt/t/rooms.sdb is not a file (damaged: a folder or other object stands in its place)";
  EXPECT_EQ(room_file_notice(check), "The room file cannot be read: " + check.reason + "; no rooms were loaded.");
}

// --- The window's operations (the Rooms page test covers add, edit and
// delete as a later read sees them).

TEST_F(RoomStoreTest, RowsShowAFlagOnlyForExactlyOne) {
  write({{"a", "", 2, 1}, {"b", "", 1, 0}, {"c", "", -1, 256}}, 64, 128, FT_INT);
  std::vector<RoomRow> rows;
  ASSERT_TRUE(list_room_rows(dir_.path(), rows));
  ASSERT_EQ(rows.size(), 3u);
  const bool guest[] = {false, true, false}, admin_only[] = {true, false, false};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(rows[i].guest, guest[i]) << i;
    EXPECT_EQ(rows[i].admin_only, admin_only[i]) << i;
  }
}

TEST_F(RoomStoreTest, TextLimitsFollowTheFileUpToTheRoomTable) {
  struct Case {
    int name_size, admin_size, name_limit, admin_limit;
  } cases[] = {{64, 128, 63, 127}, {16, 8, 16, 8}, {80, 200, 63, 127}};
  for (const Case& c : cases) {
    write({}, c.name_size, c.admin_size);
    RoomTextLimits limits;
    ASSERT_TRUE(room_text_limits(dir_.path(), limits));
    EXPECT_EQ(limits.name, c.name_limit) << c.name_size;
    EXPECT_EQ(limits.admin, c.admin_limit) << c.admin_size;
  }
}

TEST_F(RoomStoreTest, WindowOperationsOnAMissingRoomOrFile) {
  write({{"Lobby", "", 1, 0}});
  Reason why{"earlier"};
  EXPECT_FALSE(update_room(dir_.path(), 9, {"x", "", true, false}, why));
  EXPECT_EQ(why.text, "");  // no such room: nothing went wrong
  bool deleted = true;
  EXPECT_TRUE(delete_room(dir_.path(), 9, deleted, why));  // the file opened
  EXPECT_FALSE(deleted);
  std::vector<RoomInfo> rooms;
  ASSERT_TRUE(read_rooms(dir_.path(), rooms));
  ASSERT_EQ(rooms.size(), 1u);

  test::TempDir empty;
  int id = -5;
  std::vector<RoomRow> rows(1);
  RoomTextLimits limits;
  const std::string missing = "the room file " + empty.path() + "rooms.sdb does not exist";
  EXPECT_FALSE(add_room(empty.path(), {"x", "", true, false}, id, why));
  EXPECT_EQ(why.text, missing);
  EXPECT_EQ(id, -5);
  why.text.clear();
  EXPECT_FALSE(update_room(empty.path(), 1, {"x", "", true, false}, why));
  EXPECT_EQ(why.text, missing);
  why.text.clear();
  EXPECT_FALSE(delete_room(empty.path(), 1, deleted, why));
  EXPECT_EQ(why.text, missing);
  EXPECT_FALSE(list_room_rows(empty.path(), rows));
  EXPECT_EQ(rows.size(), 1u);
  EXPECT_FALSE(room_text_limits(empty.path(), limits));
  EXPECT_EQ(limits.name, 63);
}

// A full disk, played by a file-size limit: a change that cannot be written
// back when the file is closed is no success.
TEST_F(RoomStoreTest, AWriteThatDoesNotReachTheFileIsReported) {
  write({{"Lobby", "", 1, 0}});
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit tiny = saved;
  tiny.rlim_cur = 1;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  int id = -1;
  Reason added_why, updated_why, deleted_why;
  const bool added = add_room(dir_.path(), {"New", "", true, false}, id, added_why);
  const bool updated = update_room(dir_.path(), 1, {"Renamed", "", true, false}, updated_why);
  bool deleted = true;
  const bool delete_written = delete_room(dir_.path(), 1, deleted, deleted_why);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_FALSE(added);
  EXPECT_FALSE(updated);
  EXPECT_FALSE(delete_written);
  EXPECT_FALSE(deleted);
  for (const Reason* why : {&added_why, &updated_why, &deleted_why})
    EXPECT_EQ(why->text.rfind("the room file could not be written (", 0), 0u) << why->text;
  // Nothing of the refused changes stands; with room again, changes work.
  std::vector<RoomRow> rows;
  ASSERT_TRUE(list_room_rows(dir_.path(), rows));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].name, "Lobby");
  EXPECT_FALSE(dir_.exists("rooms.sdb.new"));
  EXPECT_TRUE(add_room(dir_.path(), {"New", "", true, false}, id, added_why));
}

}  // namespace
}  // namespace tvl
