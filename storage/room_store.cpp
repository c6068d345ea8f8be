#include "storage/room_store.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/fs.h"
#include "storage/record_file.h"

namespace tvl {

namespace {
// Copies a text field of the current record into dst (cap bytes, the last
// one forced to zero). The field's declared width may differ from cap. False
// when the field cannot be read.
bool copy_text(RecordFile& f, int field, char* dst, std::size_t cap) {
  std::memset(dst, 0, cap);
  if (field < 0) return true;
  std::vector<char> buf(std::max<std::size_t>(std::size_t(f.field_size(field)), 8) + 1, 0);
  if (!f.get_field(buf.data(), field)) return false;
  std::size_t n = std::min<std::size_t>(std::size_t(f.field_size(field)), cap - 1);
  std::memcpy(dst, buf.data(), n);
  dst[cap - 1] = 0;
  return true;
}

// An integer field read into a zeroed 32-bit integer; set when non-zero.
// False when the field cannot be read.
bool read_flag(RecordFile& f, int field, bool& set) {
  set = false;
  if (field < 0) return true;
  std::vector<uint8_t> buf(std::max<std::size_t>(std::size_t(f.field_size(field)), 8), 0);
  if (!f.get_field(buf.data(), field)) return false;
  int32_t v;
  std::memcpy(&v, buf.data(), 4);
  set = v != 0;
  return true;
}
}  // namespace

bool read_rooms(const std::string& program_folder, std::vector<RoomInfo>& rooms,
                RoomFileCheck* check) {
  RoomFileCheck found;
  const std::string path = program_folder + "rooms.sdb";
  RecordFile file;
  if (!file.open(path)) {
    // A missing file means no rooms; one that is there but cannot be
    // opened is damaged.
    found.damaged = is_regular_file(path);
    if (check) *check = found;
    return false;
  }
  int count = std::max(file.record_count(), 0);
  int name = file.field_index("name");
  int admin = file.field_index("admin");
  int guest = file.field_index("guest");
  int admin_only = file.field_index("admin_only");
  std::vector<RoomInfo> loaded;
  bool fields_ok = true;
  bool more = count > 0 && file.move_first(0);
  // The walk stops at the stored count: a damaged key cannot make it longer.
  while (more && int(loaded.size()) < count) {
    RoomInfo r;
    fields_ok &= copy_text(file, name, r.name, sizeof r.name);
    fields_ok &= copy_text(file, admin, r.admin, sizeof r.admin);
    fields_ok &= read_flag(file, guest, r.guest);
    fields_ok &= read_flag(file, admin_only, r.admin_only);
    loaded.push_back(r);
    more = file.move_next(0);
  }
  // A key that goes on past the count disagrees with the header as much as
  // one that ends early.
  const bool beyond = count > 0 ? int(loaded.size()) == count && more : file.move_first(0);
  file.close();
  found.declared = count;
  found.read = int(loaded.size());
  found.damaged = !fields_ok || found.read < count || beyond;
  if (check) *check = found;
  rooms = std::move(loaded);
  return true;
}

std::string room_file_notice(const RoomFileCheck& check) {
  char text[160];
  if (check.declared > 0)
    std::snprintf(text, sizeof text, "The room file rooms.sdb is damaged: %d of %d rooms could be read.",
                  check.read, check.declared);
  else
    std::snprintf(text, sizeof text, "The room file rooms.sdb is damaged: %d rooms could be read.",
                  check.read);
  return text;
}

}  // namespace tvl
