// What keeps strangers from taking accounts and moderation over, held in
// memory for the life of the server:
//  - LoginBounds: password checks per client network and per account, and
//    new accounts per client network. Every attempt is counted before it is
//    checked: a check under way counts as a failure until it ends, so
//    however many arrive at once, at most `bound` run or have failed within
//    kFailureWindowMs. Reaching the bound refuses further checks from that
//    network (or for that account) for kLockoutMs without reading any file.
//    A bound of 0 is no bound.
//    The owner is not locked out: the account's count is neither consulted
//    nor raised for a network that has entered the account before (the
//    last kKnownNetworks networks a right password came from), so guesses
//    from elsewhere slow the guessers, never the owner at home. The
//    network's own count still applies to it.
//  - RoomBans: who is banned from which room. A ban holds the visitor: its
//    name, and the client network its place was entered from, so the
//    visitor is not back at once under another name. It lasts until an
//    administrator lifts it (lifting the name lifts its network too) or the
//    program ends, whatever the banned visitor does (leaving and entering
//    again included).
//  - GuestEntry: guest entry closed by the operator, for the whole chat or
//    for single rooms, until opened again or the program ends. Members
//    still enter; guests already in stay.
// Networks are client_network keys (storage/client_network.h); names are
// keys under account_name_fold; rooms are keyed by their name folded the
// same way, so a reload of the rooms keeps the bans of a room.
// Times are the chat clock in milliseconds (ChatContext::now_ms).
// Thread safety: each class has its own lock, a leaf lock: it may be taken
// with the chat lock held, and nothing is called while it is held.
#pragma once
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "chat/ended_places.h"
#include "chat/password_gate.h"
#include "chat/shared_counts.h"
#include "platform/lock_annotations.h"
#include "storage/settings.h"

namespace tvl {

constexpr long long kFailureWindowMs = 5 * 60 * 1000;
constexpr long long kLockoutMs = 5 * 60 * 1000;
constexpr long long kRegistrationWindowMs = 60 * 60 * 1000;
// Keys with nothing recent are forgotten once the tables hold this many, so
// that a flood of addresses or names cannot grow them without end.
constexpr std::size_t kGuardPruneAt = 20000;
// Networks remembered per account as its owner's: home, work, a phone.
constexpr std::size_t kKnownNetworks = 4;

enum class LoginOutcome { Failed, Succeeded, NotChecked };

class LoginBounds {
 public:
  // One password check, counted from begin_login to end_login.
  struct Turn {
    bool granted = false;
    bool counts_account = false;  // false for a network the owner entered from
  };

  // Counts a password check for `account` from `network` before it is made.
  // Not granted (nothing counted) when the network, or the account for a
  // network it does not know, has reached `bound` with its failures and
  // checks under way, or is refused for a while. A granted turn must be
  // ended by end_login with the same values.
  [[nodiscard]] Turn begin_login(const std::string& network, const std::string& account, int bound,
                                 long long now) EXCLUDES(lock_);
  // Ends a granted turn: a failure stays counted; a success is forgotten and
  // makes the network one the account is known from; a turn that checked
  // nothing is forgotten.
  void end_login(const Turn& turn, const std::string& network, const std::string& account,
                 int bound, LoginOutcome outcome, long long now) EXCLUDES(lock_);

  // Counts a new account for `network` before it is written: not granted
  // (nothing counted) when `bound` accounts were made or are being made
  // from it within the last hour. A granted registration must be ended by
  // end_registration; one that made no account is forgotten.
  [[nodiscard]] bool begin_registration(const std::string& network, int bound, long long now)
      EXCLUDES(lock_);
  void end_registration(const std::string& network, int bound, bool made, long long now)
      EXCLUDES(lock_);

  // With several servers: failures and registrations count for all of them
  // through `shared` as well (null: this server's counts alone). Set only
  // while no client thread runs.
  void set_shared(std::shared_ptr<SharedCounts> shared) { shared_ = std::move(shared); }

 private:
  struct Failures {
    std::deque<long long> at;     // times of the failures within the window
    int running = 0;              // checks under way
    long long refused_until = 0;  // checks refused before this time
  };
  struct Registrations {
    std::deque<long long> at;  // accounts made within the window
    int running = 0;           // being made
  };
  static bool refused(Failures& f, int bound, long long now);
  static void note_failure(Failures& f, int bound, long long now);
  bool known_network(const std::string& account_fold, const std::string& network) const
      REQUIRES(lock_);
  void prune_locked(long long now) REQUIRES(lock_);

  Mutex lock_;
  std::map<std::string, Failures> by_network_ GUARDED_BY(lock_);
  std::map<std::string, Failures> by_account_ GUARDED_BY(lock_);
  std::map<std::string, std::vector<std::string>> known_ GUARDED_BY(lock_);  // account: networks
  std::map<std::string, Registrations> registrations_ GUARDED_BY(lock_);
  std::shared_ptr<SharedCounts> shared_;  // written only while no client thread runs
};

// A login turn that ends itself: unless finish() was called it ends as no
// check at all (the caller stopped before checking), which counts nothing.
class LoginAttempt {
 public:
  LoginAttempt(LoginBounds& bounds, std::string network, std::string account, int bound,
               long long now);
  ~LoginAttempt();
  LoginAttempt(const LoginAttempt&) = delete;
  LoginAttempt& operator=(const LoginAttempt&) = delete;

  bool granted() const { return turn_.granted; }
  // The check's outcome (once).
  void finish(LoginOutcome outcome, long long now);

 private:
  LoginBounds& bounds_;
  std::string network_, account_;
  int bound_;
  LoginBounds::Turn turn_;
  bool open_;
};

// The times are the chat clock's (ChatContext::now_ms); a ban whose end
// has come no longer counts.
class RoomBans {
 public:
  // Bans `name` in the room, and the network of `address` (the banned
  // place's join address; empty: the name alone), until `ends_ms` (0: until
  // lifted).
  void ban(const std::string& room_name, const std::string& name, const std::string& address = {},
           long long ends_ms = 0) EXCLUDES(lock_);
  // False when the name was not banned there (or its ban had ended).
  bool unban(const std::string& room_name, const std::string& name, long long now_ms = 0)
      EXCLUDES(lock_);
  // Whether the name is banned in the room at `now_ms`.
  bool banned(const std::string& room_name, const std::string& name, long long now_ms = 0)
      EXCLUDES(lock_);
  // Whether the name, or the client network `network` (client_network_of
  // under `settings`), is banned in the room at `now_ms`; the end of the
  // latest such ban (0: until lifted) into *ends_ms when given.
  bool banned(const std::string& room_name, const std::string& name, const std::string& network,
              const ServerSettings& settings, long long now_ms, long long* ends_ms = nullptr)
      EXCLUDES(lock_);

  // The bans that hold at `now_ms`, by folded room and name (a ban given
  // to ban() under those is the same ban), for the servers that share a
  // chat.
  struct Held {
    std::string room_fold, name_fold, address;
    long long ends_ms = 0;  // 0: until lifted
  };
  std::vector<Held> held(long long now_ms) EXCLUDES(lock_);

 private:
  struct Ban {
    std::string address;   // the banned place's join address
    long long ends_ms = 0;  // 0: until lifted
  };
  static bool holds(const Ban& b, long long now_ms) { return !b.ends_ms || now_ms < b.ends_ms; }
  Mutex lock_;
  // (room, name), folded.
  std::map<std::pair<std::string, std::string>, Ban> banned_ GUARDED_BY(lock_);
};

class GuestEntry {
 public:
  // Closes guest entry to the room; an empty name closes the whole chat.
  // False only with several servers whose shared store could not be asked:
  // nothing closed then.
  bool close(const std::string& room_name) EXCLUDES(lock_);
  // Opens guest entry to the room again; an empty name opens the whole
  // chat and every room. False when it was not closed.
  [[nodiscard]] bool open(const std::string& room_name) EXCLUDES(lock_);
  // Whether a guest is refused entry to the room (closed there or for the
  // whole chat); an empty name asks about the whole chat alone.
  bool closed(const std::string& room_name) EXCLUDES(lock_);

  // With several servers: closing and opening hold for all of them, kept
  // in `shared` alone (null: this server's own table). Set only while no client thread
  // runs.
  void set_shared(std::shared_ptr<SharedCounts> shared) { shared_ = std::move(shared); }

 private:
  std::shared_ptr<SharedCounts> shared_;  // written only while no client thread runs
  Mutex lock_;
  bool chat_closed_ GUARDED_BY(lock_) = false;
  std::set<std::string> rooms_ GUARDED_BY(lock_);  // folded room names
};

// The posting bound (PostBurst, PostIntervalMs) of a place for the whole
// chat when several servers share it; each server's own count of the
// place's lines (OnlineUser::post_due_ms) holds beside it.
class SharedPostTurns {
 public:
  // Whether the place may post now through any server; true without a
  // shared store, or when it cannot be asked.
  bool take(unsigned long long place, int burst, int interval_ms) {
    return !shared_ || shared_->take_post_turn(place, burst, interval_ms);
  }
  // Set only while no client thread runs (null: this server alone).
  void set_shared(std::shared_ptr<SharedCounts> shared) { shared_ = std::move(shared); }

 private:
  std::shared_ptr<SharedCounts> shared_;
};

struct ChatGuards {
  LoginBounds logins;
  SharedPostTurns posts;
  RoomBans bans;
  GuestEntry guests;
  PasswordGate passwords;
  EndedPlaces ended;  // chat/ended_places.h
};

}  // namespace tvl
