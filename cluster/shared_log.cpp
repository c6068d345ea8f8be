#include "cluster/shared_log.h"

namespace tvl {

namespace {
const char kLog[] = "tvl:log";
}  // namespace

SharedLog::SharedLog(std::shared_ptr<RedisPool> pool, std::string node)
    : pool_(std::move(pool)), node_(std::move(node)) {}

SharedLog::~SharedLog() { stop(); }

void SharedLog::record(const std::string& address, const std::string& time,
                       const std::string& text) {
  MutexLock hold(lock_);
  if (queued_.size() >= kSharedLogQueue) queued_.pop_front();
  queued_.push_back(address + " " + time + " " + text);
  wake_.notify_one();
}

void SharedLog::start() {
  if (thread_.joinable()) return;
  {
    MutexLock hold(lock_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { run(); });
}

void SharedLog::stop() {
  {
    MutexLock hold(lock_);
    stopping_ = true;
    wake_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void SharedLog::run() {
  for (;;) {
    std::string row;
    bool last_round = false;
    {
      MutexLock hold(lock_);
      while (queued_.empty() && !stopping_) wake_.wait(lock_);
      if (queued_.empty()) return;
      row = queued_.front();
      last_round = stopping_;
    }
    RedisReply reply;
    Reason why;
    const bool added = pool_->command({"XADD", kLog, "MAXLEN", "~", std::to_string(kSharedLogRows),
                                       "*", "node", node_, "row", row},
                                      reply, why);
    MutexLock hold(lock_);
    if (added) {
      if (!queued_.empty()) queued_.pop_front();
      continue;
    }
    // Stopping with Redis away: the daily file keeps the rest.
    if (last_round) return queued_.clear();
    // Redis away: tried again in a while (the cluster node reports it).
    (void)wake_.wait_until(lock_, CondVar::Clock::now() + std::chrono::milliseconds(500));
  }
}

bool read_shared_log(RedisPool& pool, const std::string& from, int count, std::string& rows,
                     std::string& last, Reason& why) {
  RedisReply reply;
  if (!pool.command({"XRANGE", kLog, from, "+", "COUNT", std::to_string(count)}, reply, why))
    return false;
  for (const RedisReply& entry : reply.items) {
    if (entry.items.size() != 2) continue;
    last = entry.items[0].text;
    const std::vector<RedisReply>& fields = entry.items[1].items;
    for (std::size_t i = 0; i + 1 < fields.size(); i += 2)
      if (fields[i].text == "row") rows += fields[i + 1].text + "\n";
  }
  return true;
}

}  // namespace tvl
