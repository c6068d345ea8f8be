// The chat message post: one line from the input form becomes a formatted
// HTML line in the room's ring (or a room command of an administrator), and
// the answer shows the sender's own line at once.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
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

// A private line needs one person to go to: "private to All" would reach
// everybody while the sender's form says it is private.
const char kPrivateToAllPage[] =
    "<BODY bgcolor=\"#EBEBD6\">A private message needs one addressee, please choose a name or "
    "send it to All without Private!</body>";

// Several servers share the chat and the one carrying lines between them
// (Redis) cannot be reached: the line is kept nowhere and the window keeps
// it in the input, to be sent again.
const char kNotSharedPage[] =
    "<BODY bgcolor=\"#EBEBD6\">The chat cannot pass your message on right now, so it was not "
    "sent. Please send it again in a moment!</body>";

// The form's command field: 0 (and below) a chat line, then the three room
// commands of administrators; any other number does nothing.
constexpr int kSay = 0;
constexpr int kBan = 1;
constexpr int kUnban = 2;
constexpr int kBannedList = 3;

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

// What a post asks for, read from the request before anything is looked up.
struct Post {
  Form form;
  std::string name;       // the sender's name from the page address, decoded
  std::string password;   // the place's key as the address carries it
  std::string room_text;  // the room value as it stands
  int room = 0;
  std::shared_ptr<const std::vector<RoomInfo>> rooms;  // the table `room` was checked against

  const RoomInfo& info() const { return (*rooms)[room - 1]; }
  bool command() const { return form.command >= kBan; }
};

// What the post makes: the line for the room's ring and the log's event.
struct Line {
  std::string pushed;    // the whole ring line; empty: nothing is pushed
  std::string to_whom;   // its addressee
  std::string log_text;  // "<name> to <addressee>: ..." as the log keeps it
  std::string time;      // "%H:%M:%S"
};

// Each step below returns false when the answer is decided: `out` then
// holds it (left empty: an empty page).

// The form and the sender's identity, from the request alone.
bool read_post(ChatContext& ctx, const HttpRequest& http, Post& post, std::string& out) {
  const std::string_view request = http.text;
  if (!has_key(request, "message=")) return false;
  if (!request_from_this_site(http)) {
    out = kOtherSitePage;
    return false;
  }
  post.form = read_form(request);
  // Every kept line is sent to every user of the room again and again, so
  // its length is bounded before anything else is done with it.
  if (post.form.message.size() > kMaxMessageBytes) {
    out = kTooLongPage;
    return false;
  }
  const Form& form = post.form;
  if (form.command < kBan && form.private_line && !form.message.empty() &&
      (form.to_whom == "All" || form.to_whom.empty())) {
    out = kPrivateToAllPage;
    return false;
  }
  // Who posts: the page address of the request line.
  const std::string_view address = http.line.path;
  if (!has_key(address, "?username=") || !has_key(address, "&password=") ||
      !has_key(address, "&room="))
    return false;
  post.name = key_value(address, "?username=", "&password=");
  form_decode(post.name);
  post.password = key_value(address, "&password=", "&room=");
  post.room_text = key_value(address, "&room=");
  post.room_text.resize(std::min(post.room_text.size(), post.room_text.find(' ')));
  post.room = key_number(address, "&room=");
  post.rooms = ctx.state.rooms();
  if (post.room < 1 || post.room > static_cast<int>(post.rooms->size())) return false;
  // The name and the addressee stand in the line's script link and in HTML;
  // the name may also name an account file.
  if (!user_name_allowed(post.name)) {
    out = kNotOnlinePage;
    return false;
  }
  const std::string& to = post.form.to_whom;
  if (!to.empty() && to != "All" && !user_name_allowed(to)) {
    out = kBadAddresseePage;
    return false;
  }
  return true;
}

// Whether the sender may post this now: flood control (every line and every
// room command of a place counts; an empty line changes only the sender's
// pane), and for a room command an administrator's place, entered as that
// member and proven by its key. `banned`: the sender's place is banned.
bool authorise(ChatContext& ctx, const Post& post, bool& banned, std::string& out) {
  const Form& form = post.form;
  bool online = false, member = false;
  unsigned long long place = 0;
  const ServerSettings& s = ctx.site.settings;
  const bool counted = post.command() || !form.message.empty();
  {
    ChatState::Hold chat(ctx.state);
    if (post.room > ctx.state.room_count_locked()) return false;  // rooms reloaded meanwhile
    if (const std::optional<int> sender =
            find_keyed_user(ctx.state, post.room, post.name, post.password)) {
      OnlineUser& u = ctx.state.user(*sender);
      if (counted &&
          !take_post_turn(u.post_due_ms, ctx.now_ms(), s.post_burst, s.post_interval_ms)) {
        out = kTooFastPage;
        return false;
      }
      online = true;
      place = u.place_id;
      member = u.member;
      banned = place_banned(u, ctx.now_ms());
    }
  }
  // The same bound for the lines the place sent through the other servers.
  if (online && counted && !ctx.guards->posts.take(place, s.post_burst, s.post_interval_ms)) {
    out = kTooFastPage;
    return false;
  }
  if (!post.command()) {
    if (!online) out = kNotOnlinePage;
    return online;
  }
  const bool refused_target = form.command == kBan
                                  ? form.to_whom == "All" || form.to_whom == post.name
                                  : form.command == kUnban && form.to_whom == "All";
  if (!member || !is_room_administrator(post.info().admin, post.name) || refused_target) {
    out = kNoPermission;
    return false;
  }
  return true;
}

// The line of a chat message, made without the chat lock: formatting, links
// and the HTML guard. Nothing when the message is empty.
bool compose_line(ChatContext& ctx, const Post& post, bool banned, Line& line, std::string& out) {
  const Form& form = post.form;
  if (form.message.empty()) return true;
  line.time = local_time_hms();
  line.log_text = post.name + " to " + form.to_whom + ": " + form.message;
  if (banned) {
    // A private notice to the banned sender's own place.
    line.to_whom = post.name;
    line.pushed = notice_line("You have been banned!", true);
    return true;
  }
  GuardOptions options;
  options.remote_pictures = ctx.site.settings.remote_pictures;
  std::string text;
  if (!bounded_line_text(form.command == kSay ? format_message(form) : form.message,
                         form.message.size(), options, text)) {
    out = kTooMuchMarkupPage;
    return false;
  }
  const bool is_private = form.private_line && form.to_whom != "All";
  line.to_whom = form.to_whom;
  line.pushed = said_line(line.time, post.name, form.to_whom, is_private, text);
  if (is_private) line.log_text = "* " + line.log_text;
  return true;
}

// A room command's effect, and the red line that tells the room (none when
// nothing changed). The log gets the command's text as typed; the line its
// page form.
void run_command(ChatContext& ctx, const Post& post, Line& line)
    REQUIRES(ctx.state.chat_lock()) {
  const std::string& whom = post.form.to_whom;
  std::string logged, shown;
  if (post.form.command == kBan) {
    if (ban_in_room(ctx.state, ctx.guards->bans, post.room, whom)) {
      share_room_ban(ctx, post.room, whom, false);
      logged = "[" + whom + "] has been banned!";
      shown = "[" + escape_html(whom) + "] has been banned!";
    }
  } else if (post.form.command == kUnban) {
    if (unban_in_room(ctx.state, ctx.guards->bans, post.room, whom)) {
      share_room_ban(ctx, post.room, whom, true);
      logged = "[" + whom + "] has been unbanned!";
      shown = "[" + escape_html(whom) + "] has been unbanned!";
    }
  } else if (post.form.command == kBannedList) {
    std::string list, escaped;
    const long long now = ctx.now_ms();
    for (int i = 0; i < ctx.state.online_count(); ++i) {
      OnlineUser& u = ctx.state.user(i);
      if (u.room != post.room || !place_banned(u, now)) continue;
      if (!list.empty()) list += ",", escaped += ",";
      list += u.name;
      escaped += escape_html(u.name);
    }
    if (!list.empty()) {
      logged = "kicked list: " + list;
      shown = "kicked list: " + escaped;
    }
  }
  if (shown.empty()) return;
  line.time = local_time_hms();
  line.to_whom = "All";
  line.pushed = notice_line(shown);
  line.log_text = post.name + " to " + whom + ": " + logged;
}

// The place a private line was written to: the addressee's place now, the
// sender's own for the banned sender's notice; ~0 when nobody here holds it.
unsigned long long private_place(ChatContext& ctx, const Post& post, const Line& line, int sender)
    REQUIRES(ctx.state.chat_lock()) {
  const std::optional<int> addressee =
      line.to_whom == post.name ? std::optional<int>(sender)
                                : ctx.state.find_online_user(post.room, line.to_whom);
  return addressee ? ctx.state.user(*addressee).place_id : ~0ULL;
}

// Chat lock held: what every post does before its line goes out. The
// sender's index when there is a line to publish; otherwise nullopt, and
// `result` is the post's result: false when it may not speak (`out` says
// why where a page should), true when its command left nothing to say.
std::optional<int> speaker(ChatContext& ctx, const Post& post, Line& line, std::string& out,
                           bool& result) REQUIRES(ctx.state.chat_lock()) {
  result = false;
  // The user may have left, or the rooms been reloaded, since the check.
  if (post.room > ctx.state.room_count_locked()) return std::nullopt;
  const long long now = ctx.now_ms();
  sweep_idle_users(ctx, now);
  // Only the visitor holding the place's key speaks (and receives) as it.
  const std::optional<int> sender = find_keyed_user(ctx.state, post.room, post.name, post.password);
  if (!sender) {
    out = kNotOnlinePage;
    return std::nullopt;
  }
  OnlineUser& u = ctx.state.user(*sender);
  u.last_active_ms = now;
  if (post.command()) run_command(ctx, post, line);
  if (line.pushed.empty()) {
    if (post.form.command == kSay && u.split != post.form.split) {
      u.split = post.form.split;
      share_place(ctx, *sender);  // a cluster's other servers deliver to it too
    }
    result = true;
    return std::nullopt;
  }
  return sender;
}

// Under the chat lock: the sender's place must still hold the key; a room
// command acts; the line is logged and pushed, and the sender's delivery
// point moves past it, so the lines the others pushed since the sender's
// last poll go out with this answer (`delivery`): the stream would never
// hand them out. A place with a live stream open is the exception (see
// chat/body_stream.h).
bool publish(ChatContext& ctx, const std::string& address, const Post& post, Line& line,
             Delivery& delivery, std::string& out) {
  ChatState::Hold chat(ctx.state);
  bool result = false;
  const std::optional<int> sender = speaker(ctx, post, line, out, result);
  if (!sender) return result;
  OnlineUser& u = ctx.state.user(*sender);
  if (ctx.log_event) ctx.log_event(address, line.time, line.log_text);
  // A place with a live stream gets the others' lines there, in order; its
  // answer shows its own line only, which the stream then skips.
  const bool streaming = u.live_stream != 0;
  if (!streaming) take_undelivered(ctx.state.ring(post.room), u, u.name, post.form.split, delivery);
  // A private line belongs to the place it is written to now (the banned
  // sender's own notice to the sender's place); a later visitor of that
  // name never receives it.
  const unsigned long long to_place =
      is_private_line(line.pushed) ? private_place(ctx, post, line, *sender) : 0;
  ctx.state.push_message(post.room, line.pushed, line.to_whom, to_place,
                         streaming ? u.place_id : 0);
  if (!streaming) {
    u.last_seq = ctx.state.ring(post.room).seq;
    u.stream_floor = u.last_seq;
  }
  u.split = post.form.split;
  return true;
}

// publish() for a chat that several servers share (ctx.lines): the checks
// and the room command run under the chat lock as above, then the line goes
// out without the lock held and comes back into this server's ring through
// the publisher's reader, in the order every server gives it. Only a line
// the publisher took is logged; one it could not send is answered with
// kNotSharedPage and kept nowhere. The sender's answer shows its own line
// only, as for a place with a live stream: the visitor's next question may
// reach another server, and only the message stream knows (from the
// number the window brings) what the visitor has received; the ring marks
// the line as the sender's, so no delivery on any server hands it out again.
bool publish_shared(ChatContext& ctx, const std::string& address, const Post& post, Line& line,
                    std::string& out) {
  SharedLine shared;
  {
    ChatState::Hold chat(ctx.state);
    bool result = false;
    const std::optional<int> sender = speaker(ctx, post, line, out, result);
    if (!sender) return result;
    const OnlineUser& u = ctx.state.user(*sender);
    shared.room = post.room;
    shared.text = line.pushed;
    shared.to_whom = line.to_whom;
    if (is_private_line(line.pushed)) shared.to_place = private_place(ctx, post, line, *sender);
    shared.from_place = u.place_id;
  }
  Reason why;  // told to the operator by the publisher already
  if (!ctx.lines->publish(shared, why)) {
    line.pushed.clear();
    out = kNotSharedPage;
    return false;
  }
  ChatState::Hold chat(ctx.state);
  if (ctx.log_event) ctx.log_event(address, line.time, line.log_text);
  if (post.room > ctx.state.room_count_locked()) return true;
  const std::optional<int> sender = find_keyed_user(ctx.state, post.room, post.name, post.password);
  if (!sender) return true;  // left meanwhile; the line is out already
  OnlineUser& u = ctx.state.user(*sender);
  // The other servers deliver to the place too: they learn the pane choice
  // when it changes (not with every line).
  if (u.split != post.form.split) {
    u.split = post.form.split;
    share_place(ctx, *sender);
  }
  return true;
}

}  // namespace

void chat_post(ChatContext& ctx, const HttpRequest& http, std::string& out) {
  Post post;
  if (!read_post(ctx, http, post, out)) return;
  bool banned = false;
  if (!authorise(ctx, post, banned, out)) return;
  Line line;
  if (!post.command() && !compose_line(ctx, post, banned, line, out)) return;
  Delivery delivery;
  if (ctx.lines ? !publish_shared(ctx, http.client, post, line, out)
                : !publish(ctx, http.client, post, line, delivery, out))
    return;

  // The answer shows the sender's own line at once.
  out = *ctx.site.templates[T_BODY].get();
  fill_marker(out, "<!--$user-->", escape_address_value(post.name));
  fill_marker(out, "<!--$pass-->", escape_address_value(post.password));
  fill_marker(out, "<!--$room-->", escape_address_value(post.room_text));
  if (!line.pushed.empty()) (post.form.split ? delivery.own : delivery.board) += line.pushed;
  fill_delivery(out, delivery);
}

}  // namespace tvl
