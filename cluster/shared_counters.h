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
// Thread safety: any thread at once.
#pragma once
#include <memory>
#include <string>

#include "chat/shared_counts.h"
#include "cluster/redis_pool.h"

namespace tvl {

class SharedCounters final : public SharedCounts {
 public:
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

 private:
  std::shared_ptr<RedisPool> pool_;
};

}  // namespace tvl
