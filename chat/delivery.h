// Handing a user the lines of the room that the user has not received yet,
// sorted into the board and the own-messages pane, and writing them into the
// body page's "<!--$msg-->" chain. Both the message stream and the post's
// answer deliver this way, so a line is given to each user exactly once.
#pragma once
#include <string>

#include "chat/chat_state.h"

namespace tvl {

// Lines a user sees of a room's history on entering.
constexpr int kNewcomerLines = 50;

struct Delivery {
  std::string own;    // lines for the own-messages pane
  std::string board;  // lines for the board
  bool empty() const { return own.empty() && board.empty(); }
};

// Which kept lines (ring positions first..last, oldest first) a user whose
// last_seq is `last_seq` has not received, and how many lines it has missed
// because they were dropped from the ring before it asked. A newcomer
// (last_seq 0) gets the last kNewcomerLines and misses nothing; a user up to
// date, or ahead of the ring (which a reload never leaves it: see
// ChatState::replace_rooms), gets nothing.
struct DeliveryWindow {
  int first = 0;
  int last = -1;
  int missed = 0;
};
DeliveryWindow delivery_window(const RoomMessages& ring, int last_seq);

// The board line that stands for `missed` lines a user did not get.
std::string missed_lines_notice(int missed);

// Chat lock held. Appends the lines pushed after user.last_seq to `out`
// (with a notice first when some of them are no longer kept) and moves
// user.last_seq to ring.seq. A line goes to the own pane when `split` is on
// and its addressee equals `name` ignoring case; private lines
// (is_private_line, chat/board_line.h) go only to the place they were written to
// (RingLine::to_place == user.place_id) and are skipped for all others; a
// line its own place wrote while streaming (RingLine::from_place) is skipped
// for that place.
void take_undelivered(const RoomMessages& ring, OnlineUser& user, const std::string& name,
                      bool split, Delivery& out);

// Fills the page's "<!--$msg-->" chain with the own-pane statement (keeping a
// marker behind it) and then the board statement, each only when it has text.
void fill_delivery(std::string& page, const Delivery& delivery);

}  // namespace tvl
