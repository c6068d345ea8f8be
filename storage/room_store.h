// The room store: rooms.sdb in the program folder, one record per room with
// the fields "id" (FT_AUTOINC, key 0), "name", "admin", "guest" and
// "admin_only". Rooms are numbered 1, 2, ... in the order of key 0.
#pragma once
#include <string>
#include <vector>

#include "platform/locked_file.h"
#include "platform/reason.h"

namespace tvl {

struct RecordSchema;

struct RoomInfo {
  char name[64] = {};    // zero-terminated, at most 63 characters
  char admin[128] = {};  // zero-terminated, at most 127 characters
  bool guest = false;
  bool admin_only = false;
};

// What reading the room file found. A file is damaged when something stands
// under its name that cannot be opened as a record file (a folder too), when
// the walk of key 0 yields fewer or more records than its header counts, or
// when a field of a record cannot be read. The file itself is never written
// while reading it, so a damaged file stays as it was found.
struct RoomFileCheck {
  bool damaged = false;
  int declared = 0;  // records the header counts (0 when it cannot be opened)
  int read = 0;      // rooms read
  bool busy = false;   // another program held its lock for the whole wait
  std::string reason;  // why it could not be opened (with its path)
  std::string path;    // the file read
};

// The layout of rooms.sdb, for making one.
RecordSchema room_file_schema();

// Reads every room of "<program_folder>rooms.sdb" in key-0 order, at most as
// many as the header counts. False when the file cannot be opened (or has no
// keys); rooms is then untouched. `check`, when given, tells what was found.
bool read_rooms(const std::string& program_folder, std::vector<RoomInfo>& rooms,
                RoomFileCheck* check = nullptr);

// The one-line notice of a damaged room file: that it is damaged and how many
// rooms could be read, or why it could not be opened at all.
std::string room_file_notice(const RoomFileCheck& check);

// Why the room file at `path` could not be opened, for a person.
std::string room_open_failure(LockedOpen status, const std::string& path);

// --- The Rooms page's operations ---
// Each one opens "<program_folder>rooms.sdb", does one thing and closes the
// file before it returns. A change is made whole or not at all (RecordFile),
// under the file's lock, so concurrent changes from several processes all
// land. A change that fails leaves the file exactly as it was; `why`
// then says why for a person.

// One row of the page: "guest" and "admin_only" count as set only when the
// stored value is exactly 1 (a stored 2 lets guests in but is listed "No").
struct RoomRow {
  int id = 0;
  std::string name, admin;
  bool guest = false;
  bool admin_only = false;
};

// Every room in key-0 order. False when the file cannot be opened (rows
// untouched).
bool list_room_rows(const std::string& program_folder, std::vector<RoomRow>& rows);

// What the room dialog gives.
struct RoomValues {
  std::string name, admin;
  bool guest = true;
  bool admin_only = false;
};

// The longest "name" and "admin" texts a room can keep whole: the width the
// file declares for the field (a full field need not hold a zero byte), but
// never more than the chat's room table keeps (63 and 127 bytes).
struct RoomTextLimits {
  int name = 63;
  int admin = 127;
};
// False when the file cannot be opened; limits then keep the table's sizes.
bool room_text_limits(const std::string& program_folder, RoomTextLimits& limits);

// Inserts a room; id receives the identifier the engine gave it. False when
// the file cannot be opened, the insert fails or the file could not be
// replaced (a full disk); id is then untouched.
[[nodiscard]] bool add_room(const std::string& program_folder, const RoomValues& values, int& id,
                            Reason& why);

// Replaces the four fields of room `id`. False when the file cannot be
// opened, no record has that id (deleted meanwhile: `why` is left empty),
// the update fails or the file could not be replaced.
[[nodiscard]] bool update_room(const std::string& program_folder, int id, const RoomValues& values,
                               Reason& why);

// Deletes room `id`. False when the file could not be opened or the
// deletion could not be made or written (nothing changed); deleted tells
// whether a record was found and deleted.
[[nodiscard]] bool delete_room(const std::string& program_folder, int id, bool& deleted,
                               Reason& why);

}  // namespace tvl
