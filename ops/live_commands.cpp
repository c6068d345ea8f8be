#include "ops/live_commands.h"

#include <ctime>

#include "chat/chat_pages.h"
#include "chat/engine.h"
#include "chat/room_ban.h"
#include "ops/command_args.h"
#include "ops/json_text.h"
#include "ops/terminal_text.h"

namespace tvl {

namespace {

// A time of the wall clock (seconds since 1970) as a person reads it, in
// local time: "2026-12-09 02:31:05"; or (utc) as a script reads it, ISO 8601
// in UTC: "2026-12-09T02:31:05Z". "?" when it cannot be shown.
std::string time_stamp(long long seconds, bool utc) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[32];
  if (!(utc ? gmtime_r(&t, &parts) : localtime_r(&t, &parts)) ||
      !std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M:%S", &parts))
    return "?";
  return text;
}

// One visitor of `online`, as a row of text or a JSON object.
std::string online_row(const ChatState& state, int i, long long now_ms, bool json)
    REQUIRES(state.chat_lock()) {
  const OnlineUser& u = state.user(i);
  const std::string room =
      u.room >= 1 && u.room <= state.room_count_locked() ? state.room_locked(u.room).name : "";
  const std::string idle = std::to_string(u.last_active_ms ? (now_ms - u.last_active_ms) / 1000 : 0);
  if (json)
    return "{\"name\":" + json_string(u.name) + ",\"room\":" + json_string(room) +
           ",\"address\":" + json_string(state.join_address(i)) + ",\"idle_seconds\":" + idle +
           ",\"online_since\":" + json_string(time_stamp(u.online_since, true)) +
           ",\"banned\":" + json_bool(!u.active) + "}";
  return terminal_text(u.name) + "\t" + terminal_text(room) + "\t" +
         terminal_text(state.join_address(i)) + "\tidle " + idle +
         " s\tsince " + time_stamp(u.online_since, false) + (u.active ? "" : "\tbanned") + "\n";
}

}  // namespace

CommandResult online_command(const std::vector<std::string>& args, const OperatorTarget& t) {
  CommandArgs p = parse_command_args(args, 1, {}, {"--json"}, 0);
  if (!p.error.empty()) return usage_error(p.error);
  const bool json = p.has("--json");
  if (!t.engine) {
    CommandResult r = command_done(json ? "[]\n" : "");
    r.err = "tvlctl: no server is running: nobody is online\n";
    return r;
  }
  ChatState& state = t.engine->state();
  const long long now = t.engine->pages().context().now_ms();
  std::string out;
  JsonList list;
  ChatState::Hold chat(state);
  for (int i = 0; i < state.online_count(); ++i) {
    (void)place_banned(state.user(i), now);  // a timed ban that has ended shows as lifted
    if (json) list.add(online_row(state, i, now, true));
    else out += online_row(state, i, now, false);
  }
  return command_done(json ? list.text() : out);
}

CommandResult kick_command(const std::vector<std::string>& args, const OperatorTarget& t) {
  CommandArgs p = parse_command_args(args, 1, {}, {}, 1);
  if (!p.error.empty()) return usage_error(p.error);
  if (!t.engine) return command_refused("no server is running");
  const std::string& name = p.positional[0];
  ChatContext& ctx = t.engine->pages().context();
  int kicked = 0;
  ChatState::Hold chat(ctx.state);
  for (int i = 0; i < ctx.state.online_count();) {
    if (is_same_visitor(ctx.state.user(i), name)) {
      const std::string stored = ctx.state.user(i).name;
      leave_room(ctx, i, ctx.state.join_address(i), stored);  // the next entry moves to i
      ++kicked;
    } else {
      ++i;
    }
  }
  if (!kicked) return command_refused(terminal_text(name) + " is not online");
  return command_done(terminal_text(name) + " kicked\n");
}

CommandResult ban_command(const std::vector<std::string>& args, const OperatorTarget& t) {
  CommandArgs p = parse_command_args(args, 1, {"--for"}, {}, 2);
  if (!p.error.empty()) return usage_error(p.error);
  long long seconds = 0;
  const std::string* length = p.value("--for");
  if (length && !parse_duration(*length, seconds))
    return usage_error("--for takes a time such as 30m, 1h or 2d, not \"" + *length + "\"");
  if (!t.engine) return command_refused("no server is running");
  const std::string& number = p.positional[0];
  const std::string& name = p.positional[1];
  ChatContext& ctx = t.engine->pages().context();
  const long long ends_ms = length ? ctx.now_ms() + seconds * 1000 : 0;
  ChatState::Hold chat(ctx.state);
  const int room = room_number_of(number);
  if (room < 1 || room > ctx.state.room_count_locked())
    return command_refused("no room " + terminal_text(number));
  if (!ban_in_room(ctx.state, ctx.guards->bans, room, name, ends_ms))
    return command_refused(terminal_text(name) + " is not in room " + terminal_text(number));
  share_room_ban(ctx, room, name, false);
  return command_done(terminal_text(name) + " banned in room " + terminal_text(number) +
                      (length ? " for " + terminal_text(*length) : "") + "\n");
}

CommandResult guests_command(const std::vector<std::string>& args, const OperatorTarget& t) {
  if (args.size() < 2 || (args[1] != "close" && args[1] != "open"))
    return usage_error("guests takes close or open, and a room's number or none");
  const bool close = args[1] == "close";
  CommandArgs p = parse_command_args(args, 2, {}, {}, args.size() > 2 ? 1 : 0);
  if (!p.error.empty()) return usage_error(p.error);
  if (!t.engine) return command_refused("no server is running");
  ChatContext& ctx = t.engine->pages().context();
  GuestEntry& guests = ctx.guards->guests;
  std::string room_name, where = "the whole chat";
  if (!p.positional.empty()) {
    const std::string& number = p.positional[0];
    ChatState::Hold chat(ctx.state);
    const int room = room_number_of(number);
    if (room < 1 || room > ctx.state.room_count_locked())
    return command_refused("no room " + terminal_text(number));
    room_name = ctx.state.room_locked(room).name;
    where = "room " + number;
  }
  if (close) {
    if (!guests.close(room_name))
      return command_refused("guest entry stays open: the chat's shared store cannot be reached");
    return command_done("guest entry closed for " + where + "\n");
  }
  // A room cannot open while the whole chat is closed; nothing changes then.
  if (!room_name.empty() && guests.closed(""))
    return command_refused("guest entry to " + where + " stays closed: it is closed for the whole chat");
  (void)guests.open(room_name);
  return command_done("guest entry open for " + where + "\n");
}

CommandResult reload_command(const std::vector<std::string>& args, const OperatorTarget& t) {
  CommandArgs p = parse_command_args(args, 1, {}, {}, 0);
  if (!p.error.empty()) return usage_error(p.error);
  if (!t.engine) {
    CommandResult r = command_done("");
    r.err = "tvlctl: no server is running; it reads the files when it starts\n";
    return r;
  }
  // The Tavella window serves with the options of its Options page; reading
  // option.ini behind it would leave the page showing others.
  if (!t.reload)
    return command_refused("the server of the Tavella window takes its options from the window: "
                           "use Restart on its Options page");
  if (!t.reload()) {
    const std::vector<std::string>& problems = t.engine->site().settings_problems;
    if (problems.empty()) return command_refused("the chat server could not listen again; the service ends");
    std::string text = "option.ini is refused; every setting stays as it was:";
    for (const std::string& p : problems) text += "\n  " + p;
    return command_refused(text);
  }
  return command_done("reloaded\n");
}

}  // namespace tvl
