#include "chat/room_admin.h"

namespace tvl {

namespace {

bool separator(char c) { return c == ',' || c == ';' || c == ' '; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

}  // namespace

bool is_room_administrator(std::string_view admin_text, const std::string& name) {
  // The text comes from a fixed field and may end at a NUL.
  admin_text = admin_text.substr(0, admin_text.find('\0'));
  if (name.empty()) return false;
  std::size_t at = 0;
  while (at <= admin_text.size()) {
    std::size_t end = at;
    while (end < admin_text.size() && !separator(admin_text[end])) ++end;
    if (same_ignoring_case(admin_text.substr(at, end - at), name)) return true;
    at = end + 1;
  }
  return false;
}

}  // namespace tvl
