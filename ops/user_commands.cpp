#include "ops/user_commands.h"

#include <cstdlib>
#include <set>

#include "chat/chat_pages.h"
#include "chat/engine.h"
#include "chat/operator_rules.h"
#include "ops/command_args.h"
#include "ops/json_text.h"
#include "ops/terminal_text.h"
#include "storage/account_store.h"
#include "storage/account_name.h"

namespace tvl {

namespace {

const std::set<std::string> kMemberOptions = {"--email", "--disabled", "--sex", "--icon",
                                              "--profile"};
const std::set<std::string> kMemberFlags = {"--password-stdin"};

bool find_listing(AccountStore& accounts, const std::string& name, AccountListing& out) {
  const std::string file = accounts.find(name);
  if (file.empty()) return false;
  for (AccountListing& a : accounts.list()) {
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

// Applies the member options of p to v; a refusal text, or empty.
std::string apply_member_options(const CommandArgs& p, const std::string& input, MemberValues& v) {
  if (p.has("--password-stdin")) {
    v.password = first_line(input);
    if (v.password.empty()) return "the password is empty";
  }
  if (const std::string* disabled = p.value("--disabled"); disabled && !parse_yes_no(*disabled, v.disabled))
    return "--disabled takes yes or no";
  if (const std::string* sex = p.value("--sex")) {
    if (*sex != "0" && *sex != "1" && *sex != "2")
      return "--sex takes 0 (female), 1 (male) or 2 (not disclosed)";
    v.sex = *sex;
  }
  if (const std::string* icon = p.value("--icon")) {
    if (!icon->empty() && !picture_name_plain(*icon))
      return "--icon takes a picture file name of images/, such as 3.gif";
    v.icon = *icon;
  }
  if (const std::string* email = p.value("--email")) v.email = *email;
  if (const std::string* profile = p.value("--profile")) v.profile = *profile;
  for (const std::string* text : {&v.email, &v.profile})
    if (text->find_first_of("\r\n") != std::string::npos) return "a value must be one line";
  return std::string();
}

std::string account_json(const AccountListing& a) {
  return "{\"name\":" + json_string(a.name) + ",\"sex\":" + json_string(a.sex) +
         ",\"icon\":" + json_string(a.icon) + ",\"email\":" + json_string(a.email) +
         ",\"profile\":" + json_string(a.profile) +
         ",\"disabled\":" + json_bool(a.disabled != "No") + "}";
}

CommandResult user_add(const std::vector<std::string>& args, const std::string& input,
                       AccountStore& accounts) {
  CommandArgs p = parse_command_args(args, 2, kMemberOptions, kMemberFlags, 1);
  if (!p.error.empty()) return usage_error(p.error);
  if (!p.has("--password-stdin"))
    return usage_error("user add needs a password (--password-stdin or the prompt)");
  const std::string& name = p.positional[0];
  if (!member_name_allowed(name)) return command_refused(kAccountNameMessage);
  MemberValues v;
  std::string refusal = apply_member_options(p, input, v);
  if (!refusal.empty()) return command_refused(refusal);
  if (const char* m = account_change_message(accounts.add_member(name, v))) return command_refused(m);
  return command_done("user " + terminal_text(name) + " added\n");
}

CommandResult user_list(const std::vector<std::string>& args, AccountStore& accounts) {
  CommandArgs p = parse_command_args(args, 2, {}, {"--json"}, 0);
  if (!p.error.empty()) return usage_error(p.error);
  const bool json = p.has("--json");
  std::string out;
  JsonList list;
  for (const AccountListing& a : accounts.list()) {
    if (json) list.add(account_json(a));
    else out += terminal_text(a.name) + (a.disabled != "No" ? "\tdisabled\n" : "\n");
  }
  return command_done(json ? list.text() : out);
}

CommandResult user_show(const std::vector<std::string>& args, AccountStore& accounts) {
  CommandArgs p = parse_command_args(args, 2, {}, {"--json"}, 1);
  if (!p.error.empty()) return usage_error(p.error);
  AccountListing a;
  if (!find_listing(accounts, p.positional[0], a)) return command_refused("no user " + terminal_text(p.positional[0]));
  if (p.has("--json")) return command_done(account_json(a) + "\n");
  // A visitor wrote these through the registration form: nothing of them
  // may reach the operator's terminal as a control.
  return command_done("name: " + terminal_text(a.name) + "\nsex: " + terminal_text(a.sex) +
                      "\nicon: " + terminal_text(a.icon) + "\nemail: " + terminal_text(a.email) +
                      "\nprofile: " + terminal_text(a.profile) +
                      "\ndisabled: " + terminal_text(a.disabled) + "\n");
}

// "user set" and "user rename": the account's values as stored, changed by
// the options, under the old or a new name.
CommandResult user_edit(const std::vector<std::string>& args, const std::string& input,
                        AccountStore& accounts, bool rename) {
  CommandArgs p = rename ? parse_command_args(args, 2, {}, {}, 2)
                         : parse_command_args(args, 2, kMemberOptions, kMemberFlags, 1);
  if (!p.error.empty()) return usage_error(p.error);
  const std::string& old_name = p.positional[0];
  AccountListing a;
  if (!find_listing(accounts, old_name, a)) return command_refused("no user " + terminal_text(old_name));
  MemberValues v = values_of(a);
  // The stored form of the password is not a password: an empty one keeps
  // it, and only --password-stdin sets a new one.
  v.password.clear();
  std::string new_name = rename ? p.positional[1] : a.name;
  // As on the Users page: only a new name (not another spelling of this
  // one) must pass the rule.
  if (!same_account_name(new_name, a.name) && !member_name_allowed(new_name))
    return command_refused(kAccountNameMessage);
  if (!rename) {
    std::string refusal = apply_member_options(p, input, v);
    if (!refusal.empty()) return command_refused(refusal);
  }
  std::string stored;
  if (const char* m = account_change_message(accounts.edit_member(a.name, new_name, v, stored)))
    return command_refused(m);
  return command_done(rename ? "user " + terminal_text(a.name) + " renamed to " + terminal_text(stored) + "\n"
                             : "user " + terminal_text(stored) + " changed\n");
}

CommandResult user_del(const std::vector<std::string>& args, AccountStore& accounts) {
  CommandArgs p = parse_command_args(args, 2, {}, {}, 1);
  if (!p.error.empty()) return usage_error(p.error);
  // Found the way every reader finds it; a file without a password is an
  // account too and can be removed.
  const std::string file = accounts.find(p.positional[0]);
  if (file.empty()) return command_refused("no user " + terminal_text(p.positional[0]));
  if (!accounts.delete_member(file)) return command_refused("user " + terminal_text(file) + " could not be deleted");
  return command_done("user " + terminal_text(file) + " deleted\n");
}

}  // namespace

CommandResult user_command(const std::vector<std::string>& args, const std::string& input,
                           const OperatorTarget& target) {
  if (args.size() < 2)
    return usage_error("user needs a subcommand: add, list, show, set, rename, del");
  const std::string& what = args[1];
  // A running chat's store: users/, or the accounts several servers share.
  FileAccountStore files(target.program_folder);
  AccountStore& accounts = target.engine     ? *target.engine->pages().context().accounts
                           : target.accounts ? *target.accounts
                                             : files;
  if (what == "add") return user_add(args, input, accounts);
  if (what == "list") return user_list(args, accounts);
  if (what == "show") return user_show(args, accounts);
  if (what == "set" || what == "rename") return user_edit(args, input, accounts, what == "rename");
  if (what == "del") return user_del(args, accounts);
  return usage_error("unknown subcommand \"user " + what + "\"");
}

}  // namespace tvl
