#include "chat/delivery.h"

#include <algorithm>

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
  if (kept == 0 || ring.seq <= last_seq) {
    w.first = kept;  // nothing
    return w;
  }
  if (last_seq == 0) {
    w.first = kept > kNewcomerLines ? kept - kNewcomerLines : 0;
    return w;
  }
  // The first kept line numbered after last_seq (numbers rise, and may skip
  // in a cluster, so the position is searched rather than counted).
  const auto after = std::upper_bound(
      ring.lines.begin(), ring.lines.end(), last_seq,
      [](int seq, const RingLine& line) { return seq < line.seq; });
  w.first = static_cast<int>(after - ring.lines.begin());
  // Lines numbered between last_seq and the oldest kept one were dropped.
  if (w.first == 0 && ring.lines.front().seq > last_seq + 1)
    w.missed = ring.lines.front().seq - last_seq - 1;
  return w;
}

std::string missed_lines_notice(int missed) {
  return notice_line("(" + std::to_string(missed) + (missed == 1 ? " line" : " lines") +
                     " missed)");
}

void take_undelivered(const RoomMessages& ring, OnlineUser& user, const std::string& name,
                      bool split, Delivery& out) {
  const DeliveryWindow w = delivery_window(ring, user.last_seq);
  // A place can stand ahead of the ring only in a cluster, when the visitor
  // brought a number this server has not reached yet: it stays there.
  if (ring.seq > user.last_seq) user.last_seq = ring.seq;
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
