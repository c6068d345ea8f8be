// What keeps strangers from taking accounts and moderation over, held in
// memory for the life of the server:
//  - LoginBounds: failed password checks per client address and per account,
//    and new accounts per client address. After `bound` failures within
//    kFailureWindowMs, checks from that address (or for that account) are
//    refused for kLockoutMs without reading any file. A bound of 0 is no
//    bound.
//  - RoomBans: who is banned from which room. A ban lasts until an
//    administrator lifts it or the program ends, whatever the banned visitor
//    does (leaving and entering again included).
// Names are keys under account_name_fold; rooms are keyed by their name
// folded the same way, so a reload of the rooms keeps the bans of a room.
// Times are the chat clock in milliseconds (ChatContext::now_ms).
// Thread safety: each class has its own lock, a leaf lock: it may be taken
// with the chat lock held, and nothing is called while it is held.
#pragma once
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "chat/ended_places.h"

namespace tvl {

constexpr long long kFailureWindowMs = 5 * 60 * 1000;
constexpr long long kLockoutMs = 5 * 60 * 1000;
constexpr long long kRegistrationWindowMs = 60 * 60 * 1000;
// Keys with nothing recent are forgotten once the tables hold this many, so
// that a flood of addresses or names cannot grow them without end.
constexpr std::size_t kGuardPruneAt = 20000;

class LoginBounds {
 public:
  // Whether a password check for `account` from `address` may be made now.
  bool login_allowed(const std::string& address, const std::string& account, int bound,
                     long long now);
  // A password check that failed.
  void note_failed_login(const std::string& address, const std::string& account, int bound,
                         long long now);
  // Whether `address` may create another account now (fewer than `bound` in
  // the last hour).
  bool registration_allowed(const std::string& address, int bound, long long now);
  void note_registration(const std::string& address, long long now);

 private:
  struct Failures {
    std::deque<long long> at;     // times of the failures within the window
    long long refused_until = 0;  // checks refused before this time
  };
  static bool refused(const Failures* f, long long now);
  static void note(Failures& f, int bound, long long now);
  void prune_locked(long long now);

  std::mutex lock_;
  std::map<std::string, Failures> by_address_;
  std::map<std::string, Failures> by_account_;
  std::map<std::string, std::deque<long long>> registrations_;
};

class RoomBans {
 public:
  void ban(const std::string& room_name, const std::string& name);
  // False when the name was not banned there.
  bool unban(const std::string& room_name, const std::string& name);
  bool banned(const std::string& room_name, const std::string& name);

 private:
  std::mutex lock_;
  std::set<std::pair<std::string, std::string>> banned_;  // (room, name), folded
};

struct ChatGuards {
  LoginBounds logins;
  RoomBans bans;
  EndedPlaces ended;  // chat/ended_places.h
};

}  // namespace tvl
