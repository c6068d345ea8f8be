#include "cluster/cluster_node.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <ctime>

#include "chat/board_line.h"
#include "platform/random.h"

namespace tvl {

namespace {

using Clock = std::chrono::steady_clock;

// Entries one XREAD takes per stream: a burst of lines is applied in a few
// turns of the chat lock rather than one long one.
constexpr int kReadCount = 100;

// Heartbeats between two renewals of the claims of the online names: well
// inside kNameLifeS, and few commands per visitor.
constexpr int kRenewEveryBeats = 5;

// Claims renewed by one command. The publishing connection is let go
// between two batches, so that a post waits for one batch at most, not for
// the renewal of every name online.
constexpr std::size_t kRenewBatch = 200;

// See ClusterNode::recently_away.
constexpr int kRetryAfterMs = 1000;


// The room number (1..) of each stream key of `rooms`; the first room of a
// name wins (a room list should not repeat one).
std::map<std::string, int> stream_rooms(const std::vector<RoomInfo>& rooms) {
  std::map<std::string, int> keys;
  for (std::size_t i = 0; i < rooms.size(); ++i)
    keys.emplace(room_stream_key(rooms[i].name), static_cast<int>(i) + 1);
  return keys;
}

}  // namespace

ClusterNode::ClusterNode(ChatState& state, Options options, ReportSink report)
    : state_(state),
      options_(std::move(options)),
      report_(std::move(report)),
      publish_link_(options_.address, options_.password, options_.timeout_ms) {}

ClusterNode::~ClusterNode() { stop(); }

void ClusterNode::start() {
  if (started_) return;
  started_ = true;
  stopping_.store(false);
  reader_ = std::thread([this] { read_loop(); });
  heartbeat_ = std::thread([this] { heartbeat_loop(); });
}

void ClusterNode::stop() {
  if (!started_) return;
  {
    MutexLock hold(stop_lock_);
    stopping_.store(true);
  }
  stop_wake_.notify_all();
  {
    MutexLock hold(applied_lock_);
  }
  applied_changed_.notify_all();
  reader_.join();
  heartbeat_.join();
  started_ = false;
  // The node leaves the status list at once rather than when its
  // heartbeat expires; a Redis that is away forgets it by itself.
  // A Redis that fails one of these is not asked the rest: each would wait
  // for its own time-out, and the stop with it. Not reported, by design.
  MutexLock hold(publish_lock_);
  refresh_publish_link();
  RedisReply reply;
  MutexLock claims(claims_lock_);
  bool answering = publish_link_.command({"DEL", node_key(options_.node)}, reply) &&
                   publish_link_.command({"SREM", kNodesKey, options_.node}, reply);
  for (auto claim = claimed_.begin(); answering && claim != claimed_.end(); ++claim)
    answering = publish_link_.command(release_name_command(claim->first, options_.node), reply);
  claimed_.clear();
  publish_link_.close();
}

ClusterNode::RedisState ClusterNode::redis_state() const {
  MutexLock hold(state_lock_);
  return redis_state_;
}

void ClusterNode::note(bool ok, const std::string& why, Clock::time_point began) {
  std::string said;
  {
    MutexLock hold(state_lock_);
    if (ok && redis_state_ != RedisState::Reachable) {
      said = redis_state_ == RedisState::Away
                 ? "Redis at " + options_.address.text() + " is reachable again: node " +
                       options_.node + " shares the chat"
                 : "node " + options_.node + " shares the chat through Redis at " +
                       options_.address.text();
      redis_state_ = RedisState::Reachable;
    }
    if (ok) {
      succeeded_at_ = Clock::now();
    } else {
      // A command that began before the last success failed on the old
      // connection: Redis is back, whatever it says.
      if (began < succeeded_at_) return;
      failed_at_ = Clock::now();
      if (redis_state_ != RedisState::Away) {
        said = why + "; posted lines are refused until it is back";
        away_count_.fetch_add(1);
      }
      redis_state_ = RedisState::Away;
    }
  }
  if (!said.empty() && report_) report_(said);
}

void ClusterNode::refresh_publish_link() {
  const unsigned long long away = away_count_.load();
  if (publish_link_away_count_ == away) return;
  // Redis was away since this connection was last used: it may be one that
  // Redis closed, and a command on it would fail although Redis is back.
  publish_link_.close();
  publish_link_away_count_ = away;
}

bool ClusterNode::recently_away() const {
  MutexLock hold(state_lock_);
  return redis_state_ == RedisState::Away &&
         Clock::now() - failed_at_ < std::chrono::milliseconds(kRetryAfterMs);
}

bool ClusterNode::pause(int ms) {
  MutexLock hold(stop_lock_);
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
  while (!stopping_.load())
    if (!stop_wake_.wait_until(stop_lock_, until)) break;
  return stopping_.load();
}

bool ClusterNode::publish(const SharedLine& line, Reason& why) {
  if (stopping()) return why.fail("this server is leaving the cluster");
  if (recently_away()) return why.fail("Redis at " + options_.address.text() + " is away");
  const std::shared_ptr<const std::vector<RoomInfo>> rooms = state_.rooms();
  if (line.room < 1 || line.room > static_cast<int>(rooms->size()))
    return why.fail("the rooms changed meanwhile");
  const std::string key = room_stream_key((*rooms)[line.room - 1].name);
  const Clock::time_point began = Clock::now();
  RedisReply reply;
  bool sent;
  {
    MutexLock hold(publish_lock_);
    refresh_publish_link();
    sent = publish_link_.command(xadd_command((*rooms)[line.room - 1].name, options_.node, line),
                                 reply);
    if (!sent) why.text = publish_link_.why();
  }
  if (!sent) {
    note(false, why.text, began);
    return false;
  }
  StreamId id;
  if (reply.kind != RedisReply::Kind::String || !parse_stream_id(reply.text, id)) {
    return why.fail("Redis refused the line: " +
                    (reply.is_error() ? reply.text : std::string("no entry id")));
  }
  note(true, std::string(), began);
  // The line is out; the answer waits (bounded) for the reader to bring it
  // into this server's ring, so it is not ahead of the ring.
  MutexLock hold(applied_lock_);
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(options_.applied_wait_ms);
  for (;;) {
    auto at = applied_.find(key);
    if ((at != applied_.end() && !(at->second < id)) || stopping()) break;
    if (!applied_changed_.wait_until(applied_lock_, until)) break;
  }
  return true;
}

NameClaim ClusterNode::claim(const std::string& room_name, const std::string& name_fold) {
  if (stopping() || recently_away()) return NameClaim::Unreachable;
  const std::string wanted = name_claim(room_name, name_fold);
  const Clock::time_point began = Clock::now();
  RedisReply reply;
  bool asked;
  std::string why;
  {
    // The claim is recorded before the publishing connection is let go, so
    // that tend_names never gives up a claim it did not see made.
    MutexLock hold(publish_lock_);
    refresh_publish_link();
    asked = publish_link_.command(claim_name_command(wanted, options_.node), reply);
    if (!asked) why = publish_link_.why();
    if (asked && !reply.is_error() && reply.integer == 1) {
      MutexLock claims(claims_lock_);
      claimed_[wanted] = Clock::now();
    }
  }
  if (!asked || reply.is_error()) {
    note(false, asked ? "Redis at " + options_.address.text() + ": " + reply.text : why, began);
    return NameClaim::Unreachable;
  }
  note(true, std::string(), began);
  return reply.integer == 1 ? NameClaim::Ours : NameClaim::Elsewhere;
}

bool ClusterNode::tend_names(bool renew, Reason& why) {
  std::set<std::string> online;
  {
    ChatState::Hold chat(state_);
    for (int i = 0; i < state_.online_count(); ++i) {
      const OnlineUser& u = state_.user(i);
      // After a reload a place may name no room: it holds no claim.
      if (u.room >= 1 && u.room <= state_.room_count_locked())
        online.insert(name_claim(state_.room_locked(u.room).name, u.name_fold));
    }
  }
  {
    MutexLock hold(publish_lock_);
    refresh_publish_link();
    // A name claimed a moment ago may not be in the online table yet (the
    // entry claims before it takes its place): it is given up only once it
    // stayed away past the grace.
    const Clock::time_point settled =
        Clock::now() - std::chrono::milliseconds(options_.claim_grace_ms);
    std::vector<std::string> gone;
    {
      MutexLock claims(claims_lock_);
      for (const auto& [name, when] : claimed_)
        if (!online.count(name) && when < settled) gone.push_back(name);
    }
    RedisReply reply;
    for (const std::string& name : gone) {
      if (!publish_link_.command(release_name_command(name, options_.node), reply)) {
        return why.fail(publish_link_.why());
      }
      MutexLock claims(claims_lock_);
      claimed_.erase(name);
    }
  }
  if (!renew) return true;
  // Also the names online here whose claims Redis lost (it restarted empty).
  const std::vector<std::string> names(online.begin(), online.end());
  for (std::size_t from = 0; from < names.size(); from += kRenewBatch) {
    const std::vector<std::string> batch(
        names.begin() + static_cast<std::ptrdiff_t>(from),
        names.begin() + static_cast<std::ptrdiff_t>(std::min(names.size(), from + kRenewBatch)));
    RedisReply reply;
    MutexLock hold(publish_lock_);
    refresh_publish_link();
    if (!publish_link_.command(claim_names_command(batch, options_.node), reply)) {
      return why.fail(publish_link_.why());
    }
    // An error answer (Redis out of memory, say) renews nothing this time.
    if (reply.kind != RedisReply::Kind::Array || reply.items.size() != batch.size()) continue;
    MutexLock claims(claims_lock_);
    for (std::size_t i = 0; i < batch.size(); ++i)
      if (reply.items[i].integer == 1) claimed_[batch[i]] = Clock::now();
  }
  return true;
}

void ClusterNode::read_loop() {
  RedisLink link(options_.address, options_.password, options_.timeout_ms + options_.block_ms);
  // Where each room's stream was read up to. A stream first seen is read
  // from its start: its kept entries fill the new ring with the recent
  // lines, and nothing posted before this reader's first read is missed.
  std::map<std::string, StreamId> read_to;
  int backoff_ms = 100;
  while (!stopping()) {
    const std::shared_ptr<const std::vector<RoomInfo>> rooms = state_.rooms();
    const std::map<std::string, int> keys = stream_rooms(*rooms);
    if (keys.empty()) {
      if (pause(options_.block_ms)) break;
      continue;
    }
    std::vector<std::string> argv = {"XREAD", "COUNT", std::to_string(kReadCount), "BLOCK",
                                      std::to_string(options_.block_ms), "STREAMS"};
    for (const auto& k : keys) argv.push_back(k.first);
    for (const auto& k : keys) {
      const auto at = read_to.find(k.first);
      argv.push_back(at == read_to.end() ? std::string("0-0") : at->second.text());
    }
    RedisReply reply;
    const Clock::time_point began = Clock::now();
    if (!link.command(argv, reply) || reply.is_error()) {
      note(false, reply.is_error() ? "Redis at " + options_.address.text() + ": " + reply.text
                                   : link.why(),
           began);
      link.close();
      if (pause(backoff_ms)) break;
      backoff_ms = std::min(backoff_ms * 2, 1000);
      continue;
    }
    backoff_ms = 100;
    note(true, std::string(), began);
    if (reply.kind == RedisReply::Kind::Array) apply(reply, read_to);
  }
}

void ClusterNode::apply(const RedisReply& streams, std::map<std::string, StreamId>& read_to) {
  {
    ChatState::Hold chat(state_);
    // Rooms are looked up under the chat lock: the rings are those of the
    // room table published last.
    std::map<std::string, int> keys;
    for (int room = 1; room <= state_.room_count_locked(); ++room)
      keys.emplace(room_stream_key(state_.room_locked(room).name), room);
    for (const RedisReply& stream : streams.items) {
      if (stream.items.size() != 2) continue;
      const std::string& key = stream.items[0].text;
      const auto room = keys.find(key);
      for (const RedisReply& entry : stream.items[1].items) {
        if (entry.items.size() != 2) continue;
        StreamId id;
        if (!parse_stream_id(entry.items[0].text, id)) continue;
        read_to[key] = id;
        std::vector<std::string> fields;
        for (const RedisReply& f : entry.items[1].items) fields.push_back(f.text);
        EntryLine e;
        if (room == keys.end() || !read_entry(fields, e)) continue;
        const bool private_line = is_private_line(e.line.text);
        unsigned long long addressee = 0;
        if (private_line) {
          if (const std::optional<int> at = state_.find_online_user(room->second, e.line.to_whom))
            addressee = state_.user(*at).place_id;
        }
        const LocalPlaces places =
            local_places(e.line, e.node == options_.node, private_line, addressee);
        state_.push_message(room->second, e.line.text, e.line.to_whom, places.to_place,
                            places.from_place);
      }
    }
  }
  {
    MutexLock hold(applied_lock_);
    for (const auto& r : read_to) applied_[r.first] = r.second;
  }
  applied_changed_.notify_all();
}

void ClusterNode::heartbeat_loop() {
  int beat = 0;
  do {
    const Clock::time_point began = Clock::now();
    int visitors = 0;
    {
      ChatState::Hold chat(state_);
      visitors = state_.online_count();
    }
    const std::string value =
        std::to_string(visitors) + " " + std::to_string(static_cast<long long>(std::time(nullptr)));
    bool ok;
    Reason why;
    {
      MutexLock hold(publish_lock_);
      refresh_publish_link();
      RedisReply reply;
      ok = publish_link_.command({"SET", node_key(options_.node), value, "EX",
                                  std::to_string(kHeartbeatLifeS)},
                                 reply) &&
           publish_link_.command({"SADD", kNodesKey, options_.node}, reply);
      if (!ok) why.text = publish_link_.why();
    }
    if (ok) ok = tend_names(beat % kRenewEveryBeats == 0, why);
    ++beat;
    note(ok, why.text, began);
  } while (!pause(options_.heartbeat_ms));
}

std::shared_ptr<ClusterNode> make_cluster_node(const ServerSettings& settings, ChatState& state,
                                               ClusterNode::ReportSink report, Reason& why) {
  if (settings.cluster_redis.empty()) return nullptr;
  ClusterNode::Options options;
  if (!parse_redis_address(settings.cluster_redis, options.address)) {
    (void)why.fail("[Cluster] Redis=" + settings.cluster_redis +
                   " is neither host:port nor the path of a Unix socket");
    return nullptr;
  }
  options.password = settings.cluster_redis_password;
  options.node = settings.cluster_node.empty() ? "node-" + random_hex(4) : settings.cluster_node;
  return std::make_shared<ClusterNode>(state, std::move(options), std::move(report));
}

}  // namespace tvl
