#include "chat/account_guard.h"

#include <algorithm>

#include "storage/account_name.h"

namespace tvl {

namespace {

void drop_old(std::deque<long long>& times, long long window, long long now) {
  while (!times.empty() && times.front() <= now - window) times.pop_front();
}

}  // namespace

bool LoginBounds::refused(Failures& f, int bound, long long now) {
  if (now < f.refused_until) return true;
  drop_old(f.at, kFailureWindowMs, now);
  return static_cast<long long>(f.at.size()) + f.running >= bound;
}

void LoginBounds::note_failure(Failures& f, int bound, long long now) {
  drop_old(f.at, kFailureWindowMs, now);
  f.at.push_back(now);
  if (static_cast<long long>(f.at.size()) >= bound) {
    f.refused_until = now + kLockoutMs;
    f.at.clear();
  }
}

bool LoginBounds::known_network(const std::string& account_fold, const std::string& network) const {
  auto it = known_.find(account_fold);
  if (it == known_.end()) return false;
  return std::find(it->second.begin(), it->second.end(), network) != it->second.end();
}

void LoginBounds::prune_locked(long long now) {
  auto prune = [now](std::map<std::string, Failures>& table) {
    if (table.size() < kGuardPruneAt) return;
    for (auto it = table.begin(); it != table.end();) {
      Failures& f = it->second;
      drop_old(f.at, kFailureWindowMs, now);
      if (f.at.empty() && f.running == 0 && f.refused_until <= now) it = table.erase(it);
      else ++it;
    }
  };
  prune(by_network_);
  prune(by_account_);
  // Known networks are kept while they fit: forgetting them would only make
  // an owner count as a stranger again.
  if (known_.size() >= kGuardPruneAt) known_.clear();
  if (registrations_.size() >= kGuardPruneAt) {
    for (auto it = registrations_.begin(); it != registrations_.end();) {
      drop_old(it->second.at, kRegistrationWindowMs, now);
      if (it->second.at.empty() && it->second.running == 0) it = registrations_.erase(it);
      else ++it;
    }
  }
}

LoginBounds::Turn LoginBounds::begin_login(const std::string& network, const std::string& account,
                                           int bound, long long now) {
  Turn turn;
  if (bound <= 0) {
    turn.granted = true;
    return turn;
  }
  const std::string fold = account_name_fold(account);
  {
    MutexLock hold(lock_);
    prune_locked(now);
    Failures& by_network = by_network_[network];
    if (refused(by_network, bound, now)) return turn;
    turn.counts_account = !known_network(fold, network);
    if (turn.counts_account) {
      Failures& by_account = by_account_[fold];
      if (refused(by_account, bound, now)) return turn;
      ++by_account.running;
    }
    ++by_network.running;
    turn.granted = true;
  }
  // The other servers' failures count too (asked outside the lock: a
  // round trip to the shared store).
  if (shared_ && shared_->logins_refused(network, turn.counts_account ? fold : std::string(), bound)) {
    end_login(turn, network, account, bound, LoginOutcome::NotChecked, now);
    turn.granted = false;
  }
  return turn;
}

void LoginBounds::end_login(const Turn& turn, const std::string& network, const std::string& account,
                            int bound, LoginOutcome outcome, long long now) {
  if (!turn.granted || bound <= 0) return;
  const bool failed = outcome == LoginOutcome::Failed;
  const std::string fold = account_name_fold(account);
  {
    MutexLock hold(lock_);
    Failures& by_network = by_network_[network];
    --by_network.running;
    if (failed) note_failure(by_network, bound, now);
    if (turn.counts_account) {
      Failures& by_account = by_account_[fold];
      --by_account.running;
      if (failed) note_failure(by_account, bound, now);
    }
    if (outcome == LoginOutcome::Succeeded && !known_network(fold, network)) {
      std::vector<std::string>& known = known_[fold];
      if (known.size() >= kKnownNetworks) known.erase(known.begin());
      known.push_back(network);
    }
  }
  if (failed && shared_) shared_->login_failed(network, turn.counts_account ? fold : std::string(), bound);
}

bool LoginBounds::begin_registration(const std::string& network, int bound, long long now) {
  if (bound <= 0) return true;
  {
    MutexLock hold(lock_);
    prune_locked(now);
    Registrations& r = registrations_[network];
    drop_old(r.at, kRegistrationWindowMs, now);
    if (static_cast<long long>(r.at.size()) + r.running >= bound) return false;
    ++r.running;
  }
  // The registrations through the other servers count too.
  if (!shared_ || shared_->begin_registration(network, bound)) return true;
  MutexLock hold(lock_);
  --registrations_[network].running;
  return false;
}

void LoginBounds::end_registration(const std::string& network, int bound, bool made, long long now) {
  if (bound <= 0) return;
  {
    MutexLock hold(lock_);
    Registrations& r = registrations_[network];
    --r.running;
    if (made) r.at.push_back(now);
  }
  if (!made && shared_) shared_->registration_failed(network);
}

LoginAttempt::LoginAttempt(LoginBounds& bounds, std::string network, std::string account,
                           int bound, long long now)
    : bounds_(bounds),
      network_(std::move(network)),
      account_(std::move(account)),
      bound_(bound),
      turn_(bounds_.begin_login(network_, account_, bound_, now)),
      open_(turn_.granted) {}

LoginAttempt::~LoginAttempt() {
  // Ended without a check: the turn is given back uncounted.
  if (open_) bounds_.end_login(turn_, network_, account_, bound_, LoginOutcome::NotChecked, 0);
}

void LoginAttempt::finish(LoginOutcome outcome, long long now) {
  if (!open_) return;
  open_ = false;
  bounds_.end_login(turn_, network_, account_, bound_, outcome, now);
}

void RoomBans::ban(const std::string& room_name, const std::string& name, const std::string& address,
                   long long ends_ms) {
  MutexLock hold(lock_);
  banned_[{account_name_fold(room_name), account_name_fold(name)}] = Ban{address, ends_ms};
}

bool RoomBans::unban(const std::string& room_name, const std::string& name, long long now_ms) {
  MutexLock hold(lock_);
  const auto it = banned_.find({account_name_fold(room_name), account_name_fold(name)});
  if (it == banned_.end()) return false;
  const bool held = holds(it->second, now_ms);
  banned_.erase(it);
  return held;
}

std::vector<RoomBans::Held> RoomBans::held(long long now_ms) {
  std::vector<Held> out;
  MutexLock hold(lock_);
  for (const auto& [key, b] : banned_)
    if (holds(b, now_ms)) out.push_back(Held{key.first, key.second, b.address, b.ends_ms});
  return out;
}

bool RoomBans::banned(const std::string& room_name, const std::string& name, long long now_ms) {
  MutexLock hold(lock_);
  const auto it = banned_.find({account_name_fold(room_name), account_name_fold(name)});
  return it != banned_.end() && holds(it->second, now_ms);
}

bool RoomBans::banned(const std::string& room_name, const std::string& name, const std::string& network,
                      const ServerSettings& settings, long long now_ms, long long* ends_ms) {
  const std::string room = account_name_fold(room_name);
  const std::string folded = account_name_fold(name);
  bool found = false;
  long long latest = -1;  // the end of the longest ban found; 0 outlasts every time
  MutexLock hold(lock_);
  for (auto it = banned_.lower_bound({room, std::string()}); it != banned_.end() && it->first.first == room;
       ++it) {
    const Ban& b = it->second;
    if (!holds(b, now_ms)) continue;
    if (it->first.second != folded &&
        (b.address.empty() || client_network_of(settings, b.address) != network))
      continue;
    found = true;
    if (latest != 0 && (b.ends_ms == 0 || b.ends_ms > latest)) latest = b.ends_ms;
  }
  if (ends_ms) *ends_ms = found ? latest : 0;
  return found;
}

// With several servers the shared store alone says what is closed: a
// closing one server keeps to itself could not be opened through another.

bool GuestEntry::close(const std::string& room_name) {
  const std::string fold = room_name.empty() ? std::string() : account_name_fold(room_name);
  if (shared_) return shared_->close_guests(fold);
  MutexLock hold(lock_);
  if (room_name.empty()) chat_closed_ = true;
  else rooms_.insert(fold);
  return true;
}

bool GuestEntry::open(const std::string& room_name) {
  const std::string fold = room_name.empty() ? std::string() : account_name_fold(room_name);
  if (shared_) return shared_->open_guests(fold);
  MutexLock hold(lock_);
  if (!room_name.empty()) return rooms_.erase(fold) > 0;
  const bool was = chat_closed_ || !rooms_.empty();
  chat_closed_ = false;
  rooms_.clear();
  return was;
}

bool GuestEntry::closed(const std::string& room_name) {
  const std::string fold = room_name.empty() ? std::string() : account_name_fold(room_name);
  if (shared_) return shared_->guests_closed(fold);
  MutexLock hold(lock_);
  return chat_closed_ || (!room_name.empty() && rooms_.count(fold) > 0);
}

}  // namespace tvl
