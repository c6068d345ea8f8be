// RedisPool: RedisLinks shared by the client threads of one server. A
// command takes an idle link (or makes one), runs on it and gives it back,
// so that threads asking at once never wait for each other's round trips
// and never share a link. Links that failed are dropped, not given back.
//
// Thread safety: command() from any thread at once.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cluster/redis_link.h"
#include "platform/lock_annotations.h"
#include "platform/reason.h"
#include "storage/settings.h"

namespace tvl {

class RedisPool {
 public:
  RedisPool(RedisAddress address, std::string password, int timeout_ms);
  RedisPool(const RedisPool&) = delete;
  RedisPool& operator=(const RedisPool&) = delete;

  // Runs one command. False when Redis could not be reached or answered an
  // error: `why` says so for a person, `reply` holds an error reply or
  // nothing.
  [[nodiscard]] bool command(const std::vector<std::string>& argv, RedisReply& reply, Reason& why)
      EXCLUDES(lock_);

 private:
  const RedisAddress address_;
  const std::string password_;
  const int timeout_ms_;
  Mutex lock_;
  std::vector<std::unique_ptr<RedisLink>> idle_ GUARDED_BY(lock_);
};

// A pool for the settings' [Cluster] section (a time-out of two seconds);
// null when Redis= is not set or names no address (the cluster node says
// why).
std::shared_ptr<RedisPool> make_redis_pool(const ServerSettings& settings);

// The fields of a hash reply (HGETALL) as name/value pairs in a map;
// empty for anything else.
std::map<std::string, std::string> reply_hash(const RedisReply& reply);

}  // namespace tvl
