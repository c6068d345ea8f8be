#include "storage/account.h"

#include "platform/fs.h"
#include "platform/profile.h"

namespace tvl {

namespace {

const char kSection[] = "main";

std::string read_value(const std::string& path, const char* key, const char* default_value) {
  return get_profile_string(kSection, key, default_value, kAccountValueSize, path);
}

bool same_ignoring_case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// The six keys of the window's write, as one whole replacement of the file.
bool write_member(const std::string& path, const MemberValues& v) {
  std::vector<std::pair<std::string, std::string>> keys = {{"password", v.password},
                                                           {"sex", v.sex}};
  // An empty icon is never written: the stored picture stays.
  if (!v.icon.empty()) keys.emplace_back("Icon", v.icon);
  keys.emplace_back("email", v.email);
  keys.emplace_back("Profile", v.profile);
  keys.emplace_back("Disabled", v.disabled ? "Yes" : "No");
  return write_profile_strings(kSection, keys, path);
}

std::string cut_icon(std::string icon) {
  if (icon.size() > kAccountIconMax) icon.resize(kAccountIconMax);
  return icon;
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
  return true;
}

std::string find_account_path(const std::string& program_folder, const std::string& name) {
  if (!account_name_safe(name)) return std::string();
  const std::string exact = account_path(program_folder, name);
  if (is_regular_file(exact) || is_directory(exact)) return exact;
  for (const std::string& entry : list_folder(program_folder + "users/"))
    if (same_ignoring_case(entry, name)) return account_path(program_folder, entry);
  return std::string();
}

bool account_exists(const std::string& program_folder, const std::string& name) {
  return !find_account_path(program_folder, name).empty();
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

int check_account(const std::string& program_folder, const std::string& name,
                  const std::string& password, std::string& icon) {
  if (!account_name_safe(name)) return kAccountBadLogin;
  const std::string path = find_account_path(program_folder, name);
  if (path.empty() || !is_regular_file(path))
    return password.empty() ? kAccountGuest : kAccountBadLogin;

  if (read_value(path, "password", "") != password) return kAccountBadLogin;
  if (read_value(path, "Disabled", "No") != "No") return kAccountDisabled;

  std::string picture = read_value(path, "Icon", "-1");
  if (!picture.empty() && picture[0] == '-') {
    // No picture of their own: members who gave their sex get the picture
    // named after it ("1" -> "1.gif"); others keep the one they chose.
    std::string sex = read_value(path, "Sex", "-1");
    if (sex.empty() || sex[0] != '-') picture = cut_icon(sex + ".gif");
    else picture.clear();
  } else {
    picture = cut_icon(picture);
  }
  // The picture stands unquoted in the pages' "src=/images/..."; anything
  // but a plain file name (a stored value written by hand or by an older
  // form) leaves the default picture.
  if (picture_name_plain(picture)) icon = picture;
  return kAccountMember;
}

bool write_account(const std::string& program_folder, const std::string& name,
                   const AccountFields& fields) {
  if (!account_name_safe(name)) return false;
  std::string path = find_account_path(program_folder, name);
  if (path.empty()) path = account_path(program_folder, name);
  // The order matters to people who read the files by hand; keep it.
  return write_profile_strings(kSection,
                               {{"password", fields.password},
                                {"sex", fields.sex},
                                {"Icon", fields.icon},
                                {"email", fields.email},
                                {"Profile", fields.profile}},
                               path);
}

std::vector<AccountListing> list_accounts(const std::string& program_folder) {
  std::vector<AccountListing> listed;
  for (const std::string& name : find_files(program_folder + "users/*")) {
    const std::string path = account_path(program_folder, name);
    AccountListing a;
    a.password = read_value(path, "password", "");
    if (a.password.empty()) continue;
    a.name = name;
    a.sex = read_value(path, "Sex", "2");
    a.icon = read_value(path, "Icon", "");
    a.email = read_value(path, "Email", "");
    a.profile = read_value(path, "Profile", "");
    a.disabled = read_value(path, "Disabled", "No");
    listed.push_back(std::move(a));
  }
  return listed;
}

AccountChange add_member(const std::string& program_folder, const std::string& name,
                         const MemberValues& values) {
  if (!account_name_safe(name)) return AccountChange::kFailed;
  if (!find_account_path(program_folder, name).empty()) return AccountChange::kExists;
  const std::string path = account_path(program_folder, name);
  if (write_member(path, values)) return AccountChange::kWritten;
  delete_file(path);  // no half-written account stays behind
  return AccountChange::kFailed;
}

AccountChange edit_member(const std::string& program_folder, const std::string& old_name,
                          const std::string& new_name, const MemberValues& values,
                          std::string& stored_name) {
  if (!account_name_safe(new_name)) return AccountChange::kFailed;
  const std::string old_path = find_account_path(program_folder, old_name);
  const std::string target = find_account_path(program_folder, new_name);
  if (!target.empty()) {
    if (target != old_path) return AccountChange::kExists;
    if (!is_regular_file(target) || !write_member(target, values)) return AccountChange::kFailed;
    stored_name = target.substr(account_path(program_folder, "").size());
    return AccountChange::kWritten;
  }
  // A rename: the new file first, the old one goes only once that stands.
  const std::string path = account_path(program_folder, new_name);
  if (!write_member(path, values)) {
    delete_file(path);
    return AccountChange::kFailed;
  }
  if (!old_path.empty() && is_regular_file(old_path)) delete_file(old_path);
  stored_name = new_name;
  return AccountChange::kWritten;
}

bool delete_member(const std::string& program_folder, const std::string& name) {
  const std::string path = find_account_path(program_folder, name);
  return !path.empty() && is_regular_file(path) && delete_file(path);
}

}  // namespace tvl
