// Presence: leaving a room, by exit.ghp or because the browser went silent.
#include <chrono>

#include "chat/board_line.h"
#include "chat/chat_pages.h"
#include "chat/page_escape.h"

namespace tvl {

long long steady_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void leave_room(ChatContext& ctx, int index, const std::string& address, const std::string& name) {
  const OnlineUser& gone = ctx.state.user(index);
  const int room = gone.room;
  // A window that still holds the key is told its place ended; a reload
  // (its closing page left the room) comes back to it (chat/ended_places.h).
  ctx.guards->ended.ended(EndedPlace{gone.key, gone.name_fold, room, gone.member, gone.icon,
                                     EndedHow::Left, ctx.now_ms()});
  ctx.state.remove_user(index);
  // After a reload of the rooms the entry may hold a number that no longer
  // names a room: it still leaves, announced nowhere.
  const bool room_exists = room >= 1 && room <= ctx.state.room_count_locked();
  const std::string time = local_time_hms();
  if (ctx.log_event)
    ctx.log_event(address, time,
                  name + " left the [" + (room_exists ? ctx.state.room_locked(room).name : "") + "]");
  if (room_exists)
    ctx.state.push_message(
        room,
        presence_line(time, name, "left the chat room..."),
        "All");
}

void sweep_idle_users(ChatContext& ctx, long long now) {
  if (now - ctx.state.last_sweep_ms() < ctx.sweep_interval_ms) return;
  ctx.state.set_last_sweep_ms(now);
  for (int i = 0; i < ctx.state.online_count();) {
    const OnlineUser& u = ctx.state.user(i);
    if (now - u.last_active_ms <= ctx.idle_leave_ms || ctx.state.is_waiting(u.room, u.name)) {
      ++i;
      continue;
    }
    // Copies: the entry is overwritten by the removal.
    const std::string name = u.name, address = ctx.state.join_address(i);
    leave_room(ctx, i, address, name);  // the next entry moves to i
  }
}

}  // namespace tvl
