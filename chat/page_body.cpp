// The message stream: body.ghp hands each user the lines of the room that
// the user has not received yet, as script statements for the board and the
// own-messages frame, and tells the browser when to reload its user list.
#include <chrono>
#include <thread>

#include "chat/chat_pages.h"
#include "chat/delivery.h"
#include "chat/page_escape.h"
#include "chat/place_key.h"
#include "chat/query.h"
#include "chat/script_string.h"
#include "chat/template_fill.h"

namespace tvl {

namespace {

const char kMsgMarker[] = "<!--$msg-->";

}  // namespace

bool page_body(ChatContext& ctx, const std::string& path, std::string& out) {
  if (!has_key(path, "?username=") || !has_key(path, "&password=") || !has_key(path, "&room="))
    return false;
  const std::string name = key_value(path, "?username=", "&password=");
  const std::string password = key_value(path, "&password=", "&room=");
  const int room = key_number(path, "&room=");
  if (room < 1 || room > ctx.state.room_count()) return false;

  std::string users_statement;
  Delivery delivery;
  bool first_delivery = false;
  {
    std::lock_guard<std::mutex> chat(ctx.state.lock);
    ChatState& state = ctx.state;
    // The rooms may have been reloaded since the check above.
    if (room > state.room_count_locked()) return false;
    // One clock read per poll: it stamps the user's presence and decides
    // whether a sweep for stale places is due.
    const long long now = ctx.now_ms();
    sweep_idle_users(ctx, now);
    // A request without the place's key is answered as if the user were
    // not online: it neither reads the user's lines nor moves them on.
    const int index = find_keyed_user(state, room, name, password);
    if (index >= state.online_count()) {
      out = *ctx.site.templates[T_BODY].get();
      return true;
    }
    OnlineUser& user = state.user(index);
    user.last_active_ms = now;  // banned users too: they time out the same way
    if (!user.active) {
      out = "You have been banned!";
      return true;
    }
    first_delivery = user.last_seq == 0;
    take_undelivered(state.ring(room), user, name, user.split, delivery);

    if (user.known_online != state.online_count()) {
      user.known_online = state.online_count();
      users_statement = "parent.users.window.location.href=\"users.ghp?username=" +
                        escape_for_script_string(escape_address_value(name)) +
                        "&password=" + escape_for_script_string(escape_address_value(password)) +
                        "&room=" + std::to_string(room) + "\";" + kMsgMarker;
    }
  }

  out = *ctx.site.templates[T_BODY].get();
  if (!users_statement.empty()) fill_marker(out, kMsgMarker, users_statement);
  fill_delivery(out, delivery);

  // The new chat window's frames are still loading; give them a moment. The
  // chat lock is not held here.
  if (first_delivery && ctx.first_poll_delay_ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(ctx.first_poll_delay_ms));
  return true;
}

}  // namespace tvl
