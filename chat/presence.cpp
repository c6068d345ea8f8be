// Presence: leaving a room, by exit.ghp or because the browser went silent.
#include <chrono>

#include "chat/board_line.h"
#include "chat/chat_pages.h"
#include "chat/page_escape.h"
#include "chat/room_ban.h"

namespace tvl {

long long steady_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void leave_room(ChatContext& ctx, int index, const std::string& address, const std::string& name) {
  const OnlineUser& gone = ctx.state.user(index);
  const int room = gone.room;
  OnlineUser left;  // for the other servers: the entry is overwritten by the removal
  if (ctx.places) left = gone;
  // A window that still holds the key is told its place ended; a reload
  // (its closing page left the room) comes back to it (chat/ended_places.h).
  // A place entered on another server has no key here to tell.
  if (!gone.key.empty())
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
  if (!room_exists) return;
  const std::string line = presence_line(time, name, "left the chat room...");
  if (ctx.places) {
    // The line comes back numbered through the reader, as every line.
    PlaceEvent event;
    event.kind = PlaceEvent::Kind::Leave;
    event.room = room;
    event.place = left;
    event.line = line;
    ctx.places->share(std::move(event));
  } else {
    ctx.state.push_message(room, line, "All");
  }
}

void share_place(ChatContext& ctx, int index) {
  if (!ctx.places) return;
  PlaceEvent event;
  event.kind = PlaceEvent::Kind::Update;
  event.place = ctx.state.user(index);
  event.room = event.place.room;
  event.now_ms = ctx.now_ms();
  ctx.places->share(std::move(event));
}

void share_visitor(ChatContext& ctx, int room, const std::string& decoded_name) {
  if (!ctx.places) return;
  if (const std::optional<int> at = find_visitor_in_room(ctx.state, room, decoded_name))
    share_place(ctx, *at);
}

void share_room_ban(ChatContext& ctx, int room, const std::string& decoded_name, bool lifted) {
  if (!ctx.places) return;
  BanEvent event;
  event.lifted = lifted;
  event.room = room;
  event.name = decoded_name;
  event.now_ms = ctx.now_ms();
  if (const std::optional<int> at = find_visitor_in_room(ctx.state, room, decoded_name)) {
    share_place(ctx, *at);
    // The ban holds what ban_in_room stored: the place's join address and end.
    if (!lifted) {
      event.address = ctx.state.join_address(*at);
      event.ends_ms = ctx.state.user(*at).ban_ends_ms;
    }
  }
  ctx.places->share_ban(std::move(event));
}

void sweep_idle_users(ChatContext& ctx, long long now) {
  if (ctx.places) return;
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
