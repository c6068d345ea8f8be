#include "cluster/shared_rooms.h"

#include <cstdint>
#include <cstring>
#include <cstdlib>

#include "platform/fs.h"
#include "storage/record_file.h"
#include "storage/record_file_create.h"

namespace tvl {

namespace {

const char kRooms[] = "tvl:rooms";
const char kRoomId[] = "tvl:room-id";
const char kVersion[] = "tvl:rooms-version";
const char kNoRooms[] =
    "the cluster holds no rooms yet: move them in first with tvlctl cluster import";

std::string room_key(int id) { return "tvl:room:" + std::to_string(id); }

// KEYS: tvl:rooms, tvl:rooms-version. {version or false, id, name, admin,
// guest, admin_only, id, ...}: every room in order, read in one step.
const char kReadScript[] =
    "local out = {redis.call('GET', KEYS[2])}\n"
    "for _, id in ipairs(redis.call('ZRANGE', KEYS[1], 0, -1)) do\n"
    "  local r = redis.call('HMGET', 'tvl:room:' .. id, 'name', 'admin', 'guest', 'admin_only')\n"
    "  table.insert(out, id)\n"
    "  for i = 1, 4 do table.insert(out, r[i] or '') end\n"
    "end\n"
    "return out\n";

// KEYS: tvl:rooms, tvl:room-id, tvl:rooms-version. ARGV: the four values.
// The new id; -1 when the cluster holds no rooms.
const char kAddScript[] =
    "if redis.call('EXISTS', KEYS[3]) == 0 then return -1 end\n"
    "local id = redis.call('INCR', KEYS[2])\n"
    "redis.call('HSET', 'tvl:room:' .. id, 'name', ARGV[1], 'admin', ARGV[2], 'guest', ARGV[3],\n"
    "           'admin_only', ARGV[4])\n"
    "redis.call('ZADD', KEYS[1], id, id)\n"
    "redis.call('INCR', KEYS[3])\n"
    "return id\n";

// KEYS: the room, tvl:rooms-version. ARGV: the four values. 1 changed, 0
// no such room, -1 no rooms.
const char kUpdateScript[] =
    "if redis.call('EXISTS', KEYS[2]) == 0 then return -1 end\n"
    "if redis.call('EXISTS', KEYS[1]) == 0 then return 0 end\n"
    "redis.call('HSET', KEYS[1], 'name', ARGV[1], 'admin', ARGV[2], 'guest', ARGV[3],\n"
    "           'admin_only', ARGV[4])\n"
    "redis.call('INCR', KEYS[2])\n"
    "return 1\n";

// KEYS: the room, tvl:rooms, tvl:rooms-version. ARGV: the id. As above.
const char kDeleteScript[] =
    "if redis.call('EXISTS', KEYS[3]) == 0 then return -1 end\n"
    "if redis.call('EXISTS', KEYS[1]) == 0 then return 0 end\n"
    "redis.call('DEL', KEYS[1])\n"
    "redis.call('ZREM', KEYS[2], ARGV[1])\n"
    "redis.call('INCR', KEYS[3])\n"
    "return 1\n";

// KEYS: tvl:rooms, tvl:room-id, tvl:rooms-version. ARGV: the highest id,
// then id, name, admin, guest, admin_only per room. 1 moved in, 0 the
// cluster holds rooms already (nothing changed).
const char kImportScript[] =
    "if redis.call('EXISTS', KEYS[3]) == 1 then return 0 end\n"
    "for i = 2, #ARGV, 5 do\n"
    "  redis.call('HSET', 'tvl:room:' .. ARGV[i], 'name', ARGV[i + 1], 'admin', ARGV[i + 2],\n"
    "             'guest', ARGV[i + 3], 'admin_only', ARGV[i + 4])\n"
    "  redis.call('ZADD', KEYS[1], ARGV[i], ARGV[i])\n"
    "end\n"
    "redis.call('SET', KEYS[2], ARGV[1])\n"
    "redis.call('SET', KEYS[3], 1)\n"
    "return 1\n";


std::vector<std::string> value_args(const RoomValues& v) {
  return {v.name, v.admin, v.guest ? "1" : "0", v.admin_only ? "1" : "0"};
}

RoomInfo info_of(const RoomRow& row) {
  RoomInfo r;
  std::strncpy(r.name, row.name.c_str(), sizeof r.name - 1);
  std::strncpy(r.admin, row.admin.c_str(), sizeof r.admin - 1);
  r.guest = row.guest;
  r.admin_only = row.admin_only;
  return r;
}

// The rows of kReadScript's answer; false when the cluster holds no rooms.
bool rows_of(const RedisReply& reply, std::vector<RoomRow>& rows, long long& version) {
  if (reply.items.empty() || reply.items[0].is_nil()) return false;
  version = std::atoll(reply.items[0].text.c_str());
  rows.clear();
  for (std::size_t i = 1; i + 4 < reply.items.size(); i += 5) {
    RoomRow row;
    row.id = std::atoi(reply.items[i].text.c_str());
    row.name = reply.items[i + 1].text;
    row.admin = reply.items[i + 2].text;
    row.guest = reply.items[i + 3].text == "1";
    row.admin_only = reply.items[i + 4].text == "1";
    rows.push_back(std::move(row));
  }
  return true;
}

bool read_cluster_rooms(RedisPool& pool, std::vector<RoomRow>& rows, long long& version,
                        Reason& why) {
  RedisReply reply;
  if (!pool.command(eval_command(kReadScript, {kRooms, kVersion}, {}), reply, why)) return false;
  if (!rows_of(reply, rows, version)) return why.fail(kNoRooms);
  return true;
}

}  // namespace

SharedRooms::SharedRooms(std::shared_ptr<RedisPool> pool, ChatState& state, int watch_ms)
    : pool_(std::move(pool)), state_(state), watch_ms_(watch_ms) {}

SharedRooms::~SharedRooms() { stop(); }

bool SharedRooms::read(std::vector<RoomRow>& rows, long long& version, Reason& why) {
  return read_cluster_rooms(*pool_, rows, version, why);
}

bool SharedRooms::list(std::vector<RoomRow>& rows) {
  long long version = 0;
  Reason why;
  return read(rows, version, why);
}

bool SharedRooms::add(const RoomValues& values, int& id, Reason& why) {
  RedisReply reply;
  if (!pool_->command(eval_command(kAddScript, {kRooms, kRoomId, kVersion}, value_args(values)), reply,
                      why))
    return false;
  if (reply.integer < 0) return why.fail(kNoRooms);
  id = static_cast<int>(reply.integer);
  if (changed_) changed_();
  return true;
}

bool SharedRooms::update(int id, const RoomValues& values, Reason& why) {
  RedisReply reply;
  if (!pool_->command(eval_command(kUpdateScript, {room_key(id), kVersion}, value_args(values)), reply,
                      why))
    return false;
  if (reply.integer < 0) return why.fail(kNoRooms);
  if (reply.integer == 1 && changed_) changed_();
  return reply.integer == 1;  // 0: deleted meanwhile, `why` left empty
}

bool SharedRooms::remove(int id, bool& deleted, Reason& why) {
  RedisReply reply;
  if (!pool_->command(
          eval_command(kDeleteScript, {room_key(id), kRooms, kVersion}, {std::to_string(id)}), reply,
          why))
    return false;
  if (reply.integer < 0) return why.fail(kNoRooms);
  deleted = reply.integer == 1;
  if (deleted && changed_) changed_();
  return true;
}

std::string SharedRooms::reload(ChatState& state) {
  std::vector<RoomRow> rows;
  long long version = 0;
  Reason why;
  if (!read(rows, version, why)) return std::string();  // the chat keeps the rooms it has
  std::vector<RoomInfo> rooms;
  for (const RoomRow& row : rows) rooms.push_back(info_of(row));
  state.replace_rooms(std::move(rooms));
  version_.store(version);
  return std::string();
}

void SharedRooms::start() {
  if (watcher_.joinable()) return;
  (void)reload(state_);
  {
    MutexLock hold(stop_lock_);
    stopping_ = false;
  }
  watcher_ = std::thread([this] { watch_loop(); });
}

void SharedRooms::stop() {
  {
    MutexLock hold(stop_lock_);
    stopping_ = true;
    stop_wake_.notify_all();
  }
  if (watcher_.joinable()) watcher_.join();
}

void SharedRooms::watch_loop() {
  for (;;) {
    {
      MutexLock hold(stop_lock_);
      const auto until = CondVar::Clock::now() + std::chrono::milliseconds(watch_ms_);
      while (!stopping_ && stop_wake_.wait_until(stop_lock_, until)) {
      }
      if (stopping_) return;
    }
    RedisReply reply;
    Reason why;
    // Redis away: tried again next round; the node reports it.
    if (!pool_->command({"GET", kVersion}, reply, why) || reply.is_nil()) continue;
    if (std::atoll(reply.text.c_str()) != version_.load()) (void)reload(state_);
  }
}

bool import_rooms(RedisPool& pool, const std::string& program_folder, int& moved, bool& kept,
                  Reason& why) {
  std::vector<RoomRow> rows;
  if (!list_room_rows(program_folder, rows))
    return why.fail("the room file " + program_folder + "rooms.sdb cannot be opened");
  int highest = 0;
  std::vector<std::string> args = {""};
  for (const RoomRow& r : rows) {
    highest = std::max(highest, r.id);
    args.insert(args.end(), {std::to_string(r.id), r.name, r.admin, r.guest ? "1" : "0",
                             r.admin_only ? "1" : "0"});
  }
  args[0] = std::to_string(highest);
  RedisReply reply;
  if (!pool.command(eval_command(kImportScript, {kRooms, kRoomId, kVersion}, args), reply, why))
    return false;
  kept = reply.integer == 0;
  moved = kept ? 0 : static_cast<int>(rows.size());
  return true;
}

bool export_rooms(RedisPool& pool, const std::string& program_folder, int& moved, Reason& why) {
  std::vector<RoomRow> rows;
  long long version = 0;
  if (!read_cluster_rooms(pool, rows, version, why)) return false;
  // The file the single server reads (site/'s room list makes the same).
  const RecordSchema schema = room_file_schema();
  const std::string path = program_folder + "rooms.sdb";
  const std::string fresh = path + ".export";
  (void)delete_file(fresh);  // a leftover of an export cut short; not reported
  if (!create_record_file(fresh, schema, why)) return false;
  bool written = false;
  {
    RecordFile file;
    written = file.open(fresh);
    for (const RoomRow& r : rows) {
      const RoomInfo info = info_of(r);
      const int32_t guest = r.guest, admin_only = r.admin_only;
      written = written && file.set_field_text(info.name, "name") &&
                file.set_field_text(info.admin, "admin") && file.set_field(&guest, "guest") &&
                file.set_field(&admin_only, "admin_only") && file.insert_record();
    }
    written = file.close() && written;
  }
  if (!written || !rename_file(fresh, path)) {
    (void)delete_file(fresh);  // not reported: the old rooms.sdb stays as it was
    return why.fail("could not write " + path);
  }
  moved = static_cast<int>(rows.size());
  return true;
}

}  // namespace tvl
