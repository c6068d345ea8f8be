// The room store: rooms.sdb in the program folder, one record per room with
// the fields "id" (FT_AUTOINC, key 0), "name", "admin", "guest" and
// "admin_only". Rooms are numbered 1, 2, ... in the order of key 0.
#pragma once
#include <string>
#include <vector>

namespace tvl {

struct RoomInfo {
  char name[64] = {};    // zero-terminated, at most 63 characters
  char admin[128] = {};  // zero-terminated, at most 127 characters
  bool guest = false;
  bool admin_only = false;
};

// What reading the room file found. A file is damaged when it exists but
// cannot be opened, when the walk of key 0 yields fewer or more records than
// its header counts, or when a field of a record cannot be read.
struct RoomFileCheck {
  bool damaged = false;
  int declared = 0;  // records the header counts (0 when it cannot be opened)
  int read = 0;      // rooms read
  bool read_only = false;  // there, but this process may not write it (the
                           // record engine opens files for writing only)
};

// Reads every room of "<program_folder>rooms.sdb" in key-0 order, at most as
// many as the header counts. False when the file cannot be opened (or has no
// keys); rooms is then untouched. `check`, when given, tells what was found.
bool read_rooms(const std::string& program_folder, std::vector<RoomInfo>& rooms,
                RoomFileCheck* check = nullptr);

// The one-line notice of a damaged room file: that it is damaged and how many
// rooms could be read; for a file that is only read-only, that instead.
std::string room_file_notice(const RoomFileCheck& check);

// --- The Rooms page's operations ---
// Each one opens "<program_folder>rooms.sdb", does one thing and closes the
// file before it returns: the record-file engine writes the header (record
// count, index roots) only when the file is closed, so a load_rooms() that
// follows sees the change. Failures are not described further: the page
// reports none of them.

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
// the file cannot be opened, the insert fails (id untouched) or the file
// could not be written back when closed.
bool add_room(const std::string& program_folder, const RoomValues& values, int& id);

// Replaces the four fields of room `id`. False when the file cannot be
// opened, no record has that id (deleted meanwhile), the update fails or
// the file could not be written back when closed.
bool update_room(const std::string& program_folder, int id, const RoomValues& values);

// Deletes room `id`. Returns whether the file could be opened and written
// back; deleted tells whether a record was found and deleted (false too when
// the deletion could not be written back).
bool delete_room(const std::string& program_folder, int id, bool& deleted);

}  // namespace tvl
