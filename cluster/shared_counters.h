// SharedCounters: SharedCounts (chat/shared_counts.h) in Redis. Every
// count is one key counted up by INCR in a Lua script (one step for
// Redis) that also gives it its life:
//   key                        counts                      lives
//   tvl:fail:net:<network>     failed logins from a client  kFailureWindowMs from the
//                              network                      first failure; kLockoutMs
//   tvl:fail:acct:<fold>       failed logins of an account  from the one that reached
//                              (from networks it is not     the bound
//                              known from)
//   tvl:reg:<network>          new accounts from a network  an hour from the first
//   tvl:post:<place id>        the time (Redis's clock,      until that time
//                              ms) by which the place's
//                              lines taken so far are paid
//                              for (take_post_turn)
//   tvl:guests-closed          a set: "*" while guest entry is closed for the
//                              whole chat, "room:<room fold>" while it is
//                              closed for that room (until opened again)
// <network> is a client_network key, <fold> account_name_fold of the name.
// A count is a window that starts with its first event, coarser than a
// server's own sliding window, which still applies beside it.
// Redis away: nothing is refused and nothing counted (the server's own
// bounds hold); guest entry is open then (a guest's name claim needs
// Redis too and refuses the entry), and closing or opening it fails.
//
// A Redis that restarts empty: each node remembers the counts it raised
// (their value and end, until the end; at most kRememberedCounts, the
// soonest to end dropped first) and the closed guest entry as it last saw
// it (its own changes at once, the others' each round of the cluster's
// copy), and gives them back when the copy finds Redis emptied (a
// CopyPart of ClusterCopy): a count is raised to what the node knew, never
// lowered, for the rest of its life. Until then, while Redis holds no copy
// marker, the checks also refuse what the node remembers.
// Thread safety: any thread at once.
#pragma once
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "chat/shared_counts.h"
#include "cluster/cluster_copy.h"
#include "cluster/redis_pool.h"
#include "platform/lock_annotations.h"

namespace tvl {

constexpr std::size_t kRememberedCounts = 10000;

class SharedCounters final : public SharedCounts, public CopyPart {
 public:
  using Clock = std::chrono::steady_clock;
  explicit SharedCounters(std::shared_ptr<RedisPool> pool) : pool_(std::move(pool)) {}
  bool logins_refused(const std::string& network, const std::string& account_fold,
                      int bound) override;
  void login_failed(const std::string& network, const std::string& account_fold,
                    int bound) override;
  bool begin_registration(const std::string& network, int bound) override;
  void registration_failed(const std::string& network) override;
  bool close_guests(const std::string& room_fold) override;
  bool open_guests(const std::string& room_fold) override;
  bool guests_closed(const std::string& room_fold) override;
  bool take_post_turn(unsigned long long place, int burst, int interval_ms) override;

  // CopyPart.
  bool look(Reason& why) override EXCLUDES(lock_);
  bool give_back(Reason& why) override EXCLUDES(lock_);

  // How many counts are remembered now (those that ended are dropped).
  std::size_t remembered_counts() EXCLUDES(lock_);
  // Whether this node holds guest entry of the room (folded name; empty:
  // the whole chat) closed, as it would give it back to an emptied Redis.
  bool remembers_closed(const std::string& room_fold) EXCLUDES(lock_);

 private:
  struct Count {
    long long value = 0;
    Clock::time_point ends;
  };
  // Records each {value, ms left} pair of `reply` (from `first`) for the
  // key of the same place in `keys`.
  void remember(const std::vector<std::string>& keys, const RedisReply& reply, std::size_t first)
      EXCLUDES(lock_);
  void drop_ended(Clock::time_point now) REQUIRES(lock_);
  // Whether a remembered count of `keys` reached `bound`.
  bool remembered_at(const std::vector<std::string>& keys, long long bound) EXCLUDES(lock_);

  std::shared_ptr<RedisPool> pool_;
  Mutex lock_;
  std::map<std::string, Count> counts_ GUARDED_BY(lock_);  // by key
  std::set<std::string> closed_ GUARDED_BY(lock_);        // members of tvl:guests-closed
  // Counted up by every change of closed_ made here: a look that began
  // before one does not overwrite it.
  unsigned long long closed_changes_ GUARDED_BY(lock_) = 0;
};

}  // namespace tvl
