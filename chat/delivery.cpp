#include "chat/delivery.h"

#include "chat/script_string.h"
#include "chat/template_fill.h"

namespace tvl {

namespace {

const char kMsgMarker[] = "<!--$msg-->";

// A ring line is private when it begins "<br>*" (the post writes them so).
bool private_line(const std::string& text) { return text.size() > 4 && text[4] == '*'; }

}  // namespace

void take_undelivered(const RoomMessages& ring, OnlineUser& user, const std::string& name,
                      bool split, Delivery& out) {
  int first = 0, last = -1;
  ChatState::delivery_window(ring, user.last_seq, first, last);
  user.last_seq = ring.seq;
  for (int p = first; p <= last; ++p) {
    const std::string& text = ring.text[ring.slot_of[p]];
    const bool to_user = name == ring.to_whom[p];
    if (split) {
      if (to_user) out.own += text;
      else if (!private_line(text)) out.board += text;
    } else if (!private_line(text) || to_user) {
      out.board += text;
    }
  }
}

void fill_delivery(std::string& page, const Delivery& delivery) {
  if (!delivery.own.empty())
    fill_marker(page, kMsgMarker,
                "parent.mymsg.document.body.innerHTML=parent.mymsg.document.body.innerHTML+\"" +
                    escape_for_script_string(delivery.own) + "\";" + kMsgMarker);
  if (!delivery.board.empty())
    fill_marker(page, kMsgMarker,
                "parent.board.document.body.innerHTML=parent.board.document.body.innerHTML+\"" +
                    escape_for_script_string(delivery.board) + "\";");
}

}  // namespace tvl
