#include "chat/delivery.h"

#include "chat/board_line.h"
#include "chat/script_string.h"
#include "chat/template_fill.h"

namespace tvl {

namespace {

const char kMsgMarker[] = "<!--$msg-->";

}  // namespace

DeliveryWindow delivery_window(const RoomMessages& ring, int last_seq) {
  DeliveryWindow w;
  const int kept = ring.kept();
  w.last = kept - 1;
  const int behind = ring.seq - last_seq;
  if (kept == 0 || behind <= 0) {
    w.first = kept;  // nothing
    return w;
  }
  if (last_seq == 0) {
    w.first = kept > kNewcomerLines ? kept - kNewcomerLines : 0;
    return w;
  }
  if (behind > kept) {
    w.missed = behind - kept;
    w.first = 0;
  } else {
    w.first = kept - behind;
  }
  return w;
}

std::string missed_lines_notice(int missed) {
  return notice_line("(" + std::to_string(missed) + (missed == 1 ? " line" : " lines") +
                     " missed)");
}

void take_undelivered(const RoomMessages& ring, OnlineUser& user, const std::string& name,
                      bool split, Delivery& out) {
  const DeliveryWindow w = delivery_window(ring, user.last_seq);
  user.last_seq = ring.seq;
  if (w.missed > 0) out.board += missed_lines_notice(w.missed);
  for (int p = w.first; p <= w.last; ++p) {
    // The writer's own line was in its post's answer.
    if (ring.from_place(p) != 0 && ring.from_place(p) == user.place_id) continue;
    const std::string& text = ring.text(p);
    // A private line reaches only the place it was written to, not a later
    // visitor of the same name; other lines go to the own pane by the
    // addressee's name, compared like names are (ignoring case).
    const bool is_private = is_private_line(text);
    const bool to_user = is_private ? ring.to_place(p) != 0 && ring.to_place(p) == user.place_id
                                    : same_name_ignoring_case(ring.to_whom(p), name);
    if (split) {
      if (to_user) out.own += text;
      else if (!is_private) out.board += text;
    } else if (!is_private || to_user) {
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
