// RedisLink: one connection to Redis, the only place that speaks to the
// Redis client library. A link connects to "host:port" or to the path of a
// Unix socket, sends AUTH when it has a password, and runs one command at a
// time (an argument vector, binary-safe) with a time-out. A link that broke
// (a failed connect, a time-out, a closed connection) connects again at the
// next command; it never retries a command by itself, so a command that
// failed may or may not have been carried out.
//
// Thread safety: none; a link belongs to one thread at a time (the owner
// serialises the calls).
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "storage/redis_address.h"

namespace tvl {

// One reply, as a small value: nested arrays hold their items.
struct RedisReply {
  enum class Kind { Nil, Status, Error, Integer, String, Array };
  Kind kind = Kind::Nil;
  long long integer = 0;
  std::string text;  // Status, Error, String
  std::vector<RedisReply> items;  // Array

  bool is_error() const { return kind == Kind::Error; }
  bool is_nil() const { return kind == Kind::Nil; }
};

// The EVAL command of the Lua script `text` with its keys and arguments.
std::vector<std::string> eval_command(const char* text, const std::vector<std::string>& keys,
                                      const std::vector<std::string>& args);

class RedisLink {
 public:
  // `timeout_ms` bounds the connect and each command (a blocking command's
  // own wait must stay below it).
  RedisLink(RedisAddress address, std::string password, int timeout_ms);
  ~RedisLink();
  RedisLink(const RedisLink&) = delete;
  RedisLink& operator=(const RedisLink&) = delete;

  // Runs one command. False when the link could not connect, authenticate,
  // send or read within the time-out: `reply` is then empty and why() says
  // what went wrong; the link is closed and connects again next time. An
  // error reply of Redis ("-ERR ...") is a reply: true, reply.is_error().
  [[nodiscard]] bool command(const std::vector<std::string>& argv, RedisReply& reply);

  bool connected() const { return context_ != nullptr; }
  void close();
  // Why the last failed call failed, for a person.
  const std::string& why() const { return why_; }
  const RedisAddress& address() const { return address_; }

 private:
  [[nodiscard]] bool connect();
  RedisAddress address_;
  std::string password_;
  int timeout_ms_;
  void* context_ = nullptr;  // the client library's context while connected
  std::string why_;
};

}  // namespace tvl
