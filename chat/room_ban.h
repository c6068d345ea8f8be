// The room commands that act on a visitor, in one place for the input
// form's ban and unban commands of a room's administrators and for the
// operator's "tvlctl ban" and "tvlctl kick", so that all of them find the
// same visitor and ban the same way.
//
// The same name: a place is the visitor a typed (decoded) name names when
// both fold to one account name (account_name_fold: "Ann", "ANN" and "ann"
// are one), the rule of accounts and of the room bans.
//
// A ban: the place stays in its room but may no longer post, and the ban
// outlasts the place (entering the room again keeps it) and covers the
// client network the place was entered from (entering under another name
// from there is banned too), until an administrator lifts it or the
// program ends (RoomBans).
// Thread safety: every function needs the chat lock held; RoomBans has its
// own leaf lock.
#pragma once
#include <optional>
#include <string>

#include "chat/account_guard.h"
#include "chat/chat_state.h"

namespace tvl {

// Whether `place` is the visitor `decoded_name` names (same fold).
bool is_same_visitor(const OnlineUser& place, const std::string& decoded_name);

// The first place of `room` whose visitor is `decoded_name`; none when
// nobody of that name is in the room.
std::optional<int> find_visitor_in_room(const ChatState& state, int room,
                                        const std::string& decoded_name)
    REQUIRES(state.chat_lock());

// Bans `decoded_name` in `room` (1..room_count_locked()) until `ends_ms`
// of the chat clock (0: until lifted). False when nobody of that name is in
// the room; nothing changes then.
[[nodiscard]] bool ban_in_room(ChatState& state, RoomBans& bans, int room,
                               const std::string& decoded_name, long long ends_ms = 0)
    REQUIRES(state.chat_lock());

// Whether `place` is banned at `now_ms`; a timed ban that has ended is
// lifted from the place here (the stored ban no longer counts by itself).
bool place_banned(OnlineUser& place, long long now_ms);

// Lifts the ban of `decoded_name` in `room` (1..room_count_locked()): the
// stored ban and the place's, when it is in the room. False when there was
// neither; nothing changes then.
[[nodiscard]] bool unban_in_room(ChatState& state, RoomBans& bans, int room,
                                 const std::string& decoded_name) REQUIRES(state.chat_lock());

}  // namespace tvl
