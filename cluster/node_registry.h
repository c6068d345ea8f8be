// The cluster's nodes as their heartbeats show them (cluster/shared_entry.h
// has the keys), for `tvlctl cluster status`.
#pragma once
#include <string>
#include <vector>

#include "cluster/redis_link.h"

namespace tvl {

struct NodeStatus {
  std::string name;
  int visitors = 0;
  long long seen = 0;  // unix seconds of its last heartbeat
};

// The nodes with a live heartbeat, by name. A name of the node set whose
// heartbeat expired (a node that died) is dropped from the set. False when
// Redis could not be asked (link.why() says why); `nodes` is then empty.
[[nodiscard]] bool read_nodes(RedisLink& link, std::vector<NodeStatus>& nodes);

// The status as an operator reads it:
//   Redis <address>: reachable
//   node <name>: <n> visitor(s), heartbeat <s> s ago
// or "Redis <address>: away (<why>)". `now` is unix seconds. False when
// Redis is away.
[[nodiscard]] bool cluster_status_text(RedisLink& link, long long now, std::string& text);

}  // namespace tvl
