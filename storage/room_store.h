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

// Reads every room of "<program_folder>rooms.sdb" in key-0 order. False when
// the file cannot be opened (or has no keys); rooms is then untouched.
bool read_rooms(const std::string& program_folder, std::vector<RoomInfo>& rooms);

}  // namespace tvl
