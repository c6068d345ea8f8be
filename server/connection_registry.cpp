#include "server/connection_registry.h"

namespace tvl {

bool ConnectionRegistry::add(LiveConnection& entry, int per_address) {
  MutexLock hold(lock_);
  int& held = per_address_[entry.network];
  if (!entry.exempt && per_address > 0 && held >= per_address) {
    if (held == 0) per_address_.erase(entry.network);
    return false;
  }
  ++held;
  entries_.insert(&entry);
  return true;
}

bool ConnectionRegistry::remove(LiveConnection& entry) {
  MutexLock hold(lock_);
  if (entries_.erase(&entry) == 0) return false;
  auto it = per_address_.find(entry.network);
  if (it != per_address_.end() && --it->second <= 0) per_address_.erase(it);
  return true;
}

std::size_t ConnectionRegistry::size() const {
  MutexLock hold(lock_);
  return entries_.size();
}

int ConnectionRegistry::held_by(const std::string& address) const {
  MutexLock hold(lock_);
  auto it = per_address_.find(address);
  return it == per_address_.end() ? 0 : it->second;
}

bool ConnectionRegistry::close_longest_idle() {
  MutexLock hold(lock_);
  LiveConnection* oldest = nullptr;
  std::int64_t oldest_since = 0;
  int oldest_held = 0;
  for (LiveConnection* entry : entries_) {
    const std::int64_t since = entry->idle_since.load(std::memory_order_relaxed);
    if (since == 0) continue;
    // Rank: the network holding the most first (a trusted proxy, whose
    // connections are many visitors', after every other), then the
    // longest waiting.
    auto it = per_address_.find(entry->network);
    const int held = entry->exempt ? 0 : (it == per_address_.end() ? 0 : it->second);
    if (!oldest || held > oldest_held || (held == oldest_held && since < oldest_since)) {
      oldest = entry;
      oldest_since = since;
      oldest_held = held;
    }
  }
  if (!oldest) return false;
  // Counted as busy from now on, so the next call picks another one.
  oldest->idle_since.store(0, std::memory_order_relaxed);
  oldest->transport->abort();
  return true;
}

bool PendingPool::charge(const std::string& address, bool exempt, std::size_t more,
                         std::size_t total_bound, std::size_t share) {
  MutexLock hold(lock_);
  if (total_.load() + more > total_bound) return false;
  std::size_t& mine = per_address_[address];
  if (!exempt && share > 0 && mine + more > share) {
    if (mine == 0) per_address_.erase(address);
    return false;
  }
  mine += more;
  total_.fetch_add(more);
  return true;
}

void PendingPool::release(const std::string& address, std::size_t bytes) {
  if (bytes == 0) return;
  MutexLock hold(lock_);
  auto it = per_address_.find(address);
  if (it != per_address_.end()) {
    it->second = it->second > bytes ? it->second - bytes : 0;
    if (it->second == 0) per_address_.erase(it);
  }
  total_.fetch_sub(bytes);
}

}  // namespace tvl
