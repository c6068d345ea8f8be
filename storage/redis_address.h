// The address of the Redis server that several chat servers share
// ([Cluster] Redis= of option.ini): read and checked with the settings.
#pragma once
#include <string>

namespace tvl {

// Where Redis listens, as the setting writes it: a value beginning with "/"
// is the path of a Unix socket; otherwise "host:port" (host alone: port
// 6379; "[v6]:port" for an IPv6 address).
struct RedisAddress {
  std::string host;
  int port = 0;
  std::string socket_path;  // non-empty: a Unix socket
  std::string text() const;  // as a person reads it
};
// False when `text` names no address (empty, a port that is not 1..65535);
// `into` is then unchanged.
[[nodiscard]] bool parse_redis_address(const std::string& text, RedisAddress& into);

}  // namespace tvl
