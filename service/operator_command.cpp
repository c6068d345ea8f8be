#include "service/operator_command.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <set>

#include "chat/chat_pages.h"
#include "chat/engine.h"
#include "chat/operator_rules.h"
#include "platform/fs.h"
#include "storage/account.h"
#include "storage/account_name.h"
#include "storage/room_store.h"

namespace tvl {

namespace {

// ---- wire format -------------------------------------------------------

void put(std::string& out, const std::string& text) {
  out += std::to_string(text.size());
  out += '\n';
  out += text;
}

// Reads one "<length>\n<bytes>" at pos; false when malformed or cut.
bool take(const std::string& data, std::size_t& pos, std::string& text) {
  std::size_t end = data.find('\n', pos);
  if (end == std::string::npos || end == pos || end - pos > 9) return false;
  std::size_t size = 0;
  for (std::size_t i = pos; i < end; ++i) {
    if (data[i] < '0' || data[i] > '9') return false;
    size = size * 10 + static_cast<std::size_t>(data[i] - '0');
  }
  if (data.size() - (end + 1) < size) return false;
  text.assign(data, end + 1, size);
  pos = end + 1 + size;
  return true;
}

bool take_number(const std::string& data, std::size_t& pos, int& number) {
  std::string text;
  if (!take(data, pos, text) || text.empty() || text.size() > 6) return false;
  number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  return true;
}

const char kRequestMagic[] = "tvlctl 1\n";

// ---- command-line pieces -------------------------------------------------

CommandResult usage_error(const std::string& text) {
  return {2, "", "tvlctl: " + text + "\nTry \"tvlctl --help\".\n"};
}
CommandResult refused(const std::string& text) { return {1, "", "tvlctl: " + text + "\n"}; }
CommandResult done(const std::string& text) { return {0, text, ""}; }

// The arguments of one command: positionals, options with a value and
// flags, each option known in advance.
struct Parsed {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::string error;  // a usage error
};

Parsed parse(const std::vector<std::string>& args, std::size_t from,
             const std::set<std::string>& value_options, const std::set<std::string>& flags,
             std::size_t positionals) {
  Parsed p;
  for (std::size_t i = from; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::string name = a, value;
      const bool inline_value = a.find('=') != std::string::npos;
      if (inline_value) {
        name = a.substr(0, a.find('='));
        value = a.substr(a.find('=') + 1);
      }
      if (flags.count(name) && !inline_value) {
        p.flags.insert(name);
      } else if (value_options.count(name)) {
        if (!inline_value) {
          if (i + 1 >= args.size()) {
            p.error = "option " + name + " needs a value";
            return p;
          }
          value = args[++i];
        }
        p.values[name] = value;
      } else {
        p.error = "unknown option \"" + a + "\"";
        return p;
      }
    } else {
      p.positional.push_back(a);
    }
  }
  if (p.positional.size() != positionals)
    p.error = p.positional.size() < positionals ? "missing argument" : "too many arguments";
  return p;
}

// "yes"/"no" into on; false for anything else.
bool yes_no(const std::string& text, bool& on) {
  if (text == "yes") on = true;
  else if (text == "no") on = false;
  else return false;
  return true;
}

const char* yes_no_text(bool on) { return on ? "yes" : "no"; }

// The first line of the input, without its line end.
std::string first_line(const std::string& input) {
  std::string line = input.substr(0, input.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// ---- accounts ------------------------------------------------------------

bool find_listing(const std::string& folder, const std::string& name, AccountListing& out) {
  const std::string path = find_account_path(folder, name);
  if (path.empty()) return false;
  const std::string file = path.substr(path.rfind('/') + 1);
  for (AccountListing& a : list_accounts(folder)) {
    if (a.name == file) {
      out = std::move(a);
      return true;
    }
  }
  return false;
}

MemberValues values_of(const AccountListing& a) {
  MemberValues v;
  v.password = a.password;
  v.sex = std::to_string(std::atoi(a.sex.c_str()));
  v.icon = a.icon;
  v.email = a.email;
  v.profile = a.profile;
  v.disabled = a.disabled != "No";
  return v;
}

const std::set<std::string> kMemberOptions = {"--email", "--disabled", "--sex", "--icon",
                                              "--profile"};

// Applies the member options of p to v; a refusal text, or empty.
std::string apply_member_options(const Parsed& p, const std::string& input, MemberValues& v) {
  if (p.flags.count("--password-stdin")) {
    v.password = first_line(input);
    if (v.password.empty()) return "the password is empty";
  }
  auto at = p.values.find("--disabled");
  if (at != p.values.end() && !yes_no(at->second, v.disabled))
    return "--disabled takes yes or no";
  at = p.values.find("--sex");
  if (at != p.values.end()) {
    if (at->second != "0" && at->second != "1" && at->second != "2")
      return "--sex takes 0 (female), 1 (male) or 2 (not disclosed)";
    v.sex = at->second;
  }
  at = p.values.find("--icon");
  if (at != p.values.end()) {
    if (!at->second.empty() && !picture_name_plain(at->second))
      return "--icon takes a picture file name of images/, such as 3.gif";
    v.icon = at->second;
  }
  if ((at = p.values.find("--email")) != p.values.end()) v.email = at->second;
  if ((at = p.values.find("--profile")) != p.values.end()) v.profile = at->second;
  for (const std::string* text : {&v.email, &v.profile})
    if (text->find_first_of("\r\n") != std::string::npos) return "a value must be one line";
  return std::string();
}

std::string account_json(const AccountListing& a) {
  return "{\"name\":" + json_string(a.name) + ",\"sex\":" + json_string(a.sex) +
         ",\"icon\":" + json_string(a.icon) + ",\"email\":" + json_string(a.email) +
         ",\"profile\":" + json_string(a.profile) +
         ",\"disabled\":" + (a.disabled != "No" ? "true" : "false") + "}";
}

CommandResult user_command(const std::vector<std::string>& args, const std::string& input,
                           const OperatorTarget& t) {
  if (args.size() < 2) return usage_error("user needs a subcommand: add, list, show, set, rename, del");
  const std::string& what = args[1];
  const std::string& folder = t.program_folder;
  std::set<std::string> member_flags = {"--password-stdin"};
  if (what == "add") {
    Parsed p = parse(args, 2, kMemberOptions, member_flags, 1);
    if (!p.error.empty()) return usage_error(p.error);
    if (!p.flags.count("--password-stdin"))
      return usage_error("user add needs a password (--password-stdin or the prompt)");
    const std::string& name = p.positional[0];
    if (!member_name_allowed(name)) return refused(kAccountNameMessage);
    MemberValues v;
    std::string refusal = apply_member_options(p, input, v);
    if (!refusal.empty()) return refused(refusal);
    if (const char* m = account_change_message(add_member(folder, name, v))) return refused(m);
    return done("user " + name + " added\n");
  }
  if (what == "list") {
    Parsed p = parse(args, 2, {}, {"--json"}, 0);
    if (!p.error.empty()) return usage_error(p.error);
    std::string out;
    const bool json = p.flags.count("--json") > 0;
    for (const AccountListing& a : list_accounts(folder)) {
      if (json) out += (out.empty() ? "[" : ",") + account_json(a);
      else out += a.name + (a.disabled != "No" ? "\tdisabled\n" : "\n");
    }
    if (json) out = (out.empty() ? "[" : out) + "]\n";
    return done(out);
  }
  if (what == "show") {
    Parsed p = parse(args, 2, {}, {"--json"}, 1);
    if (!p.error.empty()) return usage_error(p.error);
    AccountListing a;
    if (!find_listing(folder, p.positional[0], a)) return refused("no user " + p.positional[0]);
    if (p.flags.count("--json")) return done(account_json(a) + "\n");
    return done("name: " + a.name + "\nsex: " + a.sex + "\nicon: " + a.icon + "\nemail: " +
                a.email + "\nprofile: " + a.profile + "\ndisabled: " + a.disabled + "\n");
  }
  if (what == "set" || what == "rename") {
    const bool rename = what == "rename";
    Parsed p = rename ? parse(args, 2, {}, {}, 2) : parse(args, 2, kMemberOptions, member_flags, 1);
    if (!p.error.empty()) return usage_error(p.error);
    const std::string& old_name = p.positional[0];
    AccountListing a;
    if (!find_listing(folder, old_name, a)) return refused("no user " + old_name);
    MemberValues v = values_of(a);
    // The stored form of the password is not a password: an empty one keeps
    // it, and only --password-stdin sets a new one.
    v.password.clear();
    std::string new_name = rename ? p.positional[1] : a.name;
    // As on the Users page: only a new name (not another spelling of this
    // one) must pass the rule.
    if (!same_account_name(new_name, a.name) && !member_name_allowed(new_name))
      return refused(kAccountNameMessage);
    if (!rename) {
      std::string refusal = apply_member_options(p, input, v);
      if (!refusal.empty()) return refused(refusal);
    }
    std::string stored;
    if (const char* m = account_change_message(edit_member(folder, a.name, new_name, v, stored)))
      return refused(m);
    return done(rename ? "user " + a.name + " renamed to " + stored + "\n"
                       : "user " + stored + " changed\n");
  }
  if (what == "del") {
    Parsed p = parse(args, 2, {}, {}, 1);
    if (!p.error.empty()) return usage_error(p.error);
    // Found the way every reader finds it; a file without a password is an
    // account too and can be removed.
    const std::string path = find_account_path(folder, p.positional[0]);
    if (path.empty()) return refused("no user " + p.positional[0]);
    const std::string file = path.substr(path.rfind('/') + 1);
    if (!delete_member(folder, file)) return refused("user " + file + " could not be deleted");
    return done("user " + file + " deleted\n");
  }
  return usage_error("unknown subcommand \"user " + what + "\"");
}

// ---- rooms ---------------------------------------------------------------

// The record id of room number `number` (1 = first); false when none.
bool room_id(const std::string& folder, const std::string& number, int& id, RoomRow& row) {
  if (number.empty() || number.size() > 6 || number.find_first_not_of("0123456789") != std::string::npos)
    return false;
  std::vector<RoomRow> rows;
  if (!list_room_rows(folder, rows)) return false;
  const int n = std::atoi(number.c_str());
  if (n < 1 || n > int(rows.size())) return false;
  row = rows[static_cast<std::size_t>(n - 1)];
  id = row.id;
  return true;
}

// The admin text of "--admins a,b" is stored as typed: commas separate
// whole names there already.
std::string apply_room_options(const Parsed& p, RoomValues& v) {
  auto at = p.values.find("--admins");
  if (at != p.values.end()) v.admin = at->second;
  at = p.values.find("--name");
  if (at != p.values.end()) v.name = at->second;
  at = p.values.find("--guests");
  if (at != p.values.end() && !yes_no(at->second, v.guest)) return "--guests takes yes or no";
  at = p.values.find("--admins-only");
  if (at != p.values.end() && !yes_no(at->second, v.admin_only))
    return "--admins-only takes yes or no";
  return std::string();
}

void rooms_changed(const OperatorTarget& t) {
  if (t.engine) load_rooms(t.program_folder, t.engine->state());
}

CommandResult room_command(const std::vector<std::string>& args, const OperatorTarget& t) {
  if (args.size() < 2) return usage_error("room needs a subcommand: add, list, set, del");
  const std::string& what = args[1];
  const std::string& folder = t.program_folder;
  const std::set<std::string> options = {"--admins", "--guests", "--admins-only"};
  if (what == "add") {
    Parsed p = parse(args, 2, options, {}, 1);
    if (!p.error.empty()) return usage_error(p.error);
    RoomValues v;
    v.name = p.positional[0];
    std::string refusal = apply_room_options(p, v);
    if (refusal.empty()) refusal = room_values_refusal(folder, v);
    if (!refusal.empty()) return refused(refusal);
    int id = 0;
    std::string reason;
    if (!add_room(folder, v, id, &reason)) return refused(reason);
    rooms_changed(t);
    return done("room " + v.name + " added\n");
  }
  if (what == "list") {
    Parsed p = parse(args, 2, {}, {"--json"}, 0);
    if (!p.error.empty()) return usage_error(p.error);
    std::vector<RoomRow> rows;
    if (!list_room_rows(folder, rows)) return refused("the room file rooms.sdb cannot be opened");
    const bool json = p.flags.count("--json") > 0;
    std::string out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const RoomRow& r = rows[i];
      if (json) {
        out += std::string(i ? "," : "[") + "{\"number\":" + std::to_string(i + 1) +
               ",\"name\":" + json_string(r.name) + ",\"admins\":" + json_string(r.admin) +
               ",\"guests\":" + (r.guest ? "true" : "false") +
               ",\"admins_only\":" + (r.admin_only ? "true" : "false") + "}";
      } else {
        out += std::to_string(i + 1) + "\t" + r.name + "\tadmins=" + r.admin +
               "\tguests=" + yes_no_text(r.guest) + "\tadmins-only=" + yes_no_text(r.admin_only) +
               "\n";
      }
    }
    if (json) out = (out.empty() ? "[" : out) + "]\n";
    return done(out);
  }
  if (what == "set") {
    std::set<std::string> set_options = options;
    set_options.insert("--name");
    Parsed p = parse(args, 2, set_options, {}, 1);
    if (!p.error.empty()) return usage_error(p.error);
    int id = 0;
    RoomRow row;
    if (!room_id(folder, p.positional[0], id, row)) return refused("no room " + p.positional[0]);
    RoomValues v;
    v.name = row.name;
    v.admin = row.admin;
    v.guest = row.guest;
    v.admin_only = row.admin_only;
    std::string refusal = apply_room_options(p, v);
    if (refusal.empty()) refusal = room_values_refusal(folder, v);
    if (!refusal.empty()) return refused(refusal);
    std::string reason;
    if (!update_room(folder, id, v, &reason)) return refused(reason);
    rooms_changed(t);
    return done("room " + p.positional[0] + " changed\n");
  }
  if (what == "del") {
    Parsed p = parse(args, 2, {}, {}, 1);
    if (!p.error.empty()) return usage_error(p.error);
    int id = 0;
    RoomRow row;
    if (!room_id(folder, p.positional[0], id, row)) return refused("no room " + p.positional[0]);
    bool deleted = false;
    std::string reason;
    if (!delete_room(folder, id, deleted, &reason)) return refused(reason);
    if (!deleted) return refused("no room " + p.positional[0]);
    rooms_changed(t);
    return done("room " + row.name + " deleted\n");
  }
  return usage_error("unknown subcommand \"room " + what + "\"");
}

// ---- the running chat ------------------------------------------------------

// A time of the wall clock (seconds since 1970) as a person reads it, in
// local time: "2026-12-09 02:31:05"; or (utc) as a script reads it, ISO 8601
// in UTC: "2026-12-09T02:31:05Z".
std::string time_stamp(long long seconds, bool utc) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[32];
  if (!(utc ? gmtime_r(&t, &parts) : localtime_r(&t, &parts)) ||
      !std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M:%S", &parts))
    return "?";
  return text;
}

CommandResult online_command(const std::vector<std::string>& args, const OperatorTarget& t) {
  Parsed p = parse(args, 1, {}, {"--json"}, 0);
  if (!p.error.empty()) return usage_error(p.error);
  const bool json = p.flags.count("--json") > 0;
  if (!t.engine) {
    CommandResult r = done(json ? "[]\n" : "");
    r.err = "tvlctl: no server is running: nobody is online\n";
    return r;
  }
  ChatState& state = t.engine->state();
  const long long now = t.engine->pages().context().now_ms();
  std::string out;
  ChatState::Hold chat(state);
  for (int i = 0; i < state.online_count(); ++i) {
    const OnlineUser& u = state.user(i);
    const std::string room =
        u.room >= 1 && u.room <= state.room_count_locked() ? state.room_locked(u.room).name : "";
    const std::string idle = std::to_string(u.last_active_ms ? (now - u.last_active_ms) / 1000 : 0);
    if (json) {
      out += std::string(i ? "," : "[") + "{\"name\":" + json_string(u.name) +
             ",\"room\":" + json_string(room) + ",\"address\":" +
             json_string(state.join_address(i)) + ",\"idle_seconds\":" + idle +
             ",\"online_since\":" + json_string(time_stamp(u.online_since, true)) +
             ",\"banned\":" + (u.active ? "false" : "true") + "}";
    } else {
      out += std::string(u.name) + "\t" + room + "\t" + state.join_address(i) + "\tidle " + idle +
             " s\tsince " + time_stamp(u.online_since, false) + (u.active ? "" : "\tbanned") + "\n";
    }
  }
  if (json) out = (out.empty() ? "[" : out) + "]\n";
  return done(out);
}

CommandResult kick_command(const std::vector<std::string>& args, const OperatorTarget& t) {
  Parsed p = parse(args, 1, {}, {}, 1);
  if (!p.error.empty()) return usage_error(p.error);
  if (!t.engine) return refused("no server is running");
  const std::string& name = p.positional[0];
  ChatContext& ctx = t.engine->pages().context();
  int kicked = 0;
  ChatState::Hold chat(ctx.state);
  for (int i = 0; i < ctx.state.online_count();) {
    if (same_name_ignoring_case(ctx.state.user(i).name, name)) {
      const std::string stored = ctx.state.user(i).name;
      leave_room(ctx, i, ctx.state.join_address(i), stored);  // the next entry moves to i
      ++kicked;
    } else {
      ++i;
    }
  }
  if (!kicked) return refused(name + " is not online");
  return done(name + " kicked\n");
}

CommandResult ban_command(const std::vector<std::string>& args, const OperatorTarget& t) {
  Parsed p = parse(args, 1, {}, {}, 2);
  if (!p.error.empty()) return usage_error(p.error);
  if (!t.engine) return refused("no server is running");
  const std::string& number = p.positional[0];
  const std::string& name = p.positional[1];
  ChatContext& ctx = t.engine->pages().context();
  ChatState& state = ctx.state;
  ChatState::Hold chat(state);
  const int room = number.find_first_not_of("0123456789") == std::string::npos && number.size() < 7
                       ? std::atoi(number.c_str())
                       : 0;
  if (room < 1 || room > state.room_count_locked()) return refused("no room " + number);
  const int target = state.find_online_user(room, name);
  if (target >= state.online_count()) return refused(name + " is not in room " + number);
  // As the room's ban command: the place stays and may no longer post, and
  // the ban outlasts the place.
  state.user(target).active = false;
  ctx.guards->bans.ban(state.room_locked(room).name, name);
  return done(name + " banned in room " + number + "\n");
}

CommandResult reload_command(const std::vector<std::string>& args, const OperatorTarget& t) {
  Parsed p = parse(args, 1, {}, {}, 0);
  if (!p.error.empty()) return usage_error(p.error);
  if (!t.engine) {
    CommandResult r = done("");
    r.err = "tvlctl: no server is running; it reads the files when it starts\n";
    return r;
  }
  // The Tavella window serves with the options of its Options page; reading
  // option.ini behind it would leave the page showing others.
  if (!t.reload)
    return refused("the server of the Tavella window takes its options from the window: "
                   "use Restart on its Options page");
  if (!t.reload()) {
    const std::vector<std::string>& problems = t.engine->site().settings_problems;
    if (problems.empty()) return refused("the chat server could not listen again; the service ends");
    std::string text = "option.ini is refused; every setting stays as it was:";
    for (const std::string& p : problems) text += "\n  " + p;
    return refused(text);
  }
  return done("reloaded\n");
}

}  // namespace

std::string encode_request(const CommandRequest& request) {
  std::string out = kRequestMagic;
  put(out, request.folder);
  put(out, std::to_string(request.args.size()));
  for (const std::string& a : request.args) put(out, a);
  put(out, request.input);
  return out;
}

bool decode_request(const std::string& data, CommandRequest& request) {
  const std::size_t magic = sizeof kRequestMagic - 1;
  if (data.compare(0, magic, kRequestMagic) != 0) return false;
  std::size_t pos = magic;
  CommandRequest r;
  int count = 0;
  if (!take(data, pos, r.folder) || !take_number(data, pos, count) || count > 1000) return false;
  for (int i = 0; i < count; ++i) {
    std::string a;
    if (!take(data, pos, a)) return false;
    r.args.push_back(std::move(a));
  }
  if (!take(data, pos, r.input) || pos != data.size()) return false;
  request = std::move(r);
  return true;
}

std::string encode_result(const CommandResult& result) {
  std::string out;
  put(out, std::to_string(result.exit_code));
  put(out, result.out);
  put(out, result.err);
  return out;
}

bool decode_result(const std::string& data, CommandResult& result) {
  std::size_t pos = 0;
  CommandResult r;
  if (!take_number(data, pos, r.exit_code) || !take(data, pos, r.out) || !take(data, pos, r.err) ||
      pos != data.size())
    return false;
  result = std::move(r);
  return true;
}

CommandResult run_operator_command(const std::vector<std::string>& args, const std::string& input,
                                   const OperatorTarget& target) {
  if (args.empty()) return usage_error("a command is missing");
  const std::string& command = args[0];
  // A change the files cannot take is refused as what it is, before any
  // rule could mistake it for a bad name.
  const bool change = args.size() > 1 && args[1] != "list" && args[1] != "show";
  if (change && command == "user") {
    const std::string users = target.program_folder + "users/";
    if (!is_directory(users) || !is_writable(users))
      return refused("cannot write " + users + ": the folder is missing or read-only");
  }
  if (change && command == "room" && !is_writable(target.program_folder + "rooms.sdb"))
    return refused("cannot write " + target.program_folder +
                   "rooms.sdb: the file is missing or read-only");
  if (command == "user") return user_command(args, input, target);
  if (command == "room") return room_command(args, target);
  if (command == "online") return online_command(args, target);
  if (command == "kick") return kick_command(args, target);
  if (command == "ban") return ban_command(args, target);
  if (command == "reload") return reload_command(args, target);
  return usage_error("unknown command \"" + command + "\"");
}

std::string tvlctl_usage() {
  return "Usage: tvlctl [--folder DIR] COMMAND ...\n"
         "The operator's command for the chat in DIR (default: the folder tvlctl is in).\n"
         "A running tvlService or Tavella window of that folder makes every change\n"
         "itself, at once; without one the files are changed directly.\n"
         "\n"
         "  user add NAME [--password-stdin] [--email E] [--disabled yes|no]\n"
         "                [--sex 0|1|2] [--icon FILE] [--profile TEXT]\n"
         "  user list [--json]          user show NAME [--json]\n"
         "  user set NAME [--password-stdin] [--email E] [--disabled yes|no] ...\n"
         "  user rename OLD NEW         user del NAME\n"
         "  room add NAME [--admins a,b] [--guests yes|no] [--admins-only yes|no]\n"
         "  room list [--json]          room set N [--name X] [--admins a,b] ...\n"
         "  room del N                  (N: the number room list shows)\n"
         "  online [--json]             who is in which room, from which address, since when\n"
         "  kick NAME                   takes NAME out of the chat\n"
         "  ban ROOM NAME               NAME may no longer post in room number ROOM\n"
         "  log [--follow]              today's chat log\n"
         "  check                       what is wrong in the folder (option.ini, rooms.sdb,\n"
         "                              private files); starts and changes nothing\n"
         "  reload                      read option.ini, the IP lists and the rooms again\n"
         "\n"
         "Without --password-stdin the password is asked for on the terminal.\n"
         "Exit status: 0 done, 1 refused or failed (the reason on standard error,\n"
         "nothing changed), 2 wrong usage.\n";
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace tvl
