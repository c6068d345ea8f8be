// The gate every password check passes. A check is a deliberately slow
// hash that takes one processor and 16 MiB (storage/password_hash.h) for
// about a tenth of a second; unbounded, a few clients that log in at once
// take the host's memory and every processor.
//
//  - At most `max_running` checks run at once (MaxPasswordChecks, the
//    processors by default), so password checks take at most
//    max_running x 16 MiB: 32 MiB on a machine with two processors.
//  - Beyond them at most `max_waiting` wait, first come first served, each
//    at most kPasswordWaitMs (PasswordQueue, 8 by default). Anything more,
//    or a wait that ran out, is answered that the server is busy: nothing
//    waits for long and no thread piles up behind the hashes.
//  - Fair shares: when running and waiting checks fill the gate, a network
//    holding fewer checks than the network holding the most (by two or
//    more) takes the place of that network's newest waiting check, which is
//    answered busy. So however many checks a few networks send, a check
//    from a network that holds none waits behind at most the queue.
// A max_running of 0 or less is no bound (every check runs at once).
// Thread safety: any thread; one lock, a leaf (nothing is called while it is
// held; it is never taken with the chat lock held by design, since a check
// is made outside the chat lock).
#pragma once
#include <condition_variable>
#include <deque>
#include <map>
#include <string>

#include "platform/lock_annotations.h"

namespace tvl {

// A check that finds no turn within this waits no longer: the answer says
// the server is busy.
inline constexpr long long kPasswordWaitMs = 2000;

// The answer to a check that found no turn.
inline constexpr char kServerBusyPage[] =
    "<BODY bgcolor=\"#EBEBD6\">The server is busy, please try again in a moment!</body>";

class PasswordGate {
 public:
  // Waits for a turn for a check from `network`. False (nothing held) when
  // the gate is full and the network has no claim to a place in it, when
  // its waiting place was taken by a network with a fairer claim, or after
  // wait_ms without a turn. A true entry must be followed by leave().
  [[nodiscard]] bool enter(const std::string& network, int max_running, int max_waiting,
                           long long wait_ms = kPasswordWaitMs) EXCLUDES(lock_);
  void leave(const std::string& network) EXCLUDES(lock_);

  // Checks running and waiting right now (for tests and the bench).
  int running() const EXCLUDES(lock_);
  int waiting() const EXCLUDES(lock_);

 private:
  struct Waiter {
    std::string network;
    bool admitted = false;
    bool displaced = false;
  };
  void hold(const std::string& network) REQUIRES(lock_);
  void release(const std::string& network) REQUIRES(lock_);
  // The newest waiter of the network holding the most, when that network
  // holds at least two more than `network`; null otherwise.
  Waiter* displaceable(const std::string& network) REQUIRES(lock_);
  void admit_next() REQUIRES(lock_);

  mutable Mutex lock_;
  std::condition_variable_any changed_;
  int running_ GUARDED_BY(lock_) = 0;
  std::deque<Waiter*> queue_ GUARDED_BY(lock_);            // oldest first
  std::map<std::string, int> held_ GUARDED_BY(lock_);      // running + waiting per network
  int max_running_ GUARDED_BY(lock_) = 0;  // as the latest entry gave it
};

// One turn at the gate for the scope: granted() or the busy answer.
class PasswordTurn {
 public:
  PasswordTurn(PasswordGate& gate, std::string network, int max_running, int max_waiting)
      : gate_(gate),
        network_(std::move(network)),
        granted_(gate_.enter(network_, max_running, max_waiting)) {}
  ~PasswordTurn() {
    if (granted_) gate_.leave(network_);
  }
  PasswordTurn(const PasswordTurn&) = delete;
  PasswordTurn& operator=(const PasswordTurn&) = delete;
  bool granted() const { return granted_; }

 private:
  PasswordGate& gate_;
  std::string network_;
  bool granted_;
};

}  // namespace tvl
