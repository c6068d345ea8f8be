#include "cluster/shared_counters.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "chat/account_guard.h"

namespace tvl {

namespace {

std::vector<std::string> failure_keys(const std::string& network, const std::string& account_fold) {
  std::vector<std::string> keys = {"tvl:fail:net:" + network};
  if (!account_fold.empty()) keys.push_back("tvl:fail:acct:" + account_fold);
  return keys;
}

// KEYS: the counts. ARGV: the window, the bound, the lockout (ms). Each
// count and its milliseconds left.
const char kFailedScript[] =
    "local out = {}\n"
    "for _, key in ipairs(KEYS) do\n"
    "  local n = redis.call('INCR', key)\n"
    "  if n == 1 then redis.call('PEXPIRE', key, ARGV[1]) end\n"
    "  if n == tonumber(ARGV[2]) then redis.call('PEXPIRE', key, ARGV[3]) end\n"
    "  out[#out + 1] = n\n"
    "  out[#out + 1] = redis.call('PTTL', key)\n"
    "end\n"
    "return out\n";

// KEYS: the count. ARGV: the bound, the window (ms). {1 counted or 0
// refused, the count, its milliseconds left}.
const char kRegisterScript[] =
    "local n = redis.call('INCR', KEYS[1])\n"
    "if n == 1 then redis.call('PEXPIRE', KEYS[1], ARGV[2]) end\n"
    "local ok = 1\n"
    "if n > tonumber(ARGV[1]) then n = redis.call('DECR', KEYS[1]) ok = 0 end\n"
    "return {ok, n, redis.call('PTTL', KEYS[1])}\n";

// KEYS: the count. Counted down, never below 0. {the count, its
// milliseconds left}.
const char kGiveBackScript[] =
    "local n = tonumber(redis.call('GET', KEYS[1]) or '0')\n"
    "if n > 0 then n = redis.call('DECR', KEYS[1]) end\n"
    "return {n, redis.call('PTTL', KEYS[1])}\n";

// KEYS: counts. ARGV: for each, the value a node knew and its milliseconds
// left. A count below what the node knew is raised to it, with that life.
const char kRestoreScript[] =
    "for i, key in ipairs(KEYS) do\n"
    "  local want = tonumber(ARGV[2 * i - 1])\n"
    "  if tonumber(redis.call('GET', key) or '0') < want then\n"
    "    redis.call('SET', key, ARGV[2 * i - 1], 'PX', ARGV[2 * i])\n"
    "  end\n"
    "end\n"
    "return 1\n";

// Counts given back by one command.
constexpr std::size_t kRestoreBatch = 200;

const char kGuestsClosed[] = "tvl:guests-closed";
std::string guests_member(const std::string& room_fold) {
  return room_fold.empty() ? std::string("*") : "room:" + room_fold;
}

// KEYS: tvl:guests-closed. ARGV: the room's member. Whether the whole chat
// or the room is closed.
const char kClosedScript[] =
    "return {redis.call('SISMEMBER', KEYS[1], '*') + redis.call('SISMEMBER', KEYS[1], ARGV[1]),\n"
    "        redis.call('EXISTS', KEYS[2])}\n";

// KEYS: the copy marker, tvl:guests-closed. {the marker or nil, the members}.
const char kLookScript[] =
    "return {redis.call('GET', KEYS[1]), redis.call('SMEMBERS', KEYS[2])}\n";

// KEYS: the place's due time. ARGV: the burst, the interval (ms). 1 taken, 0
// refused. The clock is Redis's, the one all servers share.
const char kPostTurnScript[] =
    "local t = redis.call('TIME')\n"
    "local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)\n"
    "local interval = tonumber(ARGV[2])\n"
    "local paid = math.max(tonumber(redis.call('GET', KEYS[1]) or '0'), now)\n"
    "if paid - now > (tonumber(ARGV[1]) - 1) * interval then return 0 end\n"
    "redis.call('SET', KEYS[1], string.format('%.0f', paid + interval), 'PX',\n"
    "           string.format('%.0f', paid + interval - now))\n"
    "return 1\n";

}  // namespace

bool SharedCounters::logins_refused(const std::string& network, const std::string& account_fold,
                                    int bound) {
  const std::vector<std::string> keys = failure_keys(network, account_fold);
  std::vector<std::string> argv = {"MGET", kCopyMarkerKey};
  for (const std::string& key : keys) argv.push_back(key);
  RedisReply reply;
  Reason why;
  if (!pool_->command(argv, reply, why)) return false;  // the server's own bounds hold
  for (std::size_t i = 1; i < reply.items.size(); ++i) {
    const RedisReply& count = reply.items[i];
    if (!count.is_nil() && std::atoll(count.text.c_str()) >= bound) return true;
  }
  // No marker: Redis may have lost the counts, and not have them back yet.
  return !reply.items.empty() && reply.items[0].is_nil() && remembered_at(keys, bound);
}

void SharedCounters::login_failed(const std::string& network, const std::string& account_fold,
                                  int bound) {
  const std::vector<std::string> keys = failure_keys(network, account_fold);
  RedisReply reply;
  Reason why;
  if (pool_->command(eval_command(kFailedScript, keys,
                                  {std::to_string(kFailureWindowMs), std::to_string(bound),
                                   std::to_string(kLockoutMs)}),
                     reply, why))  // not reported: Redis away counts nothing, by design
    remember(keys, reply, 0);
}

bool SharedCounters::begin_registration(const std::string& network, int bound) {
  const std::vector<std::string> keys = {"tvl:reg:" + network};
  RedisReply reply;
  Reason why;
  if (!pool_->command(eval_command(kRegisterScript, keys,
                                   {std::to_string(bound), std::to_string(kRegistrationWindowMs)}),
                      reply, why))
    return true;  // the account's write, through Redis too, fails then
  if (reply.kind != RedisReply::Kind::Array || reply.items.size() != 3) return false;
  remember(keys, reply, 1);
  return reply.items[0].integer == 1;
}

void SharedCounters::registration_failed(const std::string& network) {
  const std::vector<std::string> keys = {"tvl:reg:" + network};
  RedisReply reply;
  Reason why;
  if (pool_->command(eval_command(kGiveBackScript, keys, {}), reply,
                     why))  // not reported: the count ends with its window anyway
    remember(keys, reply, 0);
}

bool SharedCounters::close_guests(const std::string& room_fold) {
  RedisReply reply;
  Reason why;
  if (!pool_->command({"SADD", kGuestsClosed, guests_member(room_fold)}, reply, why)) return false;
  MutexLock hold(lock_);
  closed_.insert(guests_member(room_fold));
  ++closed_changes_;
  return true;
}

bool SharedCounters::open_guests(const std::string& room_fold) {
  RedisReply reply;
  Reason why;
  // The whole chat opens every room.
  const bool asked = room_fold.empty()
                         ? pool_->command({"DEL", kGuestsClosed}, reply, why)
                         : pool_->command({"SREM", kGuestsClosed, guests_member(room_fold)},
                                          reply, why);
  if (!asked) return false;
  {
    MutexLock hold(lock_);
    if (room_fold.empty())
      closed_.clear();
    else
      closed_.erase(guests_member(room_fold));
    ++closed_changes_;
  }
  return reply.integer > 0;
}

bool SharedCounters::guests_closed(const std::string& room_fold) {
  RedisReply reply;
  Reason why;
  if (!pool_->command(eval_command(kClosedScript, {kGuestsClosed, kCopyMarkerKey},
                                   {guests_member(room_fold)}),
                      reply, why) ||
      reply.kind != RedisReply::Kind::Array || reply.items.size() != 2)
    return false;
  if (reply.items[0].integer > 0) return true;
  if (reply.items[1].integer != 0) return false;
  // No marker: Redis may have lost the closing, and not have it back yet.
  MutexLock hold(lock_);
  return closed_.count("*") || closed_.count(guests_member(room_fold));
}

bool SharedCounters::look(Reason& why) {
  unsigned long long changes = 0;
  {
    MutexLock hold(lock_);
    changes = closed_changes_;
  }
  RedisReply reply;
  if (!pool_->command(eval_command(kLookScript, {kCopyMarkerKey, kGuestsClosed}, {}), reply, why))
    return false;
  if (reply.kind != RedisReply::Kind::Array || reply.items.size() != 2 ||
      reply.items[0].is_nil())
    return true;  // emptied meanwhile: what was known is kept for the copy's next round
  std::set<std::string> members;
  for (const RedisReply& m : reply.items[1].items) members.insert(m.text);
  MutexLock hold(lock_);
  if (closed_changes_ == changes) closed_ = std::move(members);
  return true;
}

bool SharedCounters::give_back(Reason& why) {
  std::vector<std::string> closed, keys, values;
  {
    MutexLock hold(lock_);
    const Clock::time_point now = Clock::now();
    drop_ended(now);
    closed.assign(closed_.begin(), closed_.end());
    for (const auto& [key, count] : counts_) {
      const long long left =
          std::chrono::duration_cast<std::chrono::milliseconds>(count.ends - now).count();
      if (left <= 0) continue;
      keys.push_back(key);
      values.push_back(std::to_string(count.value));
      values.push_back(std::to_string(left));
    }
  }
  RedisReply reply;
  if (!closed.empty()) {
    std::vector<std::string> argv = {"SADD", kGuestsClosed};
    argv.insert(argv.end(), closed.begin(), closed.end());
    if (!pool_->command(argv, reply, why)) return false;
  }
  for (std::size_t from = 0; from < keys.size(); from += kRestoreBatch) {
    const std::size_t to = std::min(keys.size(), from + kRestoreBatch);
    const std::vector<std::string> batch(keys.begin() + static_cast<std::ptrdiff_t>(from),
                                         keys.begin() + static_cast<std::ptrdiff_t>(to));
    const std::vector<std::string> args(values.begin() + static_cast<std::ptrdiff_t>(2 * from),
                                        values.begin() + static_cast<std::ptrdiff_t>(2 * to));
    if (!pool_->command(eval_command(kRestoreScript, batch, args), reply, why)) return false;
  }
  return true;
}

std::size_t SharedCounters::remembered_counts() {
  MutexLock hold(lock_);
  drop_ended(Clock::now());
  return counts_.size();
}

bool SharedCounters::remembers_closed(const std::string& room_fold) {
  MutexLock hold(lock_);
  return closed_.count(guests_member(room_fold)) > 0;
}

void SharedCounters::remember(const std::vector<std::string>& keys, const RedisReply& reply,
                              std::size_t first) {
  if (reply.kind != RedisReply::Kind::Array) return;
  const Clock::time_point now = Clock::now();
  MutexLock hold(lock_);
  for (std::size_t k = 0; k < keys.size() && first + 2 * k + 1 < reply.items.size(); ++k) {
    const long long value = reply.items[first + 2 * k].integer;
    const long long left = reply.items[first + 2 * k + 1].integer;
    if (value <= 0 || left <= 0) {
      counts_.erase(keys[k]);  // gone, or a count without an end: nothing to give back
      continue;
    }
    counts_[keys[k]] = Count{value, now + std::chrono::milliseconds(left)};
  }
  if (counts_.size() <= kRememberedCounts) return;
  drop_ended(now);
  while (counts_.size() > kRememberedCounts) {
    auto soonest = counts_.begin();
    for (auto c = counts_.begin(); c != counts_.end(); ++c)
      if (c->second.ends < soonest->second.ends) soonest = c;
    counts_.erase(soonest);
  }
}

void SharedCounters::drop_ended(Clock::time_point now) {
  for (auto c = counts_.begin(); c != counts_.end();)
    c = c->second.ends <= now ? counts_.erase(c) : std::next(c);
}

bool SharedCounters::remembered_at(const std::vector<std::string>& keys, long long bound) {
  MutexLock hold(lock_);
  const Clock::time_point now = Clock::now();
  for (const std::string& key : keys) {
    const auto c = counts_.find(key);
    if (c != counts_.end() && c->second.ends > now && c->second.value >= bound) return true;
  }
  return false;
}

bool SharedCounters::take_post_turn(unsigned long long place, int burst, int interval_ms) {
  if (burst <= 0 || interval_ms <= 0) return true;
  RedisReply reply;
  Reason why;
  if (!pool_->command(eval_command(kPostTurnScript, {"tvl:post:" + std::to_string(place)},
                                   {std::to_string(burst), std::to_string(interval_ms)}),
                      reply, why))
    return true;  // the server's own bound holds; the line itself needs Redis anyway
  return reply.integer == 1;
}

}  // namespace tvl
