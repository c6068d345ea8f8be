// RoomRecords: where the rooms live. A single server keeps them in
// rooms.sdb (FileRoomRecords, storage/room_store.h); servers that share one
// chat keep them in their shared store (cluster/ implements this), so that
// a change made through any server holds on every server. The operator's
// room commands and the window's Rooms page reach the rooms only through
// this interface.
//
// The operations mean what the functions of storage/room_store.h of the
// same name mean: rooms are numbered 1, 2, ... in the order of their ids,
// and a change is made whole or not at all.
// Thread safety: any thread at once; reload() takes the chat lock.
#pragma once
#include <string>
#include <vector>

#include "chat/chat_state.h"
#include "platform/reason.h"
#include "storage/room_store.h"

namespace tvl {

class RoomRecords {
 public:
  virtual ~RoomRecords() = default;
  // Every room in order. False when the rooms cannot be read (rows untouched).
  [[nodiscard]] virtual bool list(std::vector<RoomRow>& rows) = 0;
  [[nodiscard]] virtual bool add(const RoomValues& values, int& id, Reason& why) = 0;
  // False with `why` empty when no room has that id.
  [[nodiscard]] virtual bool update(int id, const RoomValues& values, Reason& why) = 0;
  [[nodiscard]] virtual bool remove(int id, bool& deleted, Reason& why) = 0;
  // The chat takes the rooms again (after a change). A notice for the
  // operator's log when they could not all be read, else empty.
  virtual std::string reload(ChatState& state) = 0;
};

// The rooms of one server: rooms.sdb in `program_folder`, of which it
// keeps a reference (the site's program folder outlives it).
class FileRoomRecords final : public RoomRecords {
 public:
  explicit FileRoomRecords(const std::string& program_folder) : folder_(program_folder) {}
  bool list(std::vector<RoomRow>& rows) override { return list_room_rows(folder_, rows); }
  bool add(const RoomValues& values, int& id, Reason& why) override {
    return add_room(folder_, values, id, why);
  }
  bool update(int id, const RoomValues& values, Reason& why) override {
    return update_room(folder_, id, values, why);
  }
  bool remove(int id, bool& deleted, Reason& why) override {
    return delete_room(folder_, id, deleted, why);
  }
  std::string reload(ChatState& state) override { return load_rooms(folder_, state); }

 private:
  const std::string& folder_;
};

}  // namespace tvl
