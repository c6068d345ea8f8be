#include "ops/json_text.h"

#include <cstdio>

namespace tvl {

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

const char* json_bool(bool on) { return on ? "true" : "false"; }

void JsonList::add(const std::string& object) {
  if (!items_.empty()) items_ += ',';
  items_ += object;
}

std::string JsonList::text() const { return "[" + items_ + "]\n"; }

}  // namespace tvl
