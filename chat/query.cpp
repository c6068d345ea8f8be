#include "chat/query.h"

#include <cctype>
#include <charconv>
#include <climits>

#include "server/form_text.h"
#include "storage/account_name.h"

namespace tvl {

bool has_key(std::string_view text, std::string_view key) {
  return text.find(key) != std::string_view::npos;
}

namespace {

// Where key_value's value lies in `text`; false when it is empty by rule.
bool value_span(std::string_view text, std::string_view key, std::string_view next_key,
                MissingNext missing, std::string_view& value) {
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return false;
  const std::size_t from = at + key.size();
  std::size_t to = next_key.empty() ? std::string_view::npos : text.find(next_key, from);
  if (to == std::string_view::npos && !next_key.empty() && missing == MissingNext::Empty)
    return false;
  value = text.substr(from, to == std::string_view::npos ? to : to - from);
  return true;
}

}  // namespace

std::string key_value(std::string_view text, std::string_view key, std::string_view next_key,
                      MissingNext missing) {
  std::string_view value;
  return value_span(text, key, next_key, missing, value) ? std::string(value) : std::string();
}

int key_number(std::string_view text, std::string_view key, std::string_view next_key,
               MissingNext missing) {
  std::string_view value;
  if (!value_span(text, key, next_key, missing, value)) return 0;
  // strtol's reading: white space, a sign, then the digits that follow.
  std::size_t at = 0;
  while (at < value.size() && std::isspace(static_cast<unsigned char>(value[at]))) ++at;
  const bool negative = at < value.size() && value[at] == '-';
  if (at < value.size() && (value[at] == '-' || value[at] == '+')) ++at;
  if (at == value.size() || !std::isdigit(static_cast<unsigned char>(value[at]))) return 0;
  long long number = 0;
  const auto read = std::from_chars(value.data() + at, value.data() + value.size(), number);
  if (read.ec != std::errc()) return 0;  // too many digits
  if (negative) number = -number;
  if (number > INT_MAX || number < INT_MIN) return 0;
  return static_cast<int>(number);
}

bool decoded_name_allowed(const std::string& name) {
  if (name.empty() || name.size() > 63) return false;
  if (name.find("..") != std::string::npos) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == '/' || c == '\\' || c == '<' || c == '>' || c == '"' || c == '\'')
      return false;
  }
  // Names people cannot tell apart by looking: invisible or bidi characters,
  // odd spaces, blanks at either end, bytes that are no UTF-8.
  return account_name_well_formed(name);
}

bool user_name_allowed(const std::string& name_in_address) {
  if (name_in_address.empty() || name_in_address.size() > 63) return false;
  if (name_in_address.find('\0') != std::string::npos) return false;
  if (name_in_address.find('&') != std::string::npos) return false;
  std::string name = name_in_address;
  form_decode(name);
  return decoded_name_allowed(name);
}

}  // namespace tvl
