#include "storage/account.h"

#include "platform/folder_lock.h"
#include "platform/fs.h"
#include "platform/lock_annotations.h"
#include "platform/profile.h"
#include "storage/account_index.h"
#include "storage/account_name.h"
#include "storage/password_hash.h"

namespace tvl {

namespace {

const char kSection[] = "main";

// Every change looks names up and then writes; two creators of names that
// fold alike ("Bob", "bob") must not both pass the lookup, and two changes of
// one file must not both read the old one. The threads of this process wait
// for each other on this mutex, processes (the server, tvlctl, the window)
// on the flock of users/ itself.
Mutex g_create_lock;

// How long a change waits for another process's change of users/.
constexpr int kFolderWaitMs = 20000;

// One writer of users/ at a time, across threads and processes.
class SCOPED_CAPABILITY AccountsHold {
 public:
  AccountsHold(const std::string& program_folder) ACQUIRE(g_create_lock) : hold_(g_create_lock) {
    locked_ = folder_.acquire(program_folder + "users", kFolderWaitMs);
  }
  ~AccountsHold() RELEASE() = default;
  // False when users/ could not be locked (missing, or another process held
  // it for the whole wait): the change must not be made.
  bool locked() const { return locked_; }

 private:
  MutexLock hold_;
  FolderLock folder_;
  bool locked_ = false;
};

using Keys = std::vector<std::pair<std::string, std::string>>;

std::string read_value(const std::string& path, const char* key, const char* default_value) {
  return get_profile_string(kSection, key, default_value, kAccountValueSize, path);
}

// An account file that holds nothing (a write cut short by an older version,
// a disk error) or cannot be read is no account anybody may log in to.
bool account_file_readable(const std::string& path) {
  std::string head;
  bool cut = false;
  return read_file_head(path, 1, head, cut) && !head.empty();
}

std::string file_name_of(const std::string& program_folder, const std::string& path) {
  return path.substr(account_path(program_folder, "").size());
}

// The stored form of a password given in clear; false when hashing failed.
bool stored_form(const std::string& password, std::string& stored) {
  if (password.empty()) {
    stored.clear();
    return true;
  }
  return hash_password(password, stored);
}

// The six keys of the window's write.
Keys member_keys(const MemberValues& v, const std::string& stored_password) {
  Keys keys = {{"password", stored_password}, {"sex", v.sex}};
  // An empty icon is never written: the stored picture stays.
  if (!v.icon.empty()) keys.emplace_back("Icon", v.icon);
  keys.emplace_back("email", v.email);
  keys.emplace_back("Profile", v.profile);
  keys.emplace_back("Disabled", v.disabled ? "Yes" : "No");
  return keys;
}

std::string cut_icon(std::string icon) {
  if (icon.size() > kAccountIconMax) icon.resize(kAccountIconMax);
  return icon;
}

// Creates users/<name> exclusively with `keys`; the caller holds an
// AccountsHold and has looked the name up.
AccountChange create_locked(const std::string& program_folder, const std::string& name,
                            const Keys& keys) REQUIRES(g_create_lock) {
  const std::string path = account_path(program_folder, name);
  // Password hashes and e-mail addresses: for the server's user alone.
  if (create_profile_strings(kSection, keys, path, 0600)) {
    index_account_added(program_folder, name);
    return AccountChange::Written;
  }
  // Lost a race for the same name, or could not write at all.
  return is_regular_file(path) || is_directory(path) ? AccountChange::Exists
                                                     : AccountChange::Failed;
}

}  // namespace

std::string account_path(const std::string& program_folder, const std::string& name) {
  return program_folder + "users/" + name;
}

bool account_name_safe(const std::string& name) {
  if (name.empty()) return false;
  if (name.find('/') != std::string::npos) return false;
  if (name.find('\0') != std::string::npos) return false;
  if (name.find("..") != std::string::npos) return false;
  if (is_profile_leftover(name)) return false;
  return true;
}

std::string find_account_path(const std::string& program_folder, const std::string& name) {
  if (!account_name_safe(name)) return std::string();
  const std::string exact = account_path(program_folder, name);
  if (is_regular_file(exact) || is_directory(exact)) return exact;
  const std::string file = indexed_account(program_folder, name);
  if (file.empty()) return std::string();
  const std::string path = account_path(program_folder, file);
  // The index may be a moment behind a deletion.
  return is_regular_file(path) || is_directory(path) ? path : std::string();
}

bool account_exists(const std::string& program_folder, const std::string& name) {
  return !find_account_path(program_folder, name).empty();
}

std::string lookalike_account(const std::string& program_folder, const std::string& name) {
  return indexed_lookalike(program_folder, name);
}

void remove_account_leftovers(const std::string& program_folder) {
  remove_profile_leftovers(program_folder + "users/");
}

void tighten_account_files(const std::string& program_folder) {
  const std::string folder = program_folder + "users/";
  if (!is_directory(folder)) return;
  (void)set_file_mode(folder, 0700);  // not reported: a folder of another owner stays as it is
  for (const std::string& name : find_files(folder + "*"))
    (void)set_file_mode(folder + name, 0600);  // not reported, as above
}

bool picture_name_plain(const std::string& name) {
  if (name.empty() || name.size() > kAccountIconMax || name[0] == '.') return false;
  if (name.find("..") != std::string::npos) return false;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    if (!plain) return false;
  }
  return true;
}

bool account_password_matches(const std::string& path, const std::string& password) {
  if (!account_file_readable(path)) return false;
  return password_matches(read_value(path, "password", ""), password);
}

AccountCheck check_account(const std::string& program_folder, const std::string& name,
                  const std::string& password, std::string& icon) {
  if (!account_name_safe(name)) return AccountCheck::BadLogin;
  const std::string path = find_account_path(program_folder, name);
  if (path.empty() || !is_regular_file(path)) {
    if (password.empty()) return AccountCheck::Guest;
    spend_password_check(password);  // no account tells itself by a quick answer
    return AccountCheck::BadLogin;
  }
  if (!account_file_readable(path)) {
    spend_password_check(password);
    return AccountCheck::BadLogin;
  }

  const std::string stored = read_value(path, "password", "");
  if (!password_matches(stored, password)) return AccountCheck::BadLogin;
  if (read_value(path, "Disabled", "No") != "No") return AccountCheck::Disabled;
  if (!password.empty() && !password_is_hashed(stored)) {
    // An account of an older version: its password goes out of the file now.
    std::string hashed;
    AccountsHold hold(program_folder);
    if (hold.locked() && hash_password(password, hashed))
      (void)write_profile_strings(kSection, {{"password", hashed}}, path);  // retried next login
  }

  const std::string picture =
      member_picture(read_value(path, "Icon", "-1"), read_value(path, "Sex", "-1"));
  if (!picture.empty()) icon = picture;
  return AccountCheck::Member;
}

std::string member_picture(const std::string& icon_value, const std::string& sex_value) {
  std::string picture = icon_value;
  if (!picture.empty() && picture[0] == '-') {
    // No picture of their own: members who gave their sex get the picture
    // named after it ("1" -> "1.gif"); others keep the one they chose.
    if (sex_value.empty() || sex_value[0] != '-') picture = cut_icon(sex_value + ".gif");
    else picture.clear();
  } else {
    picture = cut_icon(picture);
  }
  // The picture stands unquoted in the pages' "src=/images/..."; anything
  // but a plain file name (a stored value written by hand or by an older
  // form) leaves the default picture.
  return picture_name_plain(picture) ? picture : std::string();
}

AccountChange write_account(const std::string& program_folder, const std::string& name,
                            const AccountFields& fields, bool create) {
  if (!account_name_safe(name)) return AccountChange::Failed;
  std::string stored;
  if (!stored_form(fields.password, stored)) return AccountChange::Failed;
  // The order matters to people who read the files by hand; keep it.
  const Keys keys = {{"password", stored},
                     {"sex", fields.sex},
                     {"Icon", fields.icon},
                     {"email", fields.email},
                     {"Profile", fields.profile}};
  AccountsHold hold(program_folder);
  if (!hold.locked()) return AccountChange::Failed;
  if (create) {
    if (!find_account_path(program_folder, name).empty()) return AccountChange::Exists;
    return create_locked(program_folder, name, keys);
  }
  const std::string path = find_account_path(program_folder, name);
  if (path.empty()) return create_locked(program_folder, name, keys);
  if (!is_regular_file(path) || !account_file_readable(path)) return AccountChange::Failed;
  Keys change = keys;
  // The change form starts with an empty password: left so, the stored one
  // stays.
  if (fields.password.empty()) change.front().second = read_value(path, "password", "");
  return write_profile_strings(kSection, change, path) ? AccountChange::Written
                                                       : AccountChange::Failed;
}

bool read_account(const std::string& program_folder, const std::string& name,
                  AccountListing& a) {
  const std::string path = find_account_path(program_folder, name);
  if (path.empty() || !is_regular_file(path) || !account_file_readable(path)) return false;
  a.name = file_name_of(program_folder, path);
  a.password = read_value(path, "password", "");
  a.sex = read_value(path, "Sex", "2");
  a.icon = read_value(path, "Icon", "");
  a.email = read_value(path, "Email", "");
  a.profile = read_value(path, "Profile", "");
  a.disabled = read_value(path, "Disabled", "No");
  return true;
}

std::vector<AccountListing> list_accounts(const std::string& program_folder) {
  std::vector<AccountListing> listed;
  for (const std::string& name : find_files(program_folder + "users/*")) {
    if (is_profile_leftover(name)) continue;
    AccountListing a;
    if (!read_account(program_folder, name, a) || a.password.empty() || a.name != name) continue;
    listed.push_back(std::move(a));
  }
  return listed;
}

AccountChange add_member(const std::string& program_folder, const std::string& name,
                         const MemberValues& values) {
  if (!account_name_safe(name)) return AccountChange::Failed;
  std::string stored;
  if (!stored_form(values.password, stored)) return AccountChange::Failed;
  AccountsHold hold(program_folder);
  if (!hold.locked()) return AccountChange::Failed;
  if (!find_account_path(program_folder, name).empty()) return AccountChange::Exists;
  return create_locked(program_folder, name, member_keys(values, stored));
}

AccountChange edit_member(const std::string& program_folder, const std::string& old_name,
                          const std::string& new_name, const MemberValues& values,
                          std::string& stored_name) {
  if (!account_name_safe(new_name)) return AccountChange::Failed;
  std::string stored;
  if (!stored_form(values.password, stored)) return AccountChange::Failed;
  AccountsHold hold(program_folder);
  if (!hold.locked()) return AccountChange::Failed;
  const std::string old_path = find_account_path(program_folder, old_name);
  if (values.password.empty() && !old_path.empty()) {
    // The dialog leaves the password empty to keep it.
    if (is_regular_file(old_path) && !account_file_readable(old_path)) return AccountChange::Failed;
    stored = read_value(old_path, "password", "");
  }
  const std::string target = find_account_path(program_folder, new_name);
  if (!target.empty()) {
    if (target != old_path) return AccountChange::Exists;
    if (!is_regular_file(target) ||
        !write_profile_strings(kSection, member_keys(values, stored), target))
      return AccountChange::Failed;
    stored_name = file_name_of(program_folder, target);
    return AccountChange::Written;
  }
  if (old_path.empty() || !is_regular_file(old_path)) {
    const AccountChange made = create_locked(program_folder, new_name, member_keys(values, stored));
    if (made == AccountChange::Written) stored_name = new_name;
    return made;
  }
  // A rename: the account moves to its new name in one step that never
  // replaces another file, then takes its new values there (a whole
  // replacement). A kill between the two leaves the new name with the old
  // values; at no moment are there two accounts.
  const std::string new_path = account_path(program_folder, new_name);
  if (!rename_file_exclusive(old_path, new_path))
    return is_regular_file(new_path) || is_directory(new_path) ? AccountChange::Exists
                                                                : AccountChange::Failed;
  if (!write_profile_strings(kSection, member_keys(values, stored), new_path)) {
    // Back to the old name, so that a refused change changed nothing.
    if (rename_file_exclusive(new_path, old_path)) return AccountChange::Failed;
    index_account_removed(program_folder, file_name_of(program_folder, old_path));
    index_account_added(program_folder, new_name);
    return AccountChange::Failed;
  }
  index_account_removed(program_folder, file_name_of(program_folder, old_path));
  index_account_added(program_folder, new_name);
  stored_name = new_name;
  return AccountChange::Written;
}

bool delete_member(const std::string& program_folder, const std::string& name) {
  AccountsHold hold(program_folder);
  if (!hold.locked()) return false;
  const std::string path = find_account_path(program_folder, name);
  if (path.empty() || !is_regular_file(path) || !delete_file(path)) return false;
  index_account_removed(program_folder, file_name_of(program_folder, path));
  return true;
}

}  // namespace tvl
