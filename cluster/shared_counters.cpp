#include "cluster/shared_counters.h"

#include <cstdlib>
#include <vector>

#include "chat/account_guard.h"

namespace tvl {

namespace {

std::vector<std::string> failure_keys(const std::string& network, const std::string& account_fold) {
  std::vector<std::string> keys = {"tvl:fail:net:" + network};
  if (!account_fold.empty()) keys.push_back("tvl:fail:acct:" + account_fold);
  return keys;
}

// KEYS: the counts. ARGV: the window, the bound, the lockout (ms).
const char kFailedScript[] =
    "for _, key in ipairs(KEYS) do\n"
    "  local n = redis.call('INCR', key)\n"
    "  if n == 1 then redis.call('PEXPIRE', key, ARGV[1]) end\n"
    "  if n == tonumber(ARGV[2]) then redis.call('PEXPIRE', key, ARGV[3]) end\n"
    "end\n"
    "return 1\n";

// KEYS: the count. ARGV: the bound, the window (ms). 1 counted, 0 refused.
const char kRegisterScript[] =
    "local n = redis.call('INCR', KEYS[1])\n"
    "if n == 1 then redis.call('PEXPIRE', KEYS[1], ARGV[2]) end\n"
    "if n > tonumber(ARGV[1]) then redis.call('DECR', KEYS[1]) return 0 end\n"
    "return 1\n";

// KEYS: the count. Counted down, never below 0.
const char kGiveBackScript[] =
    "if tonumber(redis.call('GET', KEYS[1]) or '0') > 0 then redis.call('DECR', KEYS[1]) end\n"
    "return 1\n";

const char kGuestsClosed[] = "tvl:guests-closed";
std::string guests_member(const std::string& room_fold) {
  return room_fold.empty() ? std::string("*") : "room:" + room_fold;
}

// KEYS: tvl:guests-closed. ARGV: the room's member. Whether the whole chat
// or the room is closed.
const char kClosedScript[] =
    "return redis.call('SISMEMBER', KEYS[1], '*') + redis.call('SISMEMBER', KEYS[1], ARGV[1])\n";

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
  std::vector<std::string> argv = {"MGET"};
  for (const std::string& key : failure_keys(network, account_fold)) argv.push_back(key);
  RedisReply reply;
  Reason why;
  if (!pool_->command(argv, reply, why)) return false;  // the server's own bounds hold
  for (const RedisReply& count : reply.items)
    if (!count.is_nil() && std::atoll(count.text.c_str()) >= bound) return true;
  return false;
}

void SharedCounters::login_failed(const std::string& network, const std::string& account_fold,
                                  int bound) {
  RedisReply reply;
  Reason why;
  (void)pool_->command(eval_command(kFailedScript, failure_keys(network, account_fold),
                              {std::to_string(kFailureWindowMs), std::to_string(bound),
                               std::to_string(kLockoutMs)}),
                       reply, why);  // not reported: Redis away counts nothing, by design
}

bool SharedCounters::begin_registration(const std::string& network, int bound) {
  RedisReply reply;
  Reason why;
  if (!pool_->command(eval_command(kRegisterScript, {"tvl:reg:" + network},
                             {std::to_string(bound), std::to_string(kRegistrationWindowMs)}),
                      reply, why))
    return true;  // the account's write, through Redis too, fails then
  return reply.integer == 1;
}

void SharedCounters::registration_failed(const std::string& network) {
  RedisReply reply;
  Reason why;
  (void)pool_->command(eval_command(kGiveBackScript, {"tvl:reg:" + network}, {}), reply,
                       why);  // not reported: the count ends with its window anyway
}

bool SharedCounters::close_guests(const std::string& room_fold) {
  RedisReply reply;
  Reason why;
  return pool_->command({"SADD", kGuestsClosed, guests_member(room_fold)}, reply, why);
}

bool SharedCounters::open_guests(const std::string& room_fold) {
  RedisReply reply;
  Reason why;
  // The whole chat opens every room.
  if (room_fold.empty()) return pool_->command({"DEL", kGuestsClosed}, reply, why) && reply.integer > 0;
  return pool_->command({"SREM", kGuestsClosed, guests_member(room_fold)}, reply, why) &&
         reply.integer > 0;
}

bool SharedCounters::guests_closed(const std::string& room_fold) {
  RedisReply reply;
  Reason why;
  return pool_->command(eval_command(kClosedScript, {kGuestsClosed}, {guests_member(room_fold)}), reply,
                        why) &&
         reply.integer > 0;
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
