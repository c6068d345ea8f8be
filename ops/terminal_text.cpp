#include "ops/terminal_text.h"

#include <cstdint>
#include <cstdio>

#include "ops/utf8_scan.h"

namespace tvl {

namespace {

void escape_byte(unsigned char c, std::string& out) {
  char esc[8];
  std::snprintf(esc, sizeof esc, "\\x%02x", c);
  out += esc;
}

std::string escaped(const std::string& text, bool keep_lines) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool line_end = c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
    if (keep_lines && (c == '\t' || line_end)) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (c == '\\') {
      out += "\\\\";
      ++i;
      continue;
    }
    uint32_t code = 0;
    const std::size_t n = utf8_sequence(text, i, &code);
    const bool control = n == 0 || code < 0x20 || (code >= 0x7f && code <= 0x9f);
    for (std::size_t j = 0; j < (n == 0 ? 1 : n); ++j) {
      if (control) escape_byte(static_cast<unsigned char>(text[i + j]), out);
      else out += text[i + j];
    }
    i += n == 0 ? 1 : n;
  }
  return out;
}

}  // namespace

std::string terminal_text(const std::string& text) { return escaped(text, false); }

std::string terminal_lines(const std::string& text) { return escaped(text, true); }

}  // namespace tvl
