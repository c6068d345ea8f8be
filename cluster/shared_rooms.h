// SharedRooms: the rooms of a chat that several servers share, kept in
// Redis, so that a room added, changed or deleted through any server holds
// on every server. Each change is one Lua script (one step for Redis) that
// also counts the rooms' version up; a watcher thread of each server reads
// the version every `watch_ms` and, when it moved, gives the chat the
// rooms again (ChatState::replace_rooms), so every server has a change
// within about a second; the server that made it has it at once.
//
// Keys:
//   key                  type        holds
//   tvl:room:<id>        hash        "name", "admin", "guest" ("1"/"0"),
//                                    "admin_only" ("1"/"0")
//   tvl:rooms            sorted set  the ids, scored by id: the rooms' order
//   tvl:room-id          string      the last id handed out (INCR)
//   tvl:rooms-version    string      counted up by every change
// Without tvl:rooms (a cluster whose rooms were never imported) the
// servers keep the rooms of their own rooms.sdb, and changes go to Redis
// all the same.
//
// Redis away: reads and changes fail with a reason; the chat keeps the
// rooms it has.
// Thread safety: any thread at once; start() and stop() on the owner's.
#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "chat/room_records.h"
#include "cluster/redis_pool.h"
#include "platform/lock_annotations.h"

namespace tvl {

class SharedRooms final : public RoomRecords {
 public:
  SharedRooms(std::shared_ptr<RedisPool> pool, ChatState& state, int watch_ms = 1000);
  ~SharedRooms() override;  // stop()
  bool list(std::vector<RoomRow>& rows) override;
  bool add(const RoomValues& values, int& id, Reason& why) override;
  bool update(int id, const RoomValues& values, Reason& why) override;
  bool remove(int id, bool& deleted, Reason& why) override;
  std::string reload(ChatState& state) override;

  // Called after each change made through this store, once it is in
  // Redis, on the thread that made it. Set before start().
  void set_changed(std::function<void()> changed) { changed_ = std::move(changed); }

  // Takes the cluster's rooms when it has any, then starts the watcher.
  void start();
  void stop();

 private:
  // The rooms and the version they are of; false when Redis failed or the
  // cluster has no rooms.
  bool read(std::vector<RoomRow>& rows, long long& version, Reason& why);
  void watch_loop();
  std::shared_ptr<RedisPool> pool_;
  ChatState& state_;
  std::function<void()> changed_;
  const int watch_ms_;
  std::atomic<long long> version_{-1};  // of the rooms the chat has
  Mutex stop_lock_;
  CondVar stop_wake_;
  bool stopping_ GUARDED_BY(stop_lock_) = false;
  std::thread watcher_;
};

// Import: the rooms of <program_folder>rooms.sdb into a cluster that has
// none yet (ids and order kept); a cluster with rooms keeps them
// (`kept` true). Export: the cluster's rooms into a new rooms.sdb, made
// beside it and moved over it in one step. False with `why` when the file
// or Redis fails; nothing changed then.
[[nodiscard]] bool import_rooms(RedisPool& pool, const std::string& program_folder, int& moved,
                                bool& kept, Reason& why);
[[nodiscard]] bool export_rooms(RedisPool& pool, const std::string& program_folder, int& moved,
                                Reason& why);

}  // namespace tvl
