#include "chat/visitor_bounds.h"

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

}  // namespace tvl
