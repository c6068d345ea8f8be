#include "chat/operator_rules.h"

#include <cstdio>

#include "chat/query.h"

namespace tvl {

const char kAccountExistsMessage[] = "This username already exist!";
const char kAccountNameMessage[] = "invalid character in Username !";

namespace {

bool has_control_byte(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

}  // namespace

bool member_name_allowed(const std::string& name) {
  return decoded_name_allowed(name) && name.find('&') == std::string::npos;
}

const char* account_change_message(AccountChange change) {
  switch (change) {
    case AccountChange::Written: return nullptr;
    case AccountChange::Exists: return kAccountExistsMessage;
    case AccountChange::Failed: return kAccountNameMessage;
  }
  return kAccountNameMessage;
}

std::string room_values_refusal(const std::string& program_folder, const RoomValues& v) {
  if (v.name.empty()) return "The room name is empty!";
  RoomTextLimits limits;
  (void)room_text_limits(program_folder, limits);  // without a file: the table's sizes
  char text[128];
  if (int(v.name.size()) > limits.name) {
    std::snprintf(text, sizeof text, "The room name is longer than %d characters!", limits.name);
    return text;
  }
  if (int(v.admin.size()) > limits.admin) {
    std::snprintf(text, sizeof text, "The administrators are longer than %d characters!",
                  limits.admin);
    return text;
  }
  if (has_control_byte(v.name) || has_control_byte(v.admin))
    return "The room name or the administrators contain a control character!";
  return std::string();
}

}  // namespace tvl
