// Handing a user the lines of the room that the user has not received yet,
// sorted into the board and the own-messages pane, and writing them into the
// body page's "<!--$msg-->" chain. Both the message stream and the post's
// answer deliver this way, so a line is given to each user exactly once.
#pragma once
#include <string>

#include "chat/chat_state.h"

namespace tvl {

struct Delivery {
  std::string own;    // lines for the own-messages pane
  std::string board;  // lines for the board
};

// Chat lock held. Appends the lines pushed after user.last_seq (at most the
// 20 kept) to `out` and moves user.last_seq to ring.seq. A line goes to the
// own pane when `split` is on and its addressee equals `name` ignoring case;
// private lines (beginning "<br>*") go only to the place they were written
// to (RoomMessages::to_place == user.place_id) and are skipped for all
// others.
void take_undelivered(const RoomMessages& ring, OnlineUser& user, const std::string& name,
                      bool split, Delivery& out);

// Fills the page's "<!--$msg-->" chain with the own-pane statement (keeping a
// marker behind it) and then the board statement, each only when it has text.
void fill_delivery(std::string& page, const Delivery& delivery);

}  // namespace tvl
