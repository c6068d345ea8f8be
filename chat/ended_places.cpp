#include "chat/ended_places.h"

#include "chat/place_key.h"

namespace tvl {

void EndedPlaces::ended(EndedPlace place) {
  if (place.key.empty()) return;
  MutexLock hold(lock_);
  places_.push_back(std::move(place));
  while (places_.size() > kMaxEndedPlaces) places_.pop_front();
}

EndedPlaces::Found EndedPlaces::find(const std::string& key, const std::string& name_fold,
                                     int room, long long now, EndedPlace& place) {
  MutexLock hold(lock_);
  // The newest first: a key ends once, but a resumed place may end again.
  for (auto it = places_.rbegin(); it != places_.rend(); ++it) {
    if (it->key != key) continue;
    const bool resumable = it->how == EndedHow::Left && it->name_fold == name_fold &&
                           it->room == room && now - it->ended_ms < kResumeWithinMs;
    if (!resumable) return Found::Ended;
    place = *it;
    places_.erase(std::next(it).base());
    return Found::Resumable;
  }
  return Found::None;
}

bool looks_like_place_key(const std::string& password_in_address) {
  if (password_in_address.size() != 2 * kGuestKeyBytes) return false;
  for (char c : password_in_address)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace tvl
