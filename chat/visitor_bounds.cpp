#include "chat/visitor_bounds.h"

#include <unordered_map>
#include <vector>

#include <algorithm>

namespace tvl {

bool take_post_turn(long long& due_ms, long long now, int burst, int interval_ms) {
  if (burst <= 0 || interval_ms <= 0) return true;
  // A place silent for a while starts again from now: unused turns do not
  // pile up beyond the burst.
  const long long paid = std::max(due_ms, now);
  if (paid - now > static_cast<long long>(burst - 1) * interval_ms) return false;
  due_ms = paid + interval_ms;
  return true;
}

bool network_may_take_place(const ChatState& state, const std::string& network,
                            const ServerSettings& settings) {
  const int max_places = settings.max_places_per_address;
  if (max_places <= 0) return true;
  int held = 0;
  for (int i = 0; i < state.online_count(); ++i)
    if (client_network_of(settings, state.join_address(i)) == network && ++held >= max_places)
      return false;
  return true;
}

bool make_room_for_network(ChatContext& ctx, const std::string& network) {
  const ServerSettings& settings = ctx.site.settings;
  std::vector<std::string> of(ctx.state.online_count());
  std::unordered_map<std::string, int> held;
  for (int i = 0; i < ctx.state.online_count(); ++i) {
    of[i] = client_network_of(settings, ctx.state.join_address(i));
    ++held[of[i]];
  }
  auto most = held.begin();
  for (auto it = held.begin(); it != held.end(); ++it)
    if (it->second > most->second) most = it;
  auto own = held.find(network);
  const int mine = own == held.end() ? 0 : own->second;
  if (most == held.end() || most->second < mine + 2) return false;
  int stalest = -1;
  for (int i = 0; i < ctx.state.online_count(); ++i)
    if (of[i] == most->first &&
        (stalest < 0 || ctx.state.user(i).last_active_ms < ctx.state.user(stalest).last_active_ms))
      stalest = i;
  const std::string name = ctx.state.user(stalest).name, address = ctx.state.join_address(stalest);
  leave_room(ctx, stalest, address, name);
  return true;
}

}  // namespace tvl
