#include "ops/room_commands.h"

#include <set>

#include "chat/chat_state.h"
#include "chat/engine.h"
#include "chat/operator_rules.h"
#include "ops/command_args.h"
#include "ops/json_text.h"
#include "ops/terminal_text.h"
#include "storage/room_store.h"

namespace tvl {

namespace {

const std::set<std::string> kRoomOptions = {"--admins", "--guests", "--admins-only"};

// The row of room number `number` (1 = first); false when there is none.
bool find_room(RoomRecords& records, const std::string& number, RoomRow& row) {
  const int n = room_number_of(number);
  std::vector<RoomRow> rows;
  if (n < 1 || !records.list(rows) || n > int(rows.size())) return false;
  row = rows[static_cast<std::size_t>(n - 1)];
  return true;
}

// The admin text of "--admins a,b" is stored as typed: commas separate
// whole names there already. A refusal text, or empty.
std::string apply_room_options(const CommandArgs& p, RoomValues& v) {
  if (const std::string* admins = p.value("--admins")) v.admin = *admins;
  if (const std::string* name = p.value("--name")) v.name = *name;
  if (const std::string* guests = p.value("--guests"); guests && !parse_yes_no(*guests, v.guest))
    return "--guests takes yes or no";
  if (const std::string* only = p.value("--admins-only"); only && !parse_yes_no(*only, v.admin_only))
    return "--admins-only takes yes or no";
  return std::string();
}

// A running chat's rooms: rooms.sdb, or the rooms several servers share;
// without a running chat the target's (a cluster's) or the folder's
// rooms.sdb.
class Rooms {
 public:
  explicit Rooms(const OperatorTarget& t)
      : files_(t.program_folder),
        records_(t.engine ? *t.engine->pages().context().rooms : t.rooms ? *t.rooms : files_) {}
  RoomRecords& operator*() { return records_; }
  RoomRecords* operator->() { return &records_; }

 private:
  FileRoomRecords files_;
  RoomRecords& records_;
};

void rooms_changed(const OperatorTarget& t) {
  if (t.engine) (void)t.engine->pages().context().rooms->reload(t.engine->state());  // told by its own channel
}

std::string room_json(std::size_t number, const RoomRow& r) {
  return "{\"number\":" + std::to_string(number) + ",\"name\":" + json_string(r.name) +
         ",\"admins\":" + json_string(r.admin) + ",\"guests\":" + json_bool(r.guest) +
         ",\"admins_only\":" + json_bool(r.admin_only) + "}";
}

CommandResult room_add(const std::vector<std::string>& args, const OperatorTarget& t) {
  CommandArgs p = parse_command_args(args, 2, kRoomOptions, {}, 1);
  if (!p.error.empty()) return usage_error(p.error);
  RoomValues v;
  v.name = p.positional[0];
  std::string refusal = apply_room_options(p, v);
  if (refusal.empty()) refusal = room_values_refusal(t.program_folder, v);
  if (!refusal.empty()) return command_refused(refusal);
  int id = 0;
  Reason reason;
  if (!Rooms(t)->add(v, id, reason)) return command_refused(reason.text);
  rooms_changed(t);
  return command_done("room " + terminal_text(v.name) + " added\n");
}

CommandResult room_list(const std::vector<std::string>& args, const OperatorTarget& t) {
  CommandArgs p = parse_command_args(args, 2, {}, {"--json"}, 0);
  if (!p.error.empty()) return usage_error(p.error);
  std::vector<RoomRow> rows;
  if (!Rooms(t)->list(rows))
    return command_refused("the room file rooms.sdb cannot be opened");
  const bool json = p.has("--json");
  std::string out;
  JsonList list;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const RoomRow& r = rows[i];
    if (json) {
      list.add(room_json(i + 1, r));
    } else {
      out += std::to_string(i + 1) + "\t" + terminal_text(r.name) + "\tadmins=" + terminal_text(r.admin) +
             "\tguests=" + yes_no_text(r.guest) + "\tadmins-only=" + yes_no_text(r.admin_only) +
             "\n";
    }
  }
  return command_done(json ? list.text() : out);
}

CommandResult room_set(const std::vector<std::string>& args, const OperatorTarget& t) {
  std::set<std::string> options = kRoomOptions;
  options.insert("--name");
  CommandArgs p = parse_command_args(args, 2, options, {}, 1);
  if (!p.error.empty()) return usage_error(p.error);
  RoomRow row;
  if (!find_room(*Rooms(t), p.positional[0], row))
    return command_refused("no room " + terminal_text(p.positional[0]));
  RoomValues v;
  v.name = row.name;
  v.admin = row.admin;
  v.guest = row.guest;
  v.admin_only = row.admin_only;
  std::string refusal = apply_room_options(p, v);
  if (refusal.empty()) refusal = room_values_refusal(t.program_folder, v);
  if (!refusal.empty()) return command_refused(refusal);
  Reason reason;
  if (!Rooms(t)->update(row.id, v, reason))
    return command_refused(reason.text.empty() ? "no room has that number" : reason.text);
  rooms_changed(t);
  return command_done("room " + terminal_text(p.positional[0]) + " changed\n");
}

CommandResult room_del(const std::vector<std::string>& args, const OperatorTarget& t) {
  CommandArgs p = parse_command_args(args, 2, {}, {}, 1);
  if (!p.error.empty()) return usage_error(p.error);
  RoomRow row;
  if (!find_room(*Rooms(t), p.positional[0], row))
    return command_refused("no room " + terminal_text(p.positional[0]));
  bool deleted = false;
  Reason reason;
  if (!Rooms(t)->remove(row.id, deleted, reason)) return command_refused(reason.text);
  if (!deleted) return command_refused("no room " + terminal_text(p.positional[0]));
  rooms_changed(t);
  return command_done("room " + terminal_text(row.name) + " deleted\n");
}

}  // namespace

CommandResult room_command(const std::vector<std::string>& args, const OperatorTarget& target) {
  if (args.size() < 2) return usage_error("room needs a subcommand: add, list, set, del");
  const std::string& what = args[1];
  if (what == "add") return room_add(args, target);
  if (what == "list") return room_list(args, target);
  if (what == "set") return room_set(args, target);
  if (what == "del") return room_del(args, target);
  return usage_error("unknown subcommand \"room " + what + "\"");
}

}  // namespace tvl
