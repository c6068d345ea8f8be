// ClusterNode's reader: the thread that follows every room's stream and
// applies its entries (lines, place changes, bans) to the local chat, and
// the rejoin that reads the cluster's table and epoch when it starts or
// Redis lost them.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "chat/board_line.h"
#include "chat/place_key.h"
#include "cluster/cluster_node.h"

namespace tvl {

namespace {

using Clock = std::chrono::steady_clock;

// Entries one XREAD takes per stream: a burst of lines is applied in a few
// turns of the chat lock rather than one long one.
constexpr int kReadCount = 100;

// The room number (1..) of each stream key of `rooms`; the first room of a
// name wins (a room list should not repeat one).
std::map<std::string, int> stream_rooms(const std::vector<RoomInfo>& rooms) {
  std::map<std::string, int> keys;
  for (std::size_t i = 0; i < rooms.size(); ++i)
    keys.emplace(room_stream_key(rooms[i].name), static_cast<int>(i) + 1);
  return keys;
}

// The fields of `place` over those of `u` (an entry of another server).
void take_fields(OnlineUser& u, const SharedPlace& place, int room, long long now_ms) {
  copy_field(u.name, place.name);
  copy_field(u.icon, place.icon);
  // A key this server handed out stays only while the place is still
  // proven by it (a take-over elsewhere gave the place a new one).
  if (!u.key.empty() && key_digest(u.key) != place.digest) u.key.clear();
  u.key_digest = place.digest;
  u.room = room;
  u.member = place.member;
  u.place_id = place.id;
  u.name_fold = place.name_fold;
  u.skeleton = place.skeleton;
  u.online_since = place.online_since;
  u.active = place.active;
  u.split = place.split;
  u.ban_ends_ms = !place.active && place.ban_left_ms ? now_ms + place.ban_left_ms : 0;
}

bool parse_epoch(const RedisReply& r, unsigned& epoch) {
  unsigned long long v = 0;
  const std::string& t = r.text;
  if (r.kind != RedisReply::Kind::String || t.empty() || t.size() > 10 ||
      t.find_first_not_of("0123456789") != std::string::npos)
    return false;
  v = std::stoull(t);
  if (v > 0xffffffffULL) return false;
  epoch = static_cast<unsigned>(v);
  return true;
}

}  // namespace

void ClusterNode::read_loop() {
  RedisLink link(options_.address, options_.password, options_.timeout_ms + options_.block_ms);
  // Where each room's stream was read up to. A stream first seen is read
  // from its start: its kept entries fill the new ring with the recent
  // lines, and nothing posted before this reader's first read is missed.
  std::map<std::string, StreamId> read_to;
  // Entries of places up to these ids are in the table read from Redis.
  std::map<std::string, StreamId> table_from;
  bool joined = false;  // rejoin() done on this connection
  int backoff_ms = 100;
  while (!stopping()) {
    const std::shared_ptr<const std::vector<RoomInfo>> rooms = state_.rooms();
    const std::map<std::string, int> keys = stream_rooms(*rooms);
    if (keys.empty()) {
      if (pause(options_.block_ms)) break;
      continue;
    }
    RedisReply reply;
    const Clock::time_point began = Clock::now();
    Reason why;
    if (rejoin_wanted_.exchange(false)) joined = false;
    bool ok = joined || rejoin(link, table_from, why);
    if (ok && !joined) {
      joined = true;
      note(true, std::string(), began);
      continue;  // the rooms may have changed meanwhile
    }
    if (ok) {
      std::vector<std::string> argv = {"XREAD", "COUNT", std::to_string(kReadCount), "BLOCK",
                                        std::to_string(options_.block_ms), "STREAMS"};
      for (const auto& k : keys) argv.push_back(k.first);
      for (const auto& k : keys) {
        const auto at = read_to.find(k.first);
        argv.push_back(at == read_to.end() ? std::string("0-0") : at->second.text());
      }
      ok = link.command(argv, reply) && !reply.is_error();
      if (!ok)
        why.text = reply.is_error() ? "Redis at " + options_.address.text() + ": " + reply.text
                                    : link.why();
    }
    if (!ok) {
      note(false, why.text, began);
      link.close();
      joined = false;  // Redis may come back empty: what it lost is given back
      if (pause(backoff_ms)) break;
      backoff_ms = std::min(backoff_ms * 2, 1000);
      continue;
    }
    backoff_ms = 100;
    note(true, std::string(), began);
    if (reply.kind == RedisReply::Kind::Array) apply(reply, read_to, table_from);
  }
}

bool ClusterNode::rejoin(RedisLink& link, std::map<std::string, StreamId>& table_from,
                         Reason& why) {
  std::vector<std::pair<std::string, int>> held;
  std::vector<SharedPlace> places;
  std::vector<std::pair<std::string, SharedBan>> bans;
  unsigned epoch = 0;
  const long long now = now_ms();
  if (bans_) {
    // Given back to a Redis that lost them (a field holds folds already).
    for (const RoomBans::Held& b : bans_->held(now)) {
      SharedBan ban;
      ban.name = b.name_fold;
      ban.address = b.address;
      if (b.ends_ms != 0) ban.left_ms = std::max(1LL, b.ends_ms - now);
      bans.emplace_back(b.room_fold + "\n" + b.name_fold, std::move(ban));
    }
  }
  {
    ChatState::Hold chat(state_);
    epoch = state_.rings_epoch();
    for (int room = 1; room <= state_.room_count_locked(); ++room)
      held.emplace_back(state_.room_locked(room).name, state_.ring(room).seq);
    for (int i = 0; i < state_.online_count(); ++i) {
      const OnlineUser& u = state_.user(i);
      if (u.room >= 1 && u.room <= state_.room_count_locked())
        places.push_back(
            shared_place(u, state_.room_locked(u.room).name, state_.join_address(i), now));
    }
  }
  RedisReply reply;
  if (!link.command(rejoin_command(epoch, held, places, bans), reply)) return why.fail(link.why());
  unsigned cluster_epoch = 0;
  if (reply.kind != RedisReply::Kind::Array || reply.items.size() != 4 + held.size() ||
      !parse_epoch(reply.items[0], cluster_epoch)) {
    return why.fail("Redis at " + options_.address.text() + ": " +
                    (reply.is_error() ? reply.text : std::string("an answer out of place")));
  }
  // An emptied Redis lost the presence stamps too: the next round stamps
  // every place served here (at the first contact a Redis without an epoch
  // is a new one, which lost nothing).
  if (reply.items[1].integer == 1 && snapshot_taken_) restamp_.store(true);
  ChatState::Hold chat(state_);
  state_.set_shared_epoch(cluster_epoch);
  if (snapshot_taken_) return true;
  // The first contact: who is online in the whole chat.
  snapshot_taken_ = true;
  std::map<std::string, int> rooms;
  for (int room = 1; room <= state_.room_count_locked(); ++room)
    rooms.emplace(state_.room_locked(room).name, room);
  const std::vector<RedisReply>& flat = reply.items[2].items;
  for (std::size_t i = 0; i + 1 < flat.size(); i += 2) {
    SharedPlace p;
    if (!read_place_record(flat[i + 1].text, p)) continue;
    const auto room = rooms.find(p.room_name);
    if (room == rooms.end() || state_.find_place(p.id)) continue;
    OnlineUser u;
    take_fields(u, p, room->second, now);
    (void)state_.add_user(u, p.address, true);
  }
  for (std::size_t k = 0; k < held.size(); ++k) {
    StreamId id;
    if (parse_stream_id(reply.items[3 + k].text, id))
      table_from[room_stream_key(held[k].first)] = id;
  }
  // And the room bans that hold: field "<room fold>\n<name fold>", time
  // left, join address.
  const std::vector<RedisReply>& banned = reply.items[3 + held.size()].items;
  for (std::size_t i = 0; bans_ && i + 2 < banned.size(); i += 3) {
    const std::string& field = banned[i].text;
    const std::size_t cut = field.find('\n');
    const long long left = std::atoll(banned[i + 1].text.c_str());
    if (cut == std::string::npos || left < 0) continue;
    bans_->ban(field.substr(0, cut), field.substr(cut + 1), banned[i + 2].text,
               left ? now + left : 0);
  }
  return true;
}

void ClusterNode::apply(const RedisReply& streams, std::map<std::string, StreamId>& read_to,
                        const std::map<std::string, StreamId>& table_from) {
  {
    ChatState::Hold chat(state_);
    const long long now = now_ms();
    // Rooms are looked up under the chat lock: the rings are those of the
    // room table published last.
    std::map<std::string, int> keys;
    for (int room = 1; room <= state_.room_count_locked(); ++room)
      keys.emplace(room_stream_key(state_.room_locked(room).name), room);
    for (const RedisReply& stream : streams.items) {
      if (stream.items.size() != 2) continue;
      const std::string& key = stream.items[0].text;
      const auto room = keys.find(key);
      const auto from = table_from.find(key);
      for (const RedisReply& entry : stream.items[1].items) {
        if (entry.items.size() != 2) continue;
        StreamId id;
        if (!parse_stream_id(entry.items[0].text, id)) continue;
        read_to[key] = id;
        std::vector<std::string> fields;
        for (const RedisReply& f : entry.items[1].items) fields.push_back(f.text);
        StreamEntry e;
        if (room == keys.end() || !read_stream_entry(fields, e)) continue;
        const int r = room->second;
        const bool own = e.node == tag_;
        if (e.kind == "l") {
          const bool private_line = is_private_line(e.line.text);
          unsigned long long addressee = 0;
          if (private_line) {
            if (const std::optional<int> at = state_.find_online_user(r, e.line.to_whom))
              addressee = state_.user(*at).place_id;
          }
          const LocalPlaces places = local_places(e.line, own, private_line, addressee);
          (void)state_.push_message_at(r, e.seq, e.line.text, e.line.to_whom, places.to_place,
                                       places.from_place);
          continue;
        }
        // A room ban: recorded here as where it was set; the bans read at
        // the start hold those up to the ids read then.
        if (e.kind == "b" || e.kind == "r") {
          if (!own && bans_ && (from == table_from.end() || from->second < id)) {
            if (e.kind == "r")
              (void)bans_->unban(state_.room_locked(r).name, e.ban.name);
            else
              bans_->ban(state_.room_locked(r).name, e.ban.name, e.ban.address,
                         e.ban.left_ms ? now + e.ban.left_ms : 0);
          }
          continue;
        }
        // A change of a place: this server made its own already, and the
        // table read at the start holds those up to its ids.
        if (!own && (from == table_from.end() || from->second < id)) {
          const std::optional<int> at = state_.find_place(e.place.id);
          if (e.kind == "e" && !at) {
            OnlineUser u;
            take_fields(u, e.place, r, now);
            (void)state_.add_user(u, e.place.address, true);
          } else if (e.kind == "x" && at) {
            state_.remove_user(*at);
          } else if (e.kind == "u" && at) {
            take_fields(state_.user(*at), e.place, r, now);
            state_.user(*at).known_online = 0;
          }
        }
        if (e.seq > 0 && !e.line.text.empty())
          (void)state_.push_message_at(r, e.seq, e.line.text, e.line.to_whom);
      }
    }
  }
  {
    MutexLock hold(applied_lock_);
    for (const auto& r : read_to) applied_[r.first] = r.second;
  }
  applied_changed_.notify_all();
}

}  // namespace tvl
