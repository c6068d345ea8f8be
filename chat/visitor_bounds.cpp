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

bool address_may_take_place(const ChatState& state, const std::string& address, int max_places) {
  if (max_places <= 0) return true;
  int held = 0;
  for (int i = 0; i < state.online_count(); ++i)
    if (address == state.join_address(i) && ++held >= max_places) return false;
  return true;
}

}  // namespace tvl
