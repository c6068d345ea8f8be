#include "storage/account.h"

#include "platform/fs.h"
#include "platform/profile.h"

namespace tvl {

namespace {

const char kSection[] = "main";

std::string read_value(const std::string& path, const char* key, const char* default_value) {
  return get_profile_string(kSection, key, default_value, kAccountValueSize, path);
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

bool account_exists(const std::string& program_folder, const std::string& name) {
  if (!account_name_safe(name)) return false;
  const std::string path = account_path(program_folder, name);
  return is_regular_file(path) || is_directory(path);
}

int check_account(const std::string& program_folder, const std::string& name,
                  const std::string& password, std::string& icon) {
  if (!account_name_safe(name)) return kAccountBadLogin;
  const std::string path = account_path(program_folder, name);
  if (!is_regular_file(path)) return password.empty() ? kAccountGuest : kAccountBadLogin;

  if (read_value(path, "password", "") != password) return kAccountBadLogin;
  if (read_value(path, "Disabled", "No") != "No") return kAccountDisabled;

  std::string picture = read_value(path, "Icon", "-1");
  if (!picture.empty() && picture[0] == '-') {
    // No picture of their own: members who gave their sex get the picture
    // named after it ("1" -> "1.gif"); others keep the one they chose.
    std::string sex = read_value(path, "Sex", "-1");
    if (sex.empty() || sex[0] != '-') icon = cut_icon(sex + ".gif");
  } else {
    icon = cut_icon(picture);
  }
  return kAccountMember;
}

bool write_account(const std::string& program_folder, const std::string& name,
                   const AccountFields& fields) {
  if (!account_name_safe(name)) return false;
  const std::string path = account_path(program_folder, name);
  // The order matters to people who read the files by hand; keep it.
  return write_profile_string(kSection, "password", fields.password, path) &&
         write_profile_string(kSection, "sex", fields.sex, path) &&
         write_profile_string(kSection, "Icon", fields.icon, path) &&
         write_profile_string(kSection, "email", fields.email, path) &&
         write_profile_string(kSection, "Profile", fields.profile, path);
}

}  // namespace tvl
