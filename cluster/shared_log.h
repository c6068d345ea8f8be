// SharedLog: the chat log of a chat that several servers share, kept in
// one Redis stream besides each server's own daily file, so that
// `tvlctl log` at any server shows the whole chat. Each server adds the
// events it made itself (the lines posted through it, its entries and
// leaves), so every event stands in the stream once.
//
// Stream tvl:log, trimmed to about kSharedLogRows entries; each entry's
// fields:
//   field  holds
//   node   the name of the server that logged it
//   row    the row as the daily file has it: "<address> <time> <text>"
// The entry's id is Redis's time of the addition in milliseconds.
//
// record() only queues the row (it runs with the chat lock held); one
// thread adds the queued rows in order. Rows queued while Redis is away
// wait, up to kSharedLogQueue of them (the oldest are dropped beyond, and
// the daily file keeps them all).
// Thread safety: record() from any thread; start() and stop() on the
// owner's.
#pragma once
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "cluster/redis_pool.h"
#include "platform/lock_annotations.h"

namespace tvl {

constexpr long long kSharedLogRows = 1000000;
constexpr std::size_t kSharedLogQueue = 10000;

class SharedLog {
 public:
  SharedLog(std::shared_ptr<RedisPool> pool, std::string node);
  ~SharedLog();  // stop()
  void record(const std::string& address, const std::string& time, const std::string& text)
      EXCLUDES(lock_);
  void start();
  // Adds what is queued (within a time-out each) and ends the thread.
  void stop();

 private:
  void run();
  std::shared_ptr<RedisPool> pool_;
  const std::string node_;
  Mutex lock_;
  CondVar wake_;
  std::deque<std::string> queued_ GUARDED_BY(lock_);
  bool stopping_ GUARDED_BY(lock_) = false;
  std::thread thread_;
};

// The rows of tvl:log from `from` on (an XRANGE start: "<ms>" for the
// entries added from that unix time in milliseconds on, "(" and a former
// `last` for those after it), at most `count`, appended to `rows` (each
// ending in "\n"); `last` the id of the last one read (unchanged when
// none). False when Redis could not be asked (`why`).
[[nodiscard]] bool read_shared_log(RedisPool& pool, const std::string& from, int count,
                                   std::string& rows, std::string& last, Reason& why);

}  // namespace tvl
