#include "ops/json_text.h"

#include <cstdint>

#include "ops/utf8_scan.h"

#include <cstdio>

namespace tvl {

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    uint32_t code = 0;
    const std::size_t n = utf8_sequence(text, i, &code);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (n == 0 || code < 0x20 || (code >= 0x7f && code <= 0x9f)) {
      // Controls, and a byte that is not UTF-8 as the Latin-1 letter of its
      // value: the text stays valid JSON and loses no byte's identity.
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", n == 0 ? unsigned(c) : unsigned(code));
      out += esc;
    } else {
      out.append(text, i, n);
    }
    i += n == 0 ? 1 : n;
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
