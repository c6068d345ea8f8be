// The places that ended lately (left, timed out, or taken over by a new
// login of the same member), kept by their keys so that a window still
// holding such a key is told its place has ended instead of being counted
// as a wrong password, and so that a reload (whose closing page left the
// room a moment before) comes back to its place.
//
// At most kMaxEndedPlaces are kept; the oldest go first. Times are the chat
// clock in milliseconds (ChatContext::now_ms).
// Thread safety: one leaf lock; it may be taken with the chat lock held, and
// nothing is called while it is held.
#pragma once
#include <cstddef>
#include <deque>
#include <string>

#include "platform/lock_annotations.h"

namespace tvl {

constexpr std::size_t kMaxEndedPlaces = 4096;
// A place left this recently comes back with its key alone: the reload of a
// chat window leaves the room as its page closes and enters again at once.
constexpr long long kResumeWithinMs = 30 * 1000;

enum class EndedHow { Left, TakenOver };

struct EndedPlace {
  std::string key;
  std::string name_fold;  // account_name_fold of the decoded name
  int room = 0;
  bool member = false;
  std::string icon;
  EndedHow how = EndedHow::Left;
  long long ended_ms = 0;
};

class EndedPlaces {
 public:
  void ended(EndedPlace place) EXCLUDES(lock_);

  enum class Found { None, Ended, Resumable };
  // Looks up the place that ended with `key`. Resumable (and the place,
  // which is forgotten) when it was left less than kResumeWithinMs before
  // `now` by the same name in the same room; Ended for any other ended
  // place of that key; None when the key is not known.
  Found find(const std::string& key, const std::string& name_fold, int room, long long now,
             EndedPlace& place) EXCLUDES(lock_);

 private:
  Mutex lock_;
  std::deque<EndedPlace> places_ GUARDED_BY(lock_);
};

// Whether a "&password=" value has the form of a place's key (lower-case
// hex of kGuestKeyBytes bytes): such a value that opens no place is a stale
// key, never a password guess.
bool looks_like_place_key(const std::string& password_in_address);

}  // namespace tvl
