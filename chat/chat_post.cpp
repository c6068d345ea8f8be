// The chat message post: one line from the input form becomes a formatted
// HTML line in the room's ring (or a room command of an administrator), and
// the answer shows the sender's own line at once.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "chat/board_line.h"
#include "chat/chat_pages.h"
#include "chat/delivery.h"
#include "chat/html_guard.h"
#include "chat/page_escape.h"
#include "chat/place_key.h"
#include "chat/room_admin.h"
#include "chat/room_ban.h"
#include "chat/query.h"
#include "server/same_site.h"
#include "chat/script_string.h"
#include "chat/template_fill.h"
#include "chat/link_maker.h"
#include "chat/visitor_bounds.h"
#include "server/form_text.h"
#include "storage/account.h"

namespace tvl {

namespace {

const char kNoPermission[] = "no permission!";
// A post that a page of another site made the visitor's browser send.
const char kOtherSitePage[] =
    "<BODY bgcolor=\"#EBEBD6\">This form must be sent from this chat's own pages.</body>";
const char kNotOnlinePage[] = "<BODY bgcolor=\"#EBEBD6\">invalid username!</body>";
// An addressee that no user could be called (it would stand in the line's
// script link and HTML).
const char kBadAddresseePage[] =
    "<BODY bgcolor=\"#EBEBD6\">This username is not allowed, please choose another "
    "username!</body>";
// A line longer than kMaxMessageBytes (as decoded); nothing of it is kept.
const char kTooLongPage[] =
    "<BODY bgcolor=\"#EBEBD6\">This message is too long, please send at most 4000 "
    "characters!</body>";

// A place that sends more lines than PostBurst at once, or more than one
// per PostIntervalMs after that; the line is neither kept nor logged (the
// window keeps it in the input to be sent again).
const char kTooFastPage[] =
    "<BODY bgcolor=\"#EBEBD6\">You are sending too fast, please wait a moment before you send "
    "again!</body>";
// A line that formatting would make more than four times as long (nearly
// all of it characters the HTML guard must write as references).
const char kTooMuchMarkupPage[] =
    "<BODY bgcolor=\"#EBEBD6\">This message holds too much markup, please send it as plain "
    "text!</body>";

enum Command { kSay = 0, kBan = 1, kUnban = 2, kBannedList = 3 };

struct Form {
  std::string message;
  std::string to_whom = "All";
  int command = kSay;
  int style = 0;
  int colour = 0;
  int face = 0;
  bool split = false;
  bool private_line = false;
};

// The form's fields, found in the whole request text; each value runs to
// the key the form sends after it and is empty when either key is missing.
Form read_form(std::string_view request) {
  constexpr MissingNext kEmpty = MissingNext::Empty;
  Form f;
  f.message = key_value(request, "message=", "&chat_flag=", kEmpty);
  form_decode(f.message);
  if (!has_key(request, "&mtowho=")) return f;
  f.to_whom = key_value(request, "&mtowho=", "&mfilters=", kEmpty);
  form_decode(f.to_whom);
  f.command = key_number(request, "&mfilters=", "&mfont=", kEmpty);
  f.style = key_number(request, "&mfont=", "&mfcolor=", kEmpty);
  f.colour = key_number(request, "&mfcolor=", "&elist=", kEmpty);
  // No colour is defined outside the table; such posts are shown in black.
  if (f.colour < 0 || f.colour > 19) f.colour = 1;
  f.face = key_number(request, "&elist=", "&seltype=", kEmpty);
  f.split = has_key(request, "&msplit=");
  f.private_line = has_key(request, "&mqqsay=");
  return f;
}

std::string format_message(const Form& f) {
  if (f.style < 0 && f.colour == 1) return f.message;  // as typed
  const char* colour = message_colours[f.colour];
  std::string text = std::string("<font color=") + colour + (f.style == 3 ? " size=5>" : " size=2>") +
                     f.message + "</font>";
  if (f.style == 1) text = "<strong>" + text + "</strong>";
  else if (f.style == 2) text = "<em>" + text + "</em>";
  if (f.face > 0) {
    char face[64];
    std::snprintf(face, sizeof face, " <img src=/face/%d.gif border=0>", f.face);
    text += face;
  }
  return text;
}

// The message text as it is kept: links made and HTML guarded within the
// bound of max_formatted_bytes(typed). When even the guarded text without
// links is over the bound (a line full of characters the guard must write
// as references), false.
bool bounded_line_text(const std::string& formatted, std::size_t typed,
                       const GuardOptions& options, std::string& kept) {
  const std::size_t bound = max_formatted_bytes(typed);
  kept = guard_html(make_links(formatted, bound), options);
  if (kept.size() <= bound) return true;
  kept = guard_html(formatted, options);
  return kept.size() <= bound;
}

}  // namespace

void chat_post(ChatContext& ctx, const HttpRequest& http, std::string& out) {
  const std::string_view request = http.text;
  const std::string& ip = http.client;
  if (!has_key(request, "message=")) return;
  if (!request_from_this_site(http)) {
    out = kOtherSitePage;
    return;
  }

  // 1-2. The form and the formatted text (no lock needed).
  Form form = read_form(request);
  // Every kept line is sent to every user of the room again and again, so
  // its length is bounded before anything else is done with it.
  if (form.message.size() > kMaxMessageBytes) {
    out = kTooLongPage;
    return;
  }
  std::string log_text = form.message;
  std::string text = form.message;
  if (form.command == kSay && !text.empty()) text = format_message(form);

  // 3. Who posts, from the request line.
  const std::string_view line = http.line.path;
  if (line.find("?username=") == std::string::npos || line.find("&password=") == std::string::npos ||
      line.find("&room=") == std::string::npos)
    return;
  std::string name = key_value(line, "?username=", "&password=");
  form_decode(name);
  const std::string password = key_value(line, "&password=", "&room=");
  std::string room_text = key_value(line, "&room=");
  room_text = room_text.substr(0, room_text.find(' '));
  const int room = key_number(line, "&room=");
  auto rooms = ctx.state.rooms();
  if (room < 1 || room > static_cast<int>(rooms->size())) return;
  const RoomInfo& info = (*rooms)[room - 1];

  // The name and the addressee stand in the line's script link and in HTML;
  // the name may also name an account file.
  if (!user_name_allowed(name)) {
    out = kNotOnlinePage;
    return;
  }
  if (!form.to_whom.empty() && form.to_whom != "All" && !user_name_allowed(form.to_whom)) {
    out = kBadAddresseePage;
    return;
  }

  // Flood control: every line and every room command of a place counts
  // (an empty line changes only the sender's pane). Checked before a
  // command acts; a sender not online is answered further down.
  if (form.command >= kBan || !form.message.empty()) {
    ChatState::Hold chat(ctx.state);
    if (room > ctx.state.room_count_locked()) return;  // rooms reloaded meanwhile
    const int sender = find_keyed_user(ctx.state, room, name, password);
    if (sender < ctx.state.online_count() &&
        !take_post_turn(ctx.state.user(sender).post_due_ms, ctx.now_ms(),
                        ctx.site.settings.post_burst, ctx.site.settings.post_interval_ms)) {
      out = kTooFastPage;
      return;
    }
  }

  // 4. Room commands of administrators.
  if (form.command >= kBan) {
    // An administrator's place: entered as that member, proven by its key.
    bool administrator = is_room_administrator(info.admin, name);
    if (administrator) {
      ChatState::Hold chat(ctx.state);
      const int sender = room <= ctx.state.room_count_locked()
                             ? find_keyed_user(ctx.state, room, name, password)
                             : ctx.state.online_count();
      administrator = sender < ctx.state.online_count() && ctx.state.user(sender).member;
    }
    if (!administrator) {
      out = kNoPermission;
      return;
    }
    text.clear();
    if (form.command == kBan) {
      if (form.to_whom == "All" || form.to_whom == name) {
        out = kNoPermission;
        return;
      }
      ChatState::Hold chat(ctx.state);
      if (room <= ctx.state.room_count_locked() &&
          ban_in_room(ctx.state, ctx.guards->bans, room, form.to_whom)) {
        log_text = "[" + form.to_whom + "] has been banned!";
        text = "[" + escape_html(form.to_whom) + "] has been banned!";
      }
    } else if (form.command == kUnban) {
      if (form.to_whom == "All") {
        out = kNoPermission;
        return;
      }
      ChatState::Hold chat(ctx.state);
      if (room <= ctx.state.room_count_locked() &&
          unban_in_room(ctx.state, ctx.guards->bans, room, form.to_whom)) {
        log_text = "[" + form.to_whom + "] has been unbanned!";
        text = "[" + escape_html(form.to_whom) + "] has been unbanned!";
      }
    } else if (form.command == kBannedList) {
      std::string list, shown;
      ChatState::Hold chat(ctx.state);
      const long long now = ctx.now_ms();
      for (int i = 0; i < ctx.state.online_count(); ++i) {
        OnlineUser& u = ctx.state.user(i);
        if (u.room != room || !place_banned(u, now)) continue;
        if (!list.empty()) list += ",", shown += ",";
        list += u.name;
        shown += escape_html(u.name);
      }
      if (!list.empty()) {
        log_text = "kicked list: " + list;
        text = "kicked list: " + shown;
      }
    }
    // The log gets the command's text as typed; the line its page form.
    if (text.empty()) log_text.clear();
  }

  // 5.
  log_text = name + " to " + form.to_whom + ": " + log_text;

  // 6-8. The line, pushed under the chat lock with the sender's fields.
  std::string pushed;
  Delivery answer;
  {
    ChatState::Hold chat(ctx.state);
    if (room > ctx.state.room_count_locked()) return;  // rooms reloaded meanwhile
    const long long now = ctx.now_ms();
    sweep_idle_users(ctx, now);
    // Only the visitor holding the place's key speaks (and receives) as it.
    const int sender = find_keyed_user(ctx.state, room, name, password);
    if (sender >= ctx.state.online_count()) {
      out = kNotOnlinePage;
      return;
    }
    ctx.state.user(sender).last_active_ms = now;
    const bool banned = place_banned(ctx.state.user(sender), now);
    if (!text.empty()) {
      chat.unlock();  // formatting needs no lock
      if (form.command <= kSay && !banned) {
        GuardOptions options;
        options.remote_pictures = ctx.site.settings.remote_pictures;
        std::string kept;
        if (!bounded_line_text(text, form.message.size(), options, kept)) {
          out = kTooMuchMarkupPage;
          return;
        }
        text = std::move(kept);
      }
      const std::string time = local_time_hms();
      std::string to_whom = form.to_whom;
      if (form.command <= kSay && !banned) {
        const bool is_private = form.private_line && to_whom != "All";
        pushed = said_line(time, name, to_whom, is_private, text);
        if (is_private) log_text = "* " + log_text;
      } else if (form.command <= kSay) {
        to_whom = name;
        pushed = notice_line("You have been banned!", true);
      } else {
        to_whom = "All";
        pushed = notice_line(text);
      }
      chat.lock();
      // The user may have left, or the rooms may have been reloaded, while
      // the line was made.
      if (room > ctx.state.room_count_locked()) return;
      const int again = find_keyed_user(ctx.state, room, name, password);
      if (again >= ctx.state.online_count()) {
        out = kNotOnlinePage;
        return;
      }
      if (ctx.log_event) ctx.log_event(ip, time, log_text);
      // Lines the others pushed since the sender's last poll go out with this
      // answer: the sender's delivery point moves past them below, and the
      // stream would never hand them out.
      OnlineUser& u = ctx.state.user(again);
      take_undelivered(ctx.state.ring(room), u, u.name, form.split, answer);
      // A private line belongs to the place it is written to now (the
      // banned sender's own notice to the sender's place); a later visitor
      // of that name never receives it.
      unsigned long long to_place = 0;
      if (is_private_line(pushed)) {
        const int addressee = to_whom == name ? again : ctx.state.find_online_user(room, to_whom);
        to_place = addressee < ctx.state.online_count() ? ctx.state.user(addressee).place_id
                                                        : ~0ULL;
      }
      ctx.state.push_message(room, pushed, to_whom, to_place);
      u.last_seq = ctx.state.ring(room).seq;
      u.split = form.split;
    } else if (form.command == kSay) {
      ctx.state.user(sender).split = form.split;
    }
  }

  // 9. The answer.
  out = *ctx.site.templates[T_BODY].get();
  fill_marker(out, "<!--$user-->", escape_address_value(name));
  fill_marker(out, "<!--$pass-->", escape_address_value(password));
  fill_marker(out, "<!--$room-->", escape_address_value(room_text));
  if (!pushed.empty()) (form.split ? answer.own : answer.board) += pushed;
  fill_delivery(out, answer);
}

}  // namespace tvl
