#include "cluster/shared_accounts.h"

#include <algorithm>

#include "platform/fs.h"
#include "platform/profile.h"
#include "storage/account_name.h"
#include "storage/password_hash.h"

namespace tvl {

const char kAccountChangesKey[] = "tvl:account-changes";

namespace {

const char kAccounts[] = "tvl:accounts";
// The keys an account holds besides "name", in the order the files have them.
const char* const kAccountKeys[] = {"password", "sex", "Icon", "email", "Profile", "Disabled"};

std::string account_key(const std::string& name) { return "tvl:account:" + account_name_fold(name); }
std::string look_key(const std::string& name) {
  return "tvl:account-look:" + account_name_skeleton(name);
}

// Every script that changes an account tells tvl:account-changes (its
// last key) which account it changed, for the nodes' copies
// (cluster/cluster_copy.h).
#define TOLD                                                                              \
  "local function told(fold) redis.call('XADD', KEYS[#KEYS], 'MAXLEN', '~', '10000', '*', " \
  "'f', fold) end\n"

// KEYS: the account, tvl:accounts, its look set, the changes. ARGV: fold,
// spelling, then key/value pairs. 1 made, 0 the name (any case) has an
// account.
const char kCreateScript[] = TOLD
    "if redis.call('EXISTS', KEYS[1]) == 1 then return 0 end\n"
    "redis.call('HSET', KEYS[1], 'name', ARGV[2], unpack(ARGV, 3))\n"
    "redis.call('HSET', KEYS[2], ARGV[1], ARGV[2])\n"
    "redis.call('SADD', KEYS[3], ARGV[1])\n"
    "told(ARGV[1])\n"
    "return 1\n";

// KEYS: the account, the changes. ARGV: fold, then key/value pairs. 1
// changed, 0 no such account.
const char kChangeScript[] = TOLD
    "if redis.call('EXISTS', KEYS[1]) == 0 then return 0 end\n"
    "redis.call('HSET', KEYS[1], unpack(ARGV, 2))\n"
    "told(ARGV[1])\n"
    "return 1\n";

// KEYS: the old account, the new account, tvl:accounts, the old and the new
// look set, the changes. ARGV: old fold, new fold, new spelling, then
// key/value pairs. {1, spelling afterwards} written, {2, ''} the new name is
// another account.
const char kEditScript[] = TOLD
    "local function fill(key) if #ARGV >= 4 then redis.call('HSET', key, unpack(ARGV, 4)) end end\n"
    "if ARGV[1] == ARGV[2] and redis.call('EXISTS', KEYS[1]) == 1 then\n"
    "  fill(KEYS[1]) told(ARGV[1]) return {1, redis.call('HGET', KEYS[1], 'name')}\n"
    "end\n"
    "if redis.call('EXISTS', KEYS[2]) == 1 then return {2, ''} end\n"
    "if redis.call('EXISTS', KEYS[1]) == 1 then\n"
    "  redis.call('RENAME', KEYS[1], KEYS[2])\n"
    "  redis.call('HDEL', KEYS[3], ARGV[1])\n"
    "  redis.call('SREM', KEYS[4], ARGV[1])\n"
    "end\n"
    "redis.call('HSET', KEYS[2], 'name', ARGV[3])\n"
    "fill(KEYS[2])\n"
    "redis.call('HSET', KEYS[3], ARGV[2], ARGV[3])\n"
    "redis.call('SADD', KEYS[5], ARGV[2])\n"
    "if ARGV[1] ~= ARGV[2] then told(ARGV[1]) end\n"
    "told(ARGV[2])\n"
    "return {1, ARGV[3]}\n";

// KEYS: the account, tvl:accounts, its look set, the changes. ARGV: fold.
// 1 deleted.
const char kDeleteScript[] = TOLD
    "if redis.call('EXISTS', KEYS[1]) == 0 then return 0 end\n"
    "redis.call('DEL', KEYS[1])\n"
    "redis.call('HDEL', KEYS[2], ARGV[1])\n"
    "redis.call('SREM', KEYS[3], ARGV[1])\n"
    "told(ARGV[1])\n"
    "return 1\n";

// KEYS: the account, the changes. ARGV: the stored password read, its
// hash, the fold. The clear password is replaced only while it is still
// the stored one.
const char kUpgradeScript[] = TOLD
    "if redis.call('HGET', KEYS[1], 'password') == ARGV[1] then\n"
    "  redis.call('HSET', KEYS[1], 'password', ARGV[2])\n"
    "  told(ARGV[3])\n"
    "end\n"
    "return 1\n";

#undef TOLD


// A stored value as the file readers see it: the default when absent, cut
// to the readers' buffer.
std::string value(const std::map<std::string, std::string>& fields, const char* key,
                  const char* default_value) {
  const auto it = fields.find(key);
  std::string v = it == fields.end() ? std::string(default_value) : it->second;
  if (v.size() >= kAccountValueSize) v.resize(kAccountValueSize - 1);
  return v;
}

AccountListing listing_of(const std::map<std::string, std::string>& fields) {
  AccountListing a;
  a.name = value(fields, "name", "");
  a.password = value(fields, "password", "");
  a.sex = value(fields, "sex", "2");
  a.icon = value(fields, "Icon", "");
  a.email = value(fields, "email", "");
  a.profile = value(fields, "Profile", "");
  a.disabled = value(fields, "Disabled", "No");
  return a;
}

// The stored form of a password given in clear; false when hashing failed.
bool stored_form(const std::string& password, std::string& stored) {
  stored.clear();
  return password.empty() || hash_password(password, stored);
}

// The window's keys (storage/account.cpp writes the same): an empty icon
// is not written, an empty stored password neither (the stored one stays).
std::vector<std::string> member_pairs(const MemberValues& v, const std::string& stored_password) {
  std::vector<std::string> pairs;
  if (!stored_password.empty()) pairs.insert(pairs.end(), {"password", stored_password});
  pairs.insert(pairs.end(), {"sex", v.sex});
  if (!v.icon.empty()) pairs.insert(pairs.end(), {"Icon", v.icon});
  pairs.insert(pairs.end(), {"email", v.email, "Profile", v.profile, "Disabled",
                             v.disabled ? "Yes" : "No"});
  return pairs;
}

}  // namespace

bool SharedAccounts::fetch(const std::string& name, Fields& fields) {
  RedisReply reply;
  Reason why;
  if (!account_name_safe(name) || !pool_->command({"HGETALL", account_key(name)}, reply, why))
    return false;
  fields = reply_hash(reply);
  return !fields.empty();
}

std::string SharedAccounts::find(const std::string& name) {
  RedisReply reply;
  Reason why;
  if (!account_name_safe(name) ||
      !pool_->command({"HGET", kAccounts, account_name_fold(name)}, reply, why))
    return std::string();
  return reply.kind == RedisReply::Kind::String ? reply.text : std::string();
}

std::string SharedAccounts::lookalike(const std::string& name) {
  RedisReply folds, spelling;
  Reason why;
  // Redis away: nothing found; the entry's name claim and a registration's
  // write, which need Redis too, refuse the visitor then.
  if (!pool_->command({"SMEMBERS", look_key(name)}, folds, why)) return std::string();
  for (const RedisReply& fold : folds.items) {
    if (!pool_->command({"HGET", kAccounts, fold.text}, spelling, why)) return std::string();
    if (spelling.kind == RedisReply::Kind::String) return spelling.text;
  }
  return std::string();
}

AccountCheck SharedAccounts::check(const std::string& name, const std::string& password,
                                   std::string& icon) {
  if (!account_name_safe(name)) return AccountCheck::BadLogin;
  RedisReply reply;
  Reason why;
  if (!pool_->command({"HGETALL", account_key(name)}, reply, why)) {
    // Redis away: no member gets in. A guest's entry goes on to its name
    // claim, which tells the visitor the chat cannot check names now.
    if (password.empty()) return AccountCheck::Guest;
    spend_password_check(password);
    return AccountCheck::BadLogin;
  }
  const Fields fields = reply_hash(reply);
  if (fields.empty()) {
    if (password.empty()) return AccountCheck::Guest;
    spend_password_check(password);
    return AccountCheck::BadLogin;
  }
  const std::string stored = value(fields, "password", "");
  if (!tvl::password_matches(stored, password)) return AccountCheck::BadLogin;
  if (value(fields, "Disabled", "No") != "No") return AccountCheck::Disabled;
  if (!password.empty() && !password_is_hashed(stored)) {
    // An imported account of an older version: its password goes out now.
    std::string hashed;
    RedisReply done;
    if (hash_password(password, hashed))
      if (pool_->command(eval_command(kUpgradeScript, {account_key(name), kAccountChangesKey},
                                {stored, hashed, account_name_fold(name)}),
                         done, why))  // not reported: tried again at the next login
        tell(account_name_fold(name));
  }
  const std::string picture = member_picture(value(fields, "Icon", "-1"), value(fields, "sex", "-1"));
  if (!picture.empty()) icon = picture;
  return AccountCheck::Member;
}

bool SharedAccounts::password_matches(const std::string& name, const std::string& password) {
  Fields fields;
  return fetch(name, fields) && tvl::password_matches(value(fields, "password", ""), password);
}

void SharedAccounts::tell(const std::string& fold) {
  if (changed_) changed_(fold);
}

AccountChange SharedAccounts::create(const std::string& name, const Pairs& pairs) {
  std::vector<std::string> args = {account_name_fold(name), name};
  args.insert(args.end(), pairs.begin(), pairs.end());
  RedisReply reply;
  Reason why;
  if (!pool_->command(eval_command(kCreateScript,
                             {account_key(name), kAccounts, look_key(name), kAccountChangesKey},
                             args),
                      reply, why))
    return AccountChange::Failed;
  if (reply.integer != 1) return AccountChange::Exists;
  tell(account_name_fold(name));
  return AccountChange::Written;
}

AccountChange SharedAccounts::write(const std::string& name, const AccountFields& fields,
                                    bool create_new) {
  if (!account_name_safe(name)) return AccountChange::Failed;
  std::string stored;
  if (!stored_form(fields.password, stored)) return AccountChange::Failed;
  Pairs pairs = {"password", stored,       "sex",     fields.sex,   "Icon",
                 fields.icon, "email",     fields.email, "Profile", fields.profile};
  if (create_new) return create(name, pairs);
  // The change form starts with an empty password: left so, the stored one
  // stays.
  if (fields.password.empty()) pairs.erase(pairs.begin(), pairs.begin() + 2);
  RedisReply reply;
  Reason why;
  std::vector<std::string> args = {account_name_fold(name)};
  args.insert(args.end(), pairs.begin(), pairs.end());
  if (!pool_->command(eval_command(kChangeScript, {account_key(name), kAccountChangesKey}, args), reply,
                      why))
    return AccountChange::Failed;
  if (reply.integer == 1) {
    tell(account_name_fold(name));
    return AccountChange::Written;
  }
  if (fields.password.empty()) pairs.insert(pairs.begin(), {"password", ""});
  return create(name, pairs);
}

bool SharedAccounts::read(const std::string& name, AccountListing& out) {
  Fields fields;
  if (!fetch(name, fields)) return false;
  out = listing_of(fields);
  return true;
}

std::vector<AccountListing> SharedAccounts::list() {
  std::vector<AccountListing> listed;
  Reason why;
  (void)list_all(listed, why);  // a store that cannot be asked lists what it read
  return listed;
}

bool SharedAccounts::list_all(std::vector<AccountListing>& listed, Reason& why) {
  listed.clear();
  RedisReply names;
  if (!pool_->command({"HKEYS", kAccounts}, names, why)) return false;
  for (const RedisReply& fold : names.items) {
    RedisReply reply;
    if (!pool_->command({"HGETALL", "tvl:account:" + fold.text}, reply, why)) return false;
    const Fields fields = reply_hash(reply);
    if (fields.empty()) continue;  // deleted meanwhile
    AccountListing a = listing_of(fields);
    if (!a.password.empty()) listed.push_back(std::move(a));
  }
  std::sort(listed.begin(), listed.end(),
            [](const AccountListing& a, const AccountListing& b) { return a.name < b.name; });
  return true;
}

AccountChange SharedAccounts::add_member(const std::string& name, const MemberValues& values) {
  if (!account_name_safe(name)) return AccountChange::Failed;
  std::string stored;
  if (!stored_form(values.password, stored)) return AccountChange::Failed;
  Pairs pairs = member_pairs(values, stored);
  if (stored.empty()) pairs.insert(pairs.begin(), {"password", ""});
  return create(name, pairs);
}

AccountChange SharedAccounts::edit_member(const std::string& old_name, const std::string& new_name,
                                          const MemberValues& values, std::string& stored_name) {
  if (!account_name_safe(new_name)) return AccountChange::Failed;
  std::string stored;
  if (!stored_form(values.password, stored)) return AccountChange::Failed;
  std::vector<std::string> args = {account_name_fold(old_name), account_name_fold(new_name),
                                   new_name};
  const Pairs pairs = member_pairs(values, stored);
  args.insert(args.end(), pairs.begin(), pairs.end());
  RedisReply reply;
  Reason why;
  if (!pool_->command(eval_command(kEditScript,
                             {account_key(old_name), account_key(new_name), kAccounts,
                              look_key(old_name), look_key(new_name), kAccountChangesKey},
                             args),
                      reply, why) ||
      reply.items.size() != 2)
    return AccountChange::Failed;
  if (reply.items[0].integer != 1) return AccountChange::Exists;
  stored_name = reply.items[1].text;
  tell(account_name_fold(old_name));
  if (account_name_fold(old_name) != account_name_fold(new_name)) tell(account_name_fold(new_name));
  return AccountChange::Written;
}

bool SharedAccounts::delete_member(const std::string& name) {
  RedisReply reply;
  Reason why;
  if (!account_name_safe(name) ||
      !pool_->command(eval_command(kDeleteScript,
                             {account_key(name), kAccounts, look_key(name), kAccountChangesKey},
                             {account_name_fold(name)}),
                      reply, why) ||
      reply.integer != 1)
    return false;
  tell(account_name_fold(name));
  return true;
}

bool told_accounts(RedisPool& pool, std::set<std::string>& folds, Reason& why) {
  std::string after = "-";
  for (;;) {
    RedisReply entries;
    if (!pool.command({"XRANGE", kAccountChangesKey, after, "+", "COUNT", "1000"}, entries, why))
      return false;
    for (const RedisReply& entry : entries.items) {
      if (entry.items.size() != 2) continue;
      const std::vector<RedisReply>& fields = entry.items[1].items;
      for (std::size_t i = 0; i + 1 < fields.size(); i += 2)
        if (fields[i].text == "f") folds.insert(fields[i + 1].text);
      after = "(" + entry.items[0].text;
    }
    if (entries.items.size() < 1000) return true;
  }
}

bool import_accounts(RedisPool& pool, const std::string& program_folder, AccountMove& move,
                     Reason& why, const std::set<std::string>& passed_over) {
  const std::string folder = program_folder + "users/";
  if (!is_directory(folder)) return why.fail("no folder " + folder);
  // A value that no file holds, to tell a missing key from an empty one.
  const std::string absent(1, '\x01');
  for (const std::string& name : find_files(folder + "*")) {
    const std::string path = folder + name;
    if (is_profile_leftover(name) || !account_name_safe(name) || !is_regular_file(path)) {
      ++move.skipped;
      continue;
    }
    std::string head;
    bool cut = false;
    if (!read_file_head(path, 1, head, cut) || head.empty()) {
      ++move.skipped;  // an empty or unreadable file is no account anybody may log in to
      continue;
    }
    if (passed_over.count(account_name_fold(name))) {
      ++move.kept;
      continue;
    }
    std::vector<std::string> args = {account_name_fold(name), name};
    for (const char* key : kAccountKeys) {
      const std::string v = get_profile_string("main", key, absent, kAccountValueSize, path);
      if (v != absent) args.insert(args.end(), {key, v});
    }
    RedisReply reply;
    if (!pool.command(eval_command(kCreateScript,
                             {account_key(name), kAccounts, look_key(name), kAccountChangesKey},
                             args),
                      reply, why))
      return false;
    ++(reply.integer == 1 ? move.moved : move.kept);
  }
  return true;
}

bool write_account_file(const std::map<std::string, std::string>& fields,
                        const std::string& program_folder, bool skip_unchanged, bool& written,
                        Reason& why) {
  written = false;
  const std::string name = value(fields, "name", "");
  if (!account_name_safe(name)) return true;
  std::vector<std::pair<std::string, std::string>> keys;
  for (const char* key : kAccountKeys)
    if (const auto it = fields.find(key); it != fields.end()) keys.emplace_back(key, it->second);
  // The folder's file of that account in any case keeps its spelling,
  // so the folder never holds two files of one account.
  const std::string found = find_account_path(program_folder, name);
  const std::string path = found.empty() ? program_folder + "users/" + name : found;
  const bool exists = is_regular_file(path);
  if (exists && skip_unchanged) {
    // A value that no file holds, to tell a missing key from an empty one.
    const std::string absent(1, '\x01');
    bool same = true;
    for (const auto& [key, v] : keys)
      same = same && get_profile_string("main", key, absent, kAccountValueSize, path) ==
                         v.substr(0, kAccountValueSize - 1);
    if (same) return true;
  }
  const bool ok = exists ? write_profile_strings("main", keys, path)
                         : create_profile_strings("main", keys, path, 0600);
  if (!ok) return why.fail("could not write " + path);
  written = true;
  return true;
}

bool export_accounts(RedisPool& pool, const std::string& program_folder, AccountMove& move,
                     Reason& why) {
  const std::string folder = program_folder + "users/";
  if (!is_directory(folder)) return why.fail("no folder " + folder);
  RedisReply names;
  if (!pool.command({"HKEYS", kAccounts}, names, why)) return false;
  for (const RedisReply& fold : names.items) {
    RedisReply reply;
    if (!pool.command({"HGETALL", "tvl:account:" + fold.text}, reply, why)) return false;
    const std::map<std::string, std::string> fields = reply_hash(reply);
    if (fields.empty()) continue;  // deleted meanwhile
    bool written = false;
    if (!write_account_file(fields, program_folder, false, written, why)) return false;
    ++(written ? move.moved : move.skipped);
  }
  return true;
}

}  // namespace tvl
