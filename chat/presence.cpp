// Presence: leaving a room, by exit.ghp or because the browser went silent.
#include <chrono>

#include "chat/chat_pages.h"
#include "chat/page_escape.h"

namespace tvl {

long long steady_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void leave_room(ChatContext& ctx, int index, const std::string& address, const std::string& name) {
  ChatState& state = ctx.state;
  const int room = state.user(index).room;
  state.remove_user(index);
  // After a reload of the rooms the entry may hold a number that no longer
  // names a room: it still leaves, announced nowhere.
  const bool room_exists = room >= 1 && room <= state.room_count_locked();
  const std::string time = local_time_hms();
  if (ctx.log_event)
    ctx.log_event(address, time,
                  name + " left the [" + (room_exists ? state.room_locked(room).name : "") + "]");
  if (room_exists)
    state.push_message(
        room,
        "<br><font color=green size=2>" + time + " " + name_link(name) +
            "</font> <font color=red size=2>left the chat room...</font>",
        "All");
}

void sweep_idle_users(ChatContext& ctx, long long now) {
  ChatState& state = ctx.state;
  if (now - state.last_sweep_ms < ctx.sweep_interval_ms) return;
  state.last_sweep_ms = now;
  for (int i = 0; i < state.online_count();) {
    const OnlineUser& u = state.user(i);
    if (now - u.last_active_ms <= ctx.idle_leave_ms) {
      ++i;
      continue;
    }
    // Copies: the entry is overwritten by the removal.
    const std::string name = u.name, address = state.join_address(i);
    leave_room(ctx, i, address, name);  // the next entry moves to i
  }
}

}  // namespace tvl
