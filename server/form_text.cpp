#include "server/form_text.h"

#include <algorithm>

namespace tvl {

const char* const message_colours[20] = {
    "#FFFFFF", "#000000", "#000099", "#009900", "#FF0000", "#990000", "#990099",
    "#999900", "#FFFF00", "#00FF00", "#009999", "#00FFFF", "#0000FF", "#FF00FF",
    "#999999", "#CCCCCC", "#1E90FF", "#FFC0CB", "#FF7F50", "#FFD700"};

namespace {

// The forms' digit rule: letters (0x41..0x7F) count from "A" = 10 whatever
// their case; every other byte counts from "0".
int digit_value(unsigned char c) {
  if (c >= 0x41 && c <= 0x7F) return (c & ~0x20) - 55;
  return static_cast<int>(c) - 48;
}

}  // namespace

int form_decode(std::string& text, int length) {
  std::size_t end = text.find('\0');
  if (end != std::string::npos) text.resize(end);
  std::size_t plus_limit = length < 0 ? text.size() : std::min<std::size_t>(length, text.size());
  for (std::size_t i = 0; i < plus_limit; ++i)
    if (text[i] == '+') text[i] = ' ';

  std::size_t out = 0;
  for (std::size_t in = 0; in < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[in]);
    if (c == '%' && in + 2 < text.size()) {
      int value = digit_value(static_cast<unsigned char>(text[in + 1])) * 16 +
                  digit_value(static_cast<unsigned char>(text[in + 2]));
      text[out++] = static_cast<char>(value & 0xFF);
      in += 3;
    } else {
      text[out++] = static_cast<char>(c);
      ++in;
    }
  }
  text.resize(out);
  return static_cast<int>(out);
}

std::string escape_for_page(const std::string& text) {
  static const char hex[] = "0123456789abcdef";
  const bool all = text.find("&#") != std::string::npos;
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    if (all || (c >= 0x01 && c <= 0x1F) || c >= 0x80) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace tvl
