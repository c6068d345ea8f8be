// Opening and walking a record file of any content: every key forwards and
// backwards with its fields read, a seek, the room loading, and (for inputs
// whose last byte is odd) an insert and a delete on what was opened.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "storage/record_file.h"
#include "storage/room_store.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Reads every field of the current record.
void read_fields(tvl::RecordFile& file) {
  std::vector<char> buffer;
  for (int f = 0; f < file.field_count(); ++f) {
    const int width = file.field_size(f);
    if (width < 0 || width > 1 << 16) continue;
    buffer.assign(static_cast<std::size_t>(width) + 16, 0);
    file.get_field(buffer.data(), f);
    file.get_field_text(f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const std::string folder = tvl::fuzz::scratch_folder();
  static const std::string path = folder + "rooms.sdb";
  tvl::fuzz::write_file(path, std::string(reinterpret_cast<const char*>(data), size));

  {
    tvl::RecordFile file;
    if (file.open(path)) {
      // A walk never yields more than the file could hold; the bound only
      // keeps a broken walk from hiding as a slow input.
      const int limit = 1 << 16;
      for (int key = 0; key < 10; ++key) {
        int n = 0;
        for (bool more = file.move_first(key); more && n < limit; more = file.move_next(key), ++n)
          read_fields(file);
        if (file.move_last(key)) read_fields(file);
        // A key value is as wide as the key (at most the widest field).
        static const std::vector<char> probe = [] {
          std::vector<char> v(1 << 17, 0);
          v[0] = 1;
          return v;
        }();
        if (file.seek_key(key, probe.data())) read_fields(file);
      }
      if (size > 0 && (data[size - 1] & 1)) {
        file.set_field_text("fuzz", "name");
        std::vector<char> id(1 << 17, 0);
        id[0] = static_cast<char>(data[0]);
        if (file.insert_record() && file.seek_key(0, id.data())) file.delete_record();
        if (file.move_first(0)) file.update_record();
      }
      (void)file.close();  // a damaged file may fail to close cleanly; that is allowed
    }
  }

  std::vector<tvl::RoomInfo> rooms;
  tvl::RoomFileCheck check;
  if (tvl::read_rooms(folder, rooms, &check) && check.read != static_cast<int>(rooms.size()))
    std::abort();
  return 0;
}
