// The user list of a room (users.ghp) and leaving a room (exit.ghp). Both
// take /<page>?username=<name>&password=<password>&room=<room>, with the
// values used as they stand in the address. The password value is the key of
// the user's place (chat/place_key.h): the list marks the user's own line,
// and exit.ghp removes the place, only when it matches.
#include "chat/chat_pages.h"
#include "chat/page_escape.h"
#include "chat/place_key.h"
#include "chat/query.h"
#include "chat/template_fill.h"
#include "storage/account.h"

namespace tvl {

namespace {

// Shown for a place whose picture name is not plain.
const char kDefaultPicture[] = "2.gif";

struct RoomRequest {
  std::string name, password, room_text;
  int room = 0;
};

// False when a key is missing; the room number is not range-checked here.
bool read_room_request(const std::string& path, RoomRequest& r) {
  if (!has_key(path, "?username=") || !has_key(path, "&password=") || !has_key(path, "&room="))
    return false;
  r.name = key_value(path, "?username=", "&password=");
  r.password = key_value(path, "&password=", "&room=");
  r.room_text = key_value(path, "&room=");
  r.room = key_number(path, "&room=");
  return true;
}

}  // namespace

bool page_users(ChatContext& ctx, const std::string& path, std::string& out) {
  RoomRequest r;
  if (!read_room_request(path, r)) return false;
  if (r.room < 1 || r.room > ctx.state.room_count()) return false;

  std::string list, room_name;
  int count = 0;
  {
    ChatState::Hold chat(ctx.state);
    // Taken under the chat lock, the room table belongs to the users' room
    // numbers; the rooms may have been reloaded since the check above.
    auto rooms = ctx.state.rooms();
    if (r.room > static_cast<int>(rooms->size())) return false;
    room_name = (*rooms)[r.room - 1].name;
    // The list shows nobody whose window has gone.
    sweep_idle_users(ctx, ctx.now_ms());
    const int online = ctx.state.online_count();
    // The requester's own place, when the key proves it.
    const std::optional<int> own = find_keyed_user(ctx.state, r.room, r.name, r.password);
    for (int i = 0; i < online; ++i) {
      const OnlineUser& u = ctx.state.user(i);
      if (u.room != r.room) continue;
      const std::string name = u.name;
      list += "<img src=/images/";
      // Places get only plain picture names; this keeps it so.
      list += picture_name_plain(u.icon) ? u.icon : kDefaultPicture;
      // The page's own script answers a click on the name (no script in the
      // address: the pages run none but their own files).
      list += ">[<a href=\"#\" data-name=\"" + escape_html(name) + "\">" + escape_html(name) + "</a>]";
      // The own line is marked only for the very spelling the page asks with.
      list += own == i && name == r.name ? "<==<br>" : "<br>";
      ++count;
    }
  }

  out = *ctx.site.templates[T_USERS].get();
  fill_marker(out, "<!--roomname-->", escape_html(room_name));
  fill_marker(out, "<!--count-->", std::to_string(count));
  fill_marker(out, "<!--users-->", list);
  fill_marker(out, "<!--$user-->", escape_address_value(r.name));
  fill_marker(out, "<!--$pass-->", escape_address_value(r.password));
  fill_marker(out, "<!--$room-->", escape_address_value(r.room_text));
  return true;
}

bool page_exit(ChatContext& ctx, const std::string& ip, const std::string& path, std::string& out) {
  RoomRequest r;
  if (!read_room_request(path, r)) return false;
  if (r.room < 1 || r.room > ctx.state.room_count()) return false;

  {
    ChatState::Hold chat(ctx.state);
    auto rooms = ctx.state.rooms();
    if (r.room > static_cast<int>(rooms->size())) return false;
    sweep_idle_users(ctx, ctx.now_ms());
    // Both texts name the user as the request spells it.
    if (const std::optional<int> index = find_keyed_user(ctx.state, r.room, r.name, r.password))
      leave_room(ctx, *index, ip, r.name);
  }
  out = "You have logged out the chat room successfully!";
  return true;
}

}  // namespace tvl
