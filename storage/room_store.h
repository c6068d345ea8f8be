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
};

// Reads every room of "<program_folder>rooms.sdb" in key-0 order, at most as
// many as the header counts. False when the file cannot be opened (or has no
// keys); rooms is then untouched. `check`, when given, tells what was found.
bool read_rooms(const std::string& program_folder, std::vector<RoomInfo>& rooms,
                RoomFileCheck* check = nullptr);

// The one-line notice of a damaged room file: that it is damaged and how many
// rooms could be read.
std::string room_file_notice(const RoomFileCheck& check);

}  // namespace tvl
