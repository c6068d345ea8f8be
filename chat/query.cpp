#include "chat/query.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "server/form_text.h"
#include "storage/account_name.h"

namespace tvl {

bool has_key(const std::string& text, const std::string& key) {
  return text.find(key) != std::string::npos;
}

std::string key_value(const std::string& text, const std::string& key, const std::string& next_key) {
  std::size_t at = text.find(key);
  if (at == std::string::npos) return std::string();
  std::size_t from = at + key.size();
  std::size_t to = next_key.empty() ? std::string::npos : text.find(next_key, from);
  return text.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

int key_number(const std::string& text, const std::string& key) {
  std::size_t at = text.find(key);
  if (at == std::string::npos) return 0;
  const char* start = text.c_str() + at + key.size();
  errno = 0;
  long value = std::strtol(start, nullptr, 10);
  if (errno == ERANGE || value > INT_MAX || value < INT_MIN) return 0;
  return static_cast<int>(value);
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
