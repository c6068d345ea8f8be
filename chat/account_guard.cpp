#include "chat/account_guard.h"

#include "storage/account_name.h"

namespace tvl {

namespace {

void drop_old(std::deque<long long>& times, long long window, long long now) {
  while (!times.empty() && times.front() <= now - window) times.pop_front();
}

}  // namespace

bool LoginBounds::refused(const Failures* f, long long now) {
  return f && now < f->refused_until;
}

void LoginBounds::note(Failures& f, int bound, long long now) {
  drop_old(f.at, kFailureWindowMs, now);
  f.at.push_back(now);
  if (static_cast<long long>(f.at.size()) >= bound) {
    f.refused_until = now + kLockoutMs;
    f.at.clear();
  }
}

void LoginBounds::prune_locked(long long now) {
  auto prune = [now](std::map<std::string, Failures>& table) {
    if (table.size() < kGuardPruneAt) return;
    for (auto it = table.begin(); it != table.end();) {
      drop_old(it->second.at, kFailureWindowMs, now);
      if (it->second.at.empty() && it->second.refused_until <= now) it = table.erase(it);
      else ++it;
    }
  };
  prune(by_address_);
  prune(by_account_);
  if (registrations_.size() >= kGuardPruneAt) {
    for (auto it = registrations_.begin(); it != registrations_.end();) {
      drop_old(it->second, kRegistrationWindowMs, now);
      if (it->second.empty()) it = registrations_.erase(it);
      else ++it;
    }
  }
}

bool LoginBounds::login_allowed(const std::string& address, const std::string& account, int bound,
                                long long now) {
  if (bound <= 0) return true;
  MutexLock hold(lock_);
  auto a = by_address_.find(address);
  auto n = by_account_.find(account_name_fold(account));
  return !refused(a == by_address_.end() ? nullptr : &a->second, now) &&
         !refused(n == by_account_.end() ? nullptr : &n->second, now);
}

void LoginBounds::note_failed_login(const std::string& address, const std::string& account,
                                    int bound, long long now) {
  if (bound <= 0) return;
  MutexLock hold(lock_);
  prune_locked(now);
  note(by_address_[address], bound, now);
  note(by_account_[account_name_fold(account)], bound, now);
}

bool LoginBounds::registration_allowed(const std::string& address, int bound, long long now) {
  if (bound <= 0) return true;
  MutexLock hold(lock_);
  auto it = registrations_.find(address);
  if (it == registrations_.end()) return true;
  drop_old(it->second, kRegistrationWindowMs, now);
  return static_cast<long long>(it->second.size()) < bound;
}

void LoginBounds::note_registration(const std::string& address, long long now) {
  MutexLock hold(lock_);
  prune_locked(now);
  auto& times = registrations_[address];
  drop_old(times, kRegistrationWindowMs, now);
  times.push_back(now);
}

void RoomBans::ban(const std::string& room_name, const std::string& name) {
  MutexLock hold(lock_);
  banned_.emplace(account_name_fold(room_name), account_name_fold(name));
}

bool RoomBans::unban(const std::string& room_name, const std::string& name) {
  MutexLock hold(lock_);
  return banned_.erase({account_name_fold(room_name), account_name_fold(name)}) > 0;
}

bool RoomBans::banned(const std::string& room_name, const std::string& name) {
  MutexLock hold(lock_);
  return banned_.count({account_name_fold(room_name), account_name_fold(name)}) > 0;
}

}  // namespace tvl
