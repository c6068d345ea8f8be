#include "cluster/cluster_node.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <unordered_map>

#include "chat/chat_pages.h"
#include "chat/place_key.h"
#include "platform/random.h"

namespace tvl {

namespace {

using Clock = std::chrono::steady_clock;

// Heartbeats between two renewals of the claims this node holds: a third
// of kNameLifeS at the 2 s heartbeat, so two renewals may fail in a row.
constexpr int kRenewEveryBeats = 10;

// Heartbeats between two tries at the claims of names that another node
// holds while this one serves their places (a node killed with its claims:
// they lapse within kNameLifeS and the node that serves the place now takes
// them). A multiple of kRenewEveryBeats.
constexpr int kTakeOverEveryBeats = 20;

// Claims renewed by one command. The publishing connection is let go
// between two batches, so that a post waits for one batch at most, not for
// the renewal of every name online.
constexpr std::size_t kRenewBatch = 200;

// See ClusterNode::recently_away.
constexpr int kRetryAfterMs = 1000;

}  // namespace

SharedPlace shared_place(const OnlineUser& u, const std::string& room_name,
                         const std::string& address, long long now_ms) {
  SharedPlace p;
  p.id = u.place_id;
  p.room_name = room_name;
  p.name = u.name;
  p.icon = u.icon;
  p.digest = u.key_digest.empty() && !u.key.empty() ? key_digest(u.key) : u.key_digest;
  p.name_fold = u.name_fold;
  p.skeleton = u.skeleton;
  p.address = address;
  p.member = u.member;
  p.active = u.active;
  p.split = u.split;
  p.online_since = u.online_since;
  if (!u.active && u.ban_ends_ms != 0) p.ban_left_ms = std::max(1LL, u.ban_ends_ms - now_ms);
  return p;
}

ClusterNode::ClusterNode(ChatState& state, Options options, ReportSink report)
    : state_(state),
      options_(std::move(options)),
      report_(std::move(report)),
      publish_link_(options_.address, options_.password, options_.timeout_ms),
      tag_(options_.node + " " + random_hex(4)) {}

ClusterNode::~ClusterNode() { stop(); }

void ClusterNode::start() {
  if (started_) return;
  started_ = true;
  stopping_.store(false);
  reader_ = std::thread([this] { read_loop(); });
  heartbeat_ = std::thread([this] { heartbeat_loop(); });
  outbox_thread_ = std::thread([this] { outbox_loop(); });
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
  {
    MutexLock hold(outbox_lock_);
  }
  outbox_changed_.notify_all();
  reader_.join();
  heartbeat_.join();
  outbox_thread_.join();
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
  StreamWrite write;
  write.kind = "l";
  write.line = line.text;
  write.to_whom = line.to_whom;
  write.to_place = line.to_place;
  write.from_place = line.from_place;
  {
    ChatState::Hold chat(state_);
    if (line.room < 1 || line.room > state_.room_count_locked())
      return why.fail("the rooms changed meanwhile");
    write.room_name = state_.room_locked(line.room).name;
  }
  const std::string key = room_stream_key(write.room_name);
  StreamId id;
  if (!send(std::move(write), id, why)) return false;
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

bool ClusterNode::send(StreamWrite write, StreamId& id, Reason& why, bool* refused) {
  {
    // The number goes on above what this server holds, whatever Redis lost.
    ChatState::Hold chat(state_);
    for (int room = 1; room <= state_.room_count_locked(); ++room)
      if (write.room_name == state_.room_locked(room).name) write.floor = state_.ring(room).seq;
  }
  const Clock::time_point began = Clock::now();
  RedisReply reply;
  bool sent;
  {
    MutexLock hold(publish_lock_);
    refresh_publish_link();
    sent = publish_link_.command(stream_write_command(write, tag_), reply);
    if (!sent) why.text = publish_link_.why();
  }
  if (!sent) {
    note(false, why.text, began);
    return false;
  }
  if (reply.kind != RedisReply::Kind::Array || reply.items.size() != 2 ||
      !parse_stream_id(reply.items[0].text, id)) {
    if (refused) *refused = true;
    return why.fail("Redis refused the line: " +
                    (reply.is_error() ? reply.text : std::string("no entry id")));
  }
  note(true, std::string(), began);
  return true;
}

void ClusterNode::share(PlaceEvent event) {
  state_.assert_held();
  if (event.room < 1 || event.room > state_.room_count_locked()) return;
  StreamWrite write;
  write.room_name = state_.room_locked(event.room).name;
  write.kind = event.kind == PlaceEvent::Kind::Enter   ? "e"
               : event.kind == PlaceEvent::Kind::Leave ? "x"
                                                       : "u";
  write.line = std::move(event.line);
  write.place = shared_place(event.place, write.room_name, event.address, event.now_ms);
  {
    MutexLock hold(outbox_lock_);
    outbox_.push_back(std::move(write));
    ++queued_;
  }
  outbox_changed_.notify_all();
}

void ClusterNode::share_ban(BanEvent event) {
  state_.assert_held();
  if (event.room < 1 || event.room > state_.room_count_locked() || event.name.empty()) return;
  StreamWrite write;
  write.room_name = state_.room_locked(event.room).name;
  write.kind = event.lifted ? "r" : "b";
  write.line.clear();
  write.ban.name = std::move(event.name);
  write.ban.address = std::move(event.address);
  if (!event.lifted && event.ends_ms != 0)
    write.ban.left_ms = std::max(1LL, event.ends_ms - event.now_ms);
  {
    MutexLock hold(outbox_lock_);
    outbox_.push_back(std::move(write));
    ++queued_;
  }
  outbox_changed_.notify_all();
}

void ClusterNode::settle() {
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(options_.applied_wait_ms);
  std::map<std::string, StreamId> wanted;
  {
    MutexLock hold(outbox_lock_);
    const unsigned long long target = queued_;
    while (sent_ < target && !stopping())
      if (!outbox_changed_.wait_until(outbox_lock_, until)) return;
    wanted = last_sent_;
  }
  MutexLock hold(applied_lock_);
  for (const auto& [key, id] : wanted) {
    for (;;) {
      auto at = applied_.find(key);
      if ((at != applied_.end() && !(at->second < id)) || stopping()) break;
      if (!applied_changed_.wait_until(applied_lock_, until)) return;
    }
  }
}

void ClusterNode::outbox_loop() {
  int backoff_ms = 100;
  for (;;) {
    StreamWrite write;
    {
      MutexLock hold(outbox_lock_);
      while (outbox_.empty() && !stopping()) outbox_changed_.wait(outbox_lock_);
      if (outbox_.empty()) return;  // stopping with nothing left
      write = outbox_.front();
    }
    StreamId id;
    Reason why;
    bool refused = false;
    if (!send(write, id, why, &refused) && !refused) {
      // Kept, in order, until Redis takes it (a node that stops drops the rest).
      if (pause(backoff_ms)) return;
      backoff_ms = std::min(backoff_ms * 2, 1000);
      continue;
    }
    backoff_ms = 100;
    // One that Redis answered with an error would be refused again: it is
    // told and dropped rather than holding up every later change.
    if (refused && report_) report_("a change of a place was not shared: " + why.text);
    {
      MutexLock hold(outbox_lock_);
      outbox_.pop_front();
      ++sent_;
      if (!refused) last_sent_[room_stream_key(write.room_name)] = id;
    }
    outbox_changed_.notify_all();
  }
}

NameClaim ClusterNode::claim(const std::string& room_name, const std::string& name_key) {
  if (stopping() || recently_away()) return NameClaim::Unreachable;
  const std::string wanted = name_claim(room_name, name_key);
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

bool ClusterNode::tend_names(int beat, Reason& why) {
  std::set<std::string> online;  // every name of the table
  std::set<std::string> served;  // of places this node served within the presence time
  {
    ChatState::Hold chat(state_);
    const long long now = now_ms();
    for (int i = 0; i < state_.online_count(); ++i) {
      const OnlineUser& u = state_.user(i);
      // After a reload a place may name no room: it holds no claim.
      if (u.room < 1 || u.room > state_.room_count_locked()) continue;
      std::string claim = name_claim(state_.room_locked(u.room).name, u.skeleton);
      if (u.last_active_ms != 0 && now - u.last_active_ms <= options_.presence_ms)
        served.insert(claim);
      online.insert(std::move(claim));
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
  if (beat % kRenewEveryBeats != 0) return true;
  // The claims this node holds are renewed. Another node's claim is left
  // to that node: only the first renewal tries every name of the table,
  // and later ones try those of places served here now, seldom. A Redis
  // that lost the cluster's epoch was emptied: every name online here is
  // claimed again.
  const bool take_over = beat % kTakeOverEveryBeats == 0;
  std::vector<std::string> names, rest;
  {
    MutexLock claims(claims_lock_);
    for (const std::string& name : online) {
      if (!names_tended_ || claimed_.count(name) || (take_over && served.count(name)))
        names.push_back(name);
      else
        rest.push_back(name);
    }
  }
  bool emptied = false;
  if (!renew_names(names, emptied, why)) return false;
  // Before the reader's first contact Redis may have no epoch yet: the first
  // renewal tried every name anyway.
  if (emptied && names_tended_) {
    bool again = false;
    if (!renew_names(rest, again, why)) return false;
    restamp_.store(true);
    rejoin_wanted_.store(true);  // the reader gives the table and the epoch back
  }
  names_tended_ = true;
  return true;
}

bool ClusterNode::renew_names(const std::vector<std::string>& names, bool& emptied, Reason& why) {
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
    if (reply.kind != RedisReply::Kind::Array || reply.items.size() != batch.size() + 1) continue;
    if (reply.items.back().integer == 0) emptied = true;
    MutexLock claims(claims_lock_);
    for (std::size_t i = 0; i < batch.size(); ++i)
      if (reply.items[i].integer == 1) claimed_[batch[i]] = Clock::now();
  }
  return true;
}

long long ClusterNode::now_ms() const {
  return options_.now_ms ? options_.now_ms() : steady_now_ms();
}

bool ClusterNode::presence_round(Reason& why) {
  std::vector<unsigned long long> served, idle;
  const long long now = now_ms();
  // A place served here is stamped when this node's last stamp of it is a
  // quarter of the presence time old: its stamp in Redis is at most that
  // (and a round) older than its service, which the life of a stamp allows.
  const long long restamp_after = options_.presence_ms / 4;
  if (restamp_.exchange(false)) stamped_.clear();
  std::unordered_map<unsigned long long, long long> stamped;
  // Most places of a node's table are served by other nodes: they are
  // looked up in Redis a few times per presence time, not every round.
  const bool look_at_idle = now - last_idle_look_ms_ >= options_.presence_ms / 4;
  if (look_at_idle) last_idle_look_ms_ = now;
  {
    ChatState::Hold chat(state_);
    for (int i = 0; i < state_.online_count(); ++i) {
      const OnlineUser& u = state_.user(i);
      if ((u.last_active_ms != 0 && u.last_active_ms >= last_round_ms_) ||
          state_.is_waiting(u.room, u.name)) {
        const auto last = stamped_.find(u.place_id);
        if (last != stamped_.end() && now - last->second < restamp_after)
          stamped.emplace(u.place_id, last->second);
        else
          served.push_back(u.place_id);
      } else if (look_at_idle &&
               (u.last_active_ms == 0 || now - u.last_active_ms > options_.presence_ms))
        idle.push_back(u.place_id);
      // Kept while this node serves the place within the presence time.
      if (u.last_active_ms != 0 && now - u.last_active_ms <= options_.presence_ms) {
        const auto last = stamped_.find(u.place_id);
        if (last != stamped_.end()) stamped.emplace(u.place_id, last->second);
      }
    }
  }
  last_round_ms_ = now;
  stamped_ = std::move(stamped);
  if (served.empty() && idle.empty()) return true;
  RedisReply reply;
  {
    MutexLock hold(publish_lock_);
    refresh_publish_link();
    // A place served a moment after a round is stamped only at the next,
    // and not before a quarter of the presence time after its last stamp:
    // the stamps are up to that much older than the service.
    if (!publish_link_.command(
            presence_command(served, idle, options_.presence_ms + restamp_after +
                                                options_.heartbeat_ms),
            reply))
      return why.fail(publish_link_.why());
  }
  for (unsigned long long id : served) stamped_[id] = now;
  std::vector<unsigned long long> gone;
  for (const RedisReply& item : reply.items) {
    unsigned long long id = 0;
    if (item.kind == RedisReply::Kind::String && !item.text.empty() &&
        item.text.find_first_not_of("0123456789") == std::string::npos && item.text.size() < 20)
      id = std::stoull(item.text);
    if (id != 0) gone.push_back(id);
  }
  if (!gone.empty() && expiry_) expiry_(gone);
  return true;
}

void ClusterNode::heartbeat_loop() {
  int beat = 0;
  do {
    const Clock::time_point began = Clock::now();
    // This node's visitors: the places it served within the presence time.
    int visitors = 0;
    {
      ChatState::Hold chat(state_);
      const long long now = now_ms();
      for (int i = 0; i < state_.online_count(); ++i) {
        const long long at = state_.user(i).last_active_ms;
        if (at != 0 && now - at <= options_.presence_ms) ++visitors;
      }
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
    if (ok) ok = tend_names(beat, why);
    if (ok) ok = presence_round(why);
    ++beat;
    note(ok, why.text, began);
  } while (!pause(options_.heartbeat_ms));
}

std::shared_ptr<ClusterNode> make_cluster_node(const ServerSettings& settings, ChatState& state,
                                               ClusterNode::ReportSink report, Reason& why,
                                               const ChatContext* chat) {
  if (settings.cluster_redis.empty()) return nullptr;
  ClusterNode::Options options;
  if (!parse_redis_address(settings.cluster_redis, options.address)) {
    (void)why.fail("[Cluster] Redis=" + settings.cluster_redis +
                   " is neither host:port nor the path of a Unix socket");
    return nullptr;
  }
  options.password = settings.cluster_redis_password;
  options.node = settings.cluster_node.empty() ? "node-" + random_hex(4) : settings.cluster_node;
  use_cluster_place_ids();
  if (chat) {
    options.presence_ms = chat->idle_leave_ms;
    options.now_ms = chat->now_ms;
  }
  return std::make_shared<ClusterNode>(state, std::move(options), std::move(report));
}

}  // namespace tvl
