// The pages around the chat itself: the start page with the rooms and how
// many people are in each (index.ghp), the room's header frame (ad.ghp), the
// search for where a user is (finduser.ghp) and the table of the pictures
// users can choose (previewicons.ghp). They only read the chat state and the
// picture folder.
#include "chat/chat_pages.h"
#include "chat/page_escape.h"
#include "chat/query.h"
#include "chat/script_string.h"
#include "chat/template_fill.h"
#include "platform/fs.h"
#include "storage/account.h"

namespace tvl {

// The address the room frame links to as the product's site: the help pages
// that ship with the program, so the link works on every installation.
const char kProductSiteLink[] = "/help/index.html";

bool page_index(ChatContext& ctx, const std::string& path, std::string& out) {
  std::string items, access;
  int total = 0;
  {
    ChatState::Hold chat(ctx.state);
    // The counts leave out windows that have gone, even when nobody polls.
    sweep_idle_users(ctx, ctx.now_ms());
    auto rooms = ctx.state.rooms();
    const int room_count = static_cast<int>(rooms->size());
    std::vector<int> in_room(room_count + 1, 0);
    total = ctx.state.online_count();
    for (int i = 0; i < total; ++i) {
      const int room = ctx.state.user(i).room;
      if (room >= 1 && room <= room_count) ++in_room[room];
    }
    // Seven elements per room: name, users in it, false, administrator
    // text, "/01/", 0, room number. The texts stand between double quotes of
    // the page's script, so a quote or "</script>" in a room's name or
    // administrator text must not end the string or the script.
    for (int n = 1; n <= room_count; ++n) {
      const RoomInfo& room = (*rooms)[n - 1];
      items += '"';
      items += escape_for_script_string(room.name);
      items += "\",\"";
      items += std::to_string(in_room[n]);
      items += "\",false,\"";
      items += escape_for_script_string(room.admin);
      items += "\",\"/01/\",0,";
      items += std::to_string(n);
      items += ',';
      // Who may enter, so the start page can say so before anybody tries.
      if (n > 1) access += ',';
      access += room.admin_only ? "\"admins\"" : room.guest ? "\"guests\"" : "\"members\"";
    }
  }
  while (!items.empty() && items.back() == ',') items.pop_back();

  out = *ctx.site.templates[T_INDEX].get();
  fill_marker(out, "<!--roominfo-->", "var rooms = new Array(" + items + ")");
  fill_marker(out, "<!--onlineusers-->", "var OnlineUsers = " + std::to_string(total) + " ;");
  // A marker of our own start page; templates without it are unchanged.
  fill_marker(out, "<!--roomaccess-->", "var RoomAccess = new Array(" + access + ");");
  return true;
}

bool page_ad(ChatContext& ctx, const std::string& path, std::string& out) {
  if (!has_key(path, "?room=")) return false;
  const int room = key_number(path, "?room=");
  auto rooms = ctx.state.rooms();
  if (room < 1 || room > static_cast<int>(rooms->size())) return false;
  out = *ctx.site.templates[T_AD].get();
  fill_marker(out, "<!--roomname-->", escape_html((*rooms)[room - 1].name));
  fill_marker(out, "<!--link-->", kProductSiteLink);
  return true;
}

bool page_finduser(ChatContext& ctx, const std::string& path, std::string& out) {
  // The rest of the address after the key, as it stands.
  const std::string name = key_value(path, "?username=");
  std::string found;
  {
    ChatState::Hold chat(ctx.state);
    sweep_idle_users(ctx, ctx.now_ms());
    auto rooms = ctx.state.rooms();
    const int room_count = static_cast<int>(rooms->size());
    const int online = ctx.state.online_count();
    for (int i = 0; i < online; ++i) {
      const OnlineUser& u = ctx.state.user(i);
      if (!same_name_ignoring_case(u.name, name)) continue;
      // After a reload of the rooms a user may hold a number that no longer
      // names a room; such a user is in no room that could be named.
      if (u.room < 1 || u.room > room_count) continue;
      found += "[" + escape_html(name) + "] is in [" + escape_html((*rooms)[u.room - 1].name) +
               "]<br>";
    }
  }
  if (found.empty()) found = "Not found!";
  out = *ctx.site.templates[T_FINDRESULT].get();
  fill_marker(out, "<!--$Find-->", found);
  return true;
}

bool page_previewicons(ChatContext& ctx, const std::string& path, std::string& out) {
  std::string cells = "<tr>";
  int n = 0;
  for (const std::string& file : find_files(ctx.site.program_folder + "images/*.gif")) {
    // Only names that may stand unquoted in "SRC=" (and be chosen at
    // registration) are shown.
    if (!picture_name_plain(file)) continue;
    cells += "<td align=\"center\" height=50><font size=\"2\"><IMG SRC=images/" + file + "><br>" +
             file + "</font></td>";
    if (++n % 10 == 0) cells += "</tr><tr>";
  }
  out = *ctx.site.templates[T_PREVIEWICONS].get();
  fill_marker(out, "<!--$Icon-->", cells);
  return true;
}

}  // namespace tvl
