#include "storage/room_store.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/fs.h"
#include "storage/record_file.h"
#include "storage/record_file_create.h"

namespace tvl {

RecordSchema room_file_schema() {
  RecordSchema schema;
  schema.fields = {{"id", FT_AUTOINC, 0},
                   {"name", FT_STRING, 64},
                   {"admin", FT_STRING, 128},
                   {"guest", FT_INT, 0},
                   {"admin_only", FT_INT, 0}};
  RecordKeySpec key;
  key.segments = {RecordSegmentSpec{}};
  schema.keys = {key};
  return schema;
}

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
  found.path = path;
  RecordFile file;
  if (!file.open(path)) {
    // A missing file means no rooms; anything else that stands there but
    // cannot be opened (a folder too) is damage, or a lock held too long.
    const LockedOpen status = file.open_status();
    found.damaged = status != LockedOpen::Missing && status != LockedOpen::Busy;
    found.busy = status == LockedOpen::Busy;
    found.reason = room_open_failure(status, path);
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
  file.abandon();  // read only: nothing to write
  found.declared = count;
  found.read = int(loaded.size());
  found.damaged = !fields_ok || found.read < count || beyond;
  if (check) *check = found;
  rooms = std::move(loaded);
  return true;
}

std::string room_file_notice(const RoomFileCheck& check) {
  if (check.busy || (check.damaged && check.declared == 0 && check.read == 0 && !check.reason.empty()))
    return "The room file cannot be read: " + check.reason + "; no rooms were loaded.";
  const std::string name = check.path.empty() ? "rooms.sdb" : check.path;
  char text[80];
  if (check.declared > 0)
    std::snprintf(text, sizeof text, "%d of %d rooms could be read.", check.read, check.declared);
  else
    std::snprintf(text, sizeof text, "%d rooms could be read.", check.read);
  return "The room file " + name + " is damaged: " + text;
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
  file.abandon();  // read only: nothing to write
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
  file.abandon();  // read only: nothing to write
  return true;
}

namespace {
// Opens the room file for a change; false (why set) when it cannot be.
bool open_for_change(RecordFile& file, const std::string& program_folder, Reason& why) {
  if (file.open(room_path(program_folder))) return true;
  return why.fail(room_open_failure(file.open_status(), room_path(program_folder)));
}

// Ends a change: replaces the file when the change was made, else leaves it
// as it was. False (why set) when the change was not made or could not be
// written.
bool finish_change(RecordFile& file, bool made, const char* refusal, Reason& why) {
  if (!made) {
    file.abandon();
    return why.fail(refusal);
  }
  if (file.close()) return true;
  return why.fail("the room file could not be written (" + file.last_error() + "); it is unchanged");
}
}  // namespace

std::string room_open_failure(LockedOpen status, const std::string& path) {
  switch (status) {
    case LockedOpen::Missing:
      return "the room file " + path + " does not exist";
    case LockedOpen::NotAFile:
      return path + " is not a file (damaged: a folder or other object stands in its place)";
    case LockedOpen::Busy:
      return "the room file " + path + " is locked by another program; try again";
    case LockedOpen::Opened:
      return "the room file " + path + " is damaged (its header cannot be read)";
    case LockedOpen::Failed:
      break;
  }
  return "the room file " + path + " cannot be opened (permissions?)";
}

bool add_room(const std::string& program_folder, const RoomValues& values, int& id, Reason& why) {
  RecordFile file;
  if (!open_for_change(file, program_folder, why)) return false;
  const bool added = set_room_fields(file, values) && file.insert_record();
  const int new_id = added ? file.last_id() : 0;
  if (!finish_change(file, added, "the room could not be added (the room file may be damaged)", why))
    return false;
  id = new_id;
  return true;
}

bool update_room(const std::string& program_folder, int id, const RoomValues& values, Reason& why) {
  RecordFile file;
  if (!open_for_change(file, program_folder, why)) return false;
  const int32_t key = id;
  if (!file.seek_key(0, &key)) {
    // Deleted meanwhile: nothing to change, and nothing went wrong.
    why.text.clear();
    file.abandon();
    return false;
  }
  const bool updated = set_room_fields(file, values) && file.update_record();
  return finish_change(file, updated, "the room could not be changed (the room file may be damaged)",
                       why);
}

bool delete_room(const std::string& program_folder, int id, bool& deleted, Reason& why) {
  deleted = false;
  RecordFile file;
  if (!open_for_change(file, program_folder, why)) return false;
  const int32_t key = id;
  if (!file.seek_key(0, &key)) {
    file.abandon();  // nothing to delete: the file stays as it is
    return true;
  }
  if (!finish_change(file, file.delete_record(), "the room could not be deleted", why)) return false;
  deleted = true;
  return true;
}

}  // namespace tvl
