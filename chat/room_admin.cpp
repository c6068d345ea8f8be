#include "chat/room_admin.h"

#include "storage/account_name.h"

namespace tvl {

namespace {

bool separator(char c) { return c == ',' || c == ';' || c == ' '; }

// Whether `match` holds for one of the names of the administrator text.
template <typename Match>
bool any_administrator(std::string_view admin_text, const Match& match) {
  // The text comes from a fixed field and may end at a NUL.
  admin_text = admin_text.substr(0, admin_text.find('\0'));
  std::size_t at = 0;
  while (at <= admin_text.size()) {
    std::size_t end = at;
    while (end < admin_text.size() && !separator(admin_text[end])) ++end;
    if (end > at && match(std::string(admin_text.substr(at, end - at)))) return true;
    at = end + 1;
  }
  return false;
}

}  // namespace

bool is_room_administrator(std::string_view admin_text, const std::string& name) {
  if (name.empty()) return false;
  const std::string fold = account_name_fold(name);
  return any_administrator(admin_text,
                           [&](const std::string& admin) { return account_name_fold(admin) == fold; });
}

bool is_reserved_name(std::string_view admin_text, const std::string& name) {
  if (name.empty()) return false;
  const std::string skeleton = account_name_skeleton(name);
  return any_administrator(admin_text, [&](const std::string& admin) {
    return account_name_skeleton(admin) == skeleton;
  });
}

}  // namespace tvl
