#include "cluster/redis_pool.h"

namespace tvl {

namespace {
// Idle links kept beyond this are closed: a burst of client threads does
// not leave as many connections open for good.
constexpr std::size_t kIdleLinksKept = 8;
}  // namespace

RedisPool::RedisPool(RedisAddress address, std::string password, int timeout_ms)
    : address_(std::move(address)), password_(std::move(password)), timeout_ms_(timeout_ms) {}

bool RedisPool::command(const std::vector<std::string>& argv, RedisReply& reply, Reason& why) {
  std::unique_ptr<RedisLink> link;
  {
    MutexLock hold(lock_);
    if (!idle_.empty()) {
      link = std::move(idle_.back());
      idle_.pop_back();
    }
  }
  if (!link) link = std::make_unique<RedisLink>(address_, password_, timeout_ms_);
  if (!link->command(argv, reply)) return why.fail("Redis at " + address_.text() + ": " + link->why());
  {
    MutexLock hold(lock_);
    if (idle_.size() < kIdleLinksKept) idle_.push_back(std::move(link));
  }
  if (reply.is_error()) return why.fail("Redis refused " + argv.front() + ": " + reply.text);
  return true;
}

std::shared_ptr<RedisPool> make_redis_pool(const ServerSettings& settings) {
  RedisAddress address;
  if (settings.cluster_redis.empty() || !parse_redis_address(settings.cluster_redis, address))
    return nullptr;
  return std::make_shared<RedisPool>(std::move(address), settings.cluster_redis_password, 2000);
}

std::map<std::string, std::string> reply_hash(const RedisReply& reply) {
  std::map<std::string, std::string> fields;
  if (reply.kind != RedisReply::Kind::Array) return fields;
  for (std::size_t i = 0; i + 1 < reply.items.size(); i += 2)
    fields[reply.items[i].text] = reply.items[i + 1].text;
  return fields;
}

}  // namespace tvl
