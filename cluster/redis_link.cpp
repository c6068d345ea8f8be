#include "cluster/redis_link.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include "platform/pipe_signal_block.h"


namespace tvl {

namespace {

redisContext* as_context(void* p) { return static_cast<redisContext*>(p); }

timeval to_timeval(int ms) {
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return tv;
}

void copy_reply(const redisReply* from, RedisReply& to) {
  to = RedisReply();
  switch (from->type) {
    case REDIS_REPLY_STATUS:
      to.kind = RedisReply::Kind::Status;
      to.text.assign(from->str, from->len);
      break;
    case REDIS_REPLY_ERROR:
      to.kind = RedisReply::Kind::Error;
      to.text.assign(from->str, from->len);
      break;
    case REDIS_REPLY_INTEGER:
      to.kind = RedisReply::Kind::Integer;
      to.integer = from->integer;
      break;
    case REDIS_REPLY_STRING:
      to.kind = RedisReply::Kind::String;
      to.text.assign(from->str, from->len);
      break;
    case REDIS_REPLY_ARRAY:
      to.kind = RedisReply::Kind::Array;
      to.items.resize(from->elements);
      for (std::size_t i = 0; i < from->elements; ++i) copy_reply(from->element[i], to.items[i]);
      break;
    default:  // REDIS_REPLY_NIL
      break;
  }
}

}  // namespace

RedisLink::RedisLink(RedisAddress address, std::string password, int timeout_ms)
    : address_(std::move(address)), password_(std::move(password)), timeout_ms_(timeout_ms) {}

RedisLink::~RedisLink() { close(); }

void RedisLink::close() {
  if (context_) redisFree(as_context(context_));
  context_ = nullptr;
}

bool RedisLink::connect() {
  const timeval tv = to_timeval(timeout_ms_);
  redisContext* c = address_.socket_path.empty()
                        ? redisConnectWithTimeout(address_.host.c_str(), address_.port, tv)
                        : redisConnectUnixWithTimeout(address_.socket_path.c_str(), tv);
  if (!c) {
    why_ = "Redis at " + address_.text() + " cannot be reached: out of memory";
    return false;
  }
  if (c->err) {
    why_ = "Redis at " + address_.text() + " cannot be reached: " + c->errstr;
    redisFree(c);
    return false;
  }
  // Each command's wait is bounded too, so a Redis that stops answering
  // cannot hold a post (or the reader) for ever.
  if (redisSetTimeout(c, tv) != REDIS_OK) {
    why_ = "Redis at " + address_.text() + ": the time-out cannot be set";
    redisFree(c);
    return false;
  }
  context_ = c;
  if (password_.empty()) return true;
  RedisReply reply;
  const char* argv[] = {"AUTH", password_.c_str()};
  const std::size_t lengths[] = {4, password_.size()};
  auto* r = static_cast<redisReply*>(redisCommandArgv(c, 2, argv, lengths));
  if (!r) {
    why_ = "Redis at " + address_.text() + ": AUTH got no answer: " + c->errstr;
    close();
    return false;
  }
  copy_reply(r, reply);
  freeReplyObject(r);
  if (reply.is_error()) {
    // The password itself is never repeated in the reason.
    why_ = "Redis at " + address_.text() + " refused the password: " + reply.text;
    close();
    return false;
  }
  return true;
}

bool RedisLink::command(const std::vector<std::string>& argv, RedisReply& reply) {
  reply = RedisReply();
  if (argv.empty()) {
    why_ = "an empty Redis command";
    return false;
  }
  // The client library writes with write(): a Redis that went away must
  // not end the process with SIGPIPE.
  PipeSignalBlock quiet;
  if (!context_ && !connect()) return false;
  std::vector<const char*> args;
  std::vector<std::size_t> lengths;
  args.reserve(argv.size());
  lengths.reserve(argv.size());
  for (const std::string& a : argv) {
    args.push_back(a.data());
    lengths.push_back(a.size());
  }
  redisContext* c = as_context(context_);
  auto* r = static_cast<redisReply*>(
      redisCommandArgv(c, static_cast<int>(args.size()), args.data(), lengths.data()));
  if (!r) {
    // After an I/O error or a time-out the context cannot be used again.
    why_ = "Redis at " + address_.text() + " stopped answering: " +
           (c->errstr[0] ? c->errstr : "no reply");
    close();
    return false;
  }
  copy_reply(r, reply);
  freeReplyObject(r);
  return true;
}

std::vector<std::string> eval_command(const char* text, const std::vector<std::string>& keys,
                                      const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"EVAL", text, std::to_string(keys.size())};
  argv.insert(argv.end(), keys.begin(), keys.end());
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace tvl
