#include "chat/room_ban.h"

#include "storage/account_name.h"

namespace tvl {

bool is_same_visitor(const OnlineUser& place, const std::string& decoded_name) {
  return !place.name_fold.empty() && place.name_fold == account_name_fold(decoded_name);
}

std::optional<int> find_visitor_in_room(const ChatState& state, int room,
                                        const std::string& decoded_name) {
  for (int i = 0; i < state.online_count(); ++i) {
    const OnlineUser& u = state.user(i);
    if (u.room == room && is_same_visitor(u, decoded_name)) return i;
  }
  return std::nullopt;
}

bool ban_in_room(ChatState& state, RoomBans& bans, int room, const std::string& decoded_name,
                 long long ends_ms) {
  const std::optional<int> target = find_visitor_in_room(state, room, decoded_name);
  if (!target) return false;
  state.user(*target).active = false;
  state.user(*target).ban_ends_ms = ends_ms;
  bans.ban(state.room_locked(room).name, decoded_name, state.join_address(*target), ends_ms);
  return true;
}

bool place_banned(OnlineUser& place, long long now_ms) {
  if (!place.active && place.ban_ends_ms && now_ms >= place.ban_ends_ms) {
    place.active = true;
    place.ban_ends_ms = 0;
  }
  return !place.active;
}

bool unban_in_room(ChatState& state, RoomBans& bans, int room, const std::string& decoded_name) {
  const std::optional<int> target = find_visitor_in_room(state, room, decoded_name);
  const bool lifted = bans.unban(state.room_locked(room).name, decoded_name);
  const bool place_banned = target && !state.user(*target).active;
  if (place_banned) {
    state.user(*target).active = true;
    state.user(*target).ban_ends_ms = 0;
  }
  return place_banned || lifted;
}

}  // namespace tvl
