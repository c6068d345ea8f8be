// Writes a rooms.sdb for tests: fields "id" (autoinc, key 0), "name"
// (string 64), "admin" (string 128), "guest" and "admin_only" (int), one
// record per room in the given order.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "storage/record_file.h"
#include "storage/record_file_create.h"
#include "storage/room_store.h"

namespace tvl::test {

// A room record as the tests write it; names past the field are cut.
inline RoomInfo room_info(const char* name, bool guest = true, bool admin_only = false,
                          const char* admin = "") {
  RoomInfo r;
  std::strncpy(r.name, name, sizeof r.name - 1);
  std::strncpy(r.admin, admin, sizeof r.admin - 1);
  r.guest = guest;
  r.admin_only = admin_only;
  return r;
}

inline bool write_room_file(const std::string& program_folder, const std::vector<RoomInfo>& rooms) {
  const RecordSchema schema = room_file_schema();
  const std::string path = program_folder + "rooms.sdb";
  Reason error;
  if (!create_record_file(path, schema, error)) return false;
  RecordFile file;
  if (!file.open(path)) return false;
  for (const RoomInfo& r : rooms) {
    int32_t guest = r.guest, admin_only = r.admin_only;
    if (!file.set_field_text(r.name, "name") || !file.set_field_text(r.admin, "admin") ||
        !file.set_field(&guest, "guest") || !file.set_field(&admin_only, "admin_only") ||
        !file.insert_record())
      return false;
  }
  return file.close();
}

}  // namespace tvl::test
