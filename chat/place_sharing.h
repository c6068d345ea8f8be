// PlaceSharing: the online table of a chat that several servers share.
// Every server holds the whole table in memory; each change a server makes
// to a place (an entry, a leave, a ban or its end, a member's take-over) is
// made in its own table at once and handed over here, and the other servers
// apply it to theirs, in the one order of the room's lines: a "joined" line
// and the entry itself, a leave and its "left" line, stand in the same
// order on every server. The presence line of a change travels with it and
// reaches this server's ring the way every line does (chat/line_publisher.h),
// so that it carries the cluster's number.
//
// Places expire for the whole chat, not for the one server that last saw
// them: with sharing, sweep_idle_users leaves nobody, and the sharer asks
// its chat to leave the places that no server saw within the presence time.
//
// The room bans (chat/room_ban.h) are the whole chat's too: a ban or its
// lifting is handed over here as well, and every other server records it
// in its own RoomBans, so that the name (and its network) is banned in that
// room on whichever server it enters.
//
// Thread safety: share() and share_ban() are called by client threads with
// the chat lock held and never wait; settle() without it.
#pragma once
#include <string>

#include "chat/chat_state.h"

namespace tvl {

struct PlaceEvent {
  enum class Kind { Enter, Leave, Update };
  Kind kind = Kind::Update;
  int room = 0;       // 1..room count of this server
  // Enter and Update: the place as it stands now (its key never leaves the
  // server: key_digest does). Leave: its place_id and name.
  OnlineUser place;
  std::string address;  // the join address (Enter)
  std::string line;     // the presence line that goes with it; empty: none
  // The chat clock now, so that a ban's end is sent as the time left.
  long long now_ms = 0;
};

// A room ban set or lifted: the room (1..room count of this server), the
// name as typed, and for a ban the banned place's join address and the
// ban's end on the chat clock (0: until lifted), with the chat clock now so
// that the end travels as the time left.
struct BanEvent {
  bool lifted = false;
  int room = 0;
  std::string name;
  std::string address;
  long long ends_ms = 0;
  long long now_ms = 0;
};

class PlaceSharing {
 public:
  virtual ~PlaceSharing() = default;
  virtual void share(PlaceEvent event) = 0;
  virtual void share_ban(BanEvent event) = 0;
  // Waits (bounded) until what this server shared so far stands in the
  // shared order, so that the next request of the visitor finds the place
  // on whichever server it reaches.
  virtual void settle() = 0;
};

}  // namespace tvl
