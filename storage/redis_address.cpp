#include "storage/redis_address.h"

#include <cstdlib>

namespace tvl {

namespace {

bool parse_port(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  port = std::atoi(text.c_str());
  return port >= 1 && port <= 65535;
}

}  // namespace

std::string RedisAddress::text() const {
  if (!socket_path.empty()) return socket_path;
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool parse_redis_address(const std::string& text, RedisAddress& into) {
  if (text.empty()) return false;
  RedisAddress a;
  if (text[0] == '/') {
    a.socket_path = text;
    into = a;
    return true;
  }
  std::string host = text, port = "6379";
  if (text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      port = text.substr(close + 2);
    }
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    if (text.find(':') != colon) return false;  // a bare IPv6 address needs brackets
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty() || !parse_port(port, a.port)) return false;
  a.host = host;
  into = a;
  return true;
}

}  // namespace tvl
