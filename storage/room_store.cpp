#include "storage/room_store.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "storage/record_file.h"

namespace tvl {

namespace {
// Copies a text field of the current record into dst (cap bytes, the last
// one forced to zero). The field's declared width may differ from cap.
void copy_text(RecordFile& f, int field, char* dst, std::size_t cap) {
  std::memset(dst, 0, cap);
  if (field < 0) return;
  std::vector<char> buf(std::max<std::size_t>(std::size_t(f.field_size(field)), 8) + 1, 0);
  if (!f.get_field(buf.data(), field)) return;
  std::size_t n = std::min<std::size_t>(std::size_t(f.field_size(field)), cap - 1);
  std::memcpy(dst, buf.data(), n);
  dst[cap - 1] = 0;
}

// An integer field read into a zeroed 32-bit integer; set when non-zero.
bool read_flag(RecordFile& f, int field) {
  if (field < 0) return false;
  std::vector<uint8_t> buf(std::max<std::size_t>(std::size_t(f.field_size(field)), 8), 0);
  if (!f.get_field(buf.data(), field)) return false;
  int32_t v;
  std::memcpy(&v, buf.data(), 4);
  return v != 0;
}
}  // namespace

bool read_rooms(const std::string& program_folder, std::vector<RoomInfo>& rooms) {
  RecordFile file;
  if (!file.open(program_folder + "rooms.sdb")) return false;
  int count = std::max(file.record_count(), 0);
  int name = file.field_index("name");
  int admin = file.field_index("admin");
  int guest = file.field_index("guest");
  int admin_only = file.field_index("admin_only");
  std::vector<RoomInfo> loaded;
  bool more = count > 0 && file.move_first(0);
  // The walk stops at the stored count: a damaged key cannot make it longer.
  while (more && int(loaded.size()) < count) {
    RoomInfo r;
    copy_text(file, name, r.name, sizeof r.name);
    copy_text(file, admin, r.admin, sizeof r.admin);
    r.guest = read_flag(file, guest);
    r.admin_only = read_flag(file, admin_only);
    loaded.push_back(r);
    more = file.move_next(0);
  }
  file.close();
  rooms = std::move(loaded);
  return true;
}

}  // namespace tvl
