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
// The stored value of an integer field as a little-endian number of the
// field's width (FT_BYTE 1 byte, FT_SHORT 2, FT_INT 4).
int32_t read_int(RecordFile& f, int field) {
  if (field < 0) return 0;
  std::vector<uint8_t> buf(std::max<std::size_t>(std::size_t(f.field_size(field)), 8), 0);
  if (!f.get_field(buf.data(), field)) return 0;
  int width = std::min(f.field_size(field), 4);
  int32_t v = 0;
  std::memcpy(&v, buf.data(), std::size_t(std::max(width, 0)));
  if (width == 2) v = int16_t(v);  // FT_SHORT is signed
  return v;
}

std::string room_path(const std::string& program_folder) { return program_folder + "rooms.sdb"; }

// Sets the four fields of the edit record. set_field copies the type's
// width from a 32-bit value, whose low bytes come first on this machine.
bool set_room_fields(RecordFile& f, const RoomValues& values) {
  const int32_t guest = values.guest ? 1 : 0;
  const int32_t admin_only = values.admin_only ? 1 : 0;
  return f.set_field_text(values.name, "name") && f.set_field_text(values.admin, "admin") &&
         f.set_field(&guest, "guest") && f.set_field(&admin_only, "admin_only");
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
    // Not damaged at all, only not writable: a read-only program folder or
    // file is told as what it is.
    found.read_only = found.damaged && !is_writable(path);
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
  (void)file.close();  // read only: nothing to lose
  found.declared = count;
  found.read = int(loaded.size());
  found.damaged = !fields_ok || found.read < count || beyond;
  if (check) *check = found;
  rooms = std::move(loaded);
  return true;
}

std::string room_file_notice(const RoomFileCheck& check) {
  if (check.read_only)
    return "The room file rooms.sdb cannot be opened: it or the program folder is read-only; "
           "no rooms were loaded.";
  char text[160];
  if (check.declared > 0)
    std::snprintf(text, sizeof text, "The room file rooms.sdb is damaged: %d of %d rooms could be read.",
                  check.read, check.declared);
  else
    std::snprintf(text, sizeof text, "The room file rooms.sdb is damaged: %d rooms could be read.",
                  check.read);
  return text;
}

bool list_room_rows(const std::string& program_folder, std::vector<RoomRow>& rows) {
  RecordFile file;
  if (!file.open(room_path(program_folder))) return false;
  const int count = std::max(file.record_count(), 0);
  const int id = file.field_index("id");
  const int guest = file.field_index("guest");
  const int admin_only = file.field_index("admin_only");
  std::vector<RoomRow> listed;
  bool more = count > 0 && file.move_first(0);
  while (more && int(listed.size()) < count) {
    RoomRow r;
    r.id = read_int(file, id);
    r.name = file.get_field_text("name");
    r.admin = file.get_field_text("admin");
    r.guest = read_int(file, guest) == 1;
    r.admin_only = read_int(file, admin_only) == 1;
    listed.push_back(std::move(r));
    more = file.move_next(0);
  }
  (void)file.close();  // read only: nothing to lose
  rows = std::move(listed);
  return true;
}

bool room_text_limits(const std::string& program_folder, RoomTextLimits& limits) {
  RecordFile file;
  if (!file.open(room_path(program_folder))) return false;
  auto width = [&](const char* field, int most) {
    const int f = file.field_index(field);
    const int size = f < 0 ? most : file.field_size(f);
    return std::max(0, std::min(size, most));
  };
  limits.name = width("name", int(sizeof RoomInfo::name) - 1);
  limits.admin = width("admin", int(sizeof RoomInfo::admin) - 1);
  (void)file.close();  // read only: nothing to lose
  return true;
}

bool add_room(const std::string& program_folder, const RoomValues& values, int& id) {
  RecordFile file;
  if (!file.open(room_path(program_folder))) return false;
  const bool added = set_room_fields(file, values) && file.insert_record();
  if (added) id = file.last_id();
  // The room stands in the file only once the close wrote it back.
  const bool closed = file.close();
  return added && closed;
}

bool update_room(const std::string& program_folder, int id, const RoomValues& values) {
  RecordFile file;
  if (!file.open(room_path(program_folder))) return false;
  const int32_t key = id;
  const bool updated =
      file.seek_key(0, &key) && set_room_fields(file, values) && file.update_record();
  const bool closed = file.close();
  return updated && closed;
}

bool delete_room(const std::string& program_folder, int id, bool& deleted) {
  deleted = false;
  RecordFile file;
  if (!file.open(room_path(program_folder))) return false;
  const int32_t key = id;
  deleted = file.seek_key(0, &key) && file.delete_record();
  // A deletion that could not be written back did not happen on the disk.
  const bool closed = file.close();
  if (!closed) deleted = false;
  return closed;
}

}  // namespace tvl
