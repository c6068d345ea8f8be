#include "chat/password_gate.h"

#include <algorithm>
#include <chrono>

namespace tvl {

void PasswordGate::hold(const std::string& network) { ++held_[network]; }

void PasswordGate::release(const std::string& network) {
  auto it = held_.find(network);
  if (it != held_.end() && --it->second <= 0) held_.erase(it);
}

PasswordGate::Waiter* PasswordGate::displaceable(const std::string& network) {
  auto mine = held_.find(network);
  const int own = mine == held_.end() ? 0 : mine->second;
  auto most = std::max_element(held_.begin(), held_.end(),
                               [](const auto& a, const auto& b) { return a.second < b.second; });
  if (most == held_.end() || most->second < own + 2) return nullptr;
  for (auto it = queue_.rbegin(); it != queue_.rend(); ++it)
    if ((*it)->network == most->first) return *it;
  return nullptr;  // it holds only running checks: they finish soon
}

void PasswordGate::admit_next() {
  while (!queue_.empty() && (max_running_ <= 0 || running_ < max_running_)) {
    queue_.front()->admitted = true;
    queue_.pop_front();
    ++running_;
  }
}

bool PasswordGate::enter(const std::string& network, int max_running, int max_waiting,
                         long long wait_ms) {
  MutexLock hold_lock(lock_);
  max_running_ = max_running;
  if (max_running <= 0 || (running_ < max_running && queue_.empty())) {
    ++running_;
    hold(network);
    return true;
  }
  if (static_cast<int>(queue_.size()) >= std::max(max_waiting, 0)) {
    Waiter* other = displaceable(network);
    if (!other) return false;
    other->displaced = true;
    queue_.erase(std::find(queue_.begin(), queue_.end(), other));
    release(other->network);
    changed_.notify_all();
  }
  Waiter me;
  me.network = network;
  queue_.push_back(&me);
  hold(network);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (!me.admitted && !me.displaced) {
    if (changed_.wait_until(hold_lock, deadline) == std::cv_status::timeout) break;
  }
  if (me.admitted) return true;
  if (!me.displaced) {
    // Ran out of time: leave the queue (a displaced waiter was taken out).
    queue_.erase(std::find(queue_.begin(), queue_.end(), &me));
    release(network);
  }
  return false;
}

void PasswordGate::leave(const std::string& network) {
  MutexLock hold_lock(lock_);
  --running_;
  release(network);
  admit_next();
  changed_.notify_all();
}

int PasswordGate::running() const {
  MutexLock hold_lock(lock_);
  return running_;
}

int PasswordGate::waiting() const {
  MutexLock hold_lock(lock_);
  return static_cast<int>(queue_.size());
}

}  // namespace tvl
