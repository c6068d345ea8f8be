#include "chat/page_escape.h"

#include <cstring>

namespace tvl {

namespace {

const char kHex[] = "0123456789ABCDEF";

bool letter_or_digit(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

void percent(std::string& out, unsigned char c) {
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

}  // namespace

std::string escape_html(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string escape_address_value(const std::string& text) {
  static const char kKept[] = "-_.~!*()%+,;:@/=?$";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (letter_or_digit(c) || (c != 0 && std::strchr(kKept, c) != nullptr)) out += ch;
    else percent(out, c);
  }
  return out;
}

std::string getname_argument(const std::string& name) {
  std::string out;
  out.reserve(name.size() * 3);
  for (char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (letter_or_digit(c) || c == '-' || c == '_' || c == '.') {
      out += ch;
      continue;
    }
    // The script string is single-quoted: its quote, the backslash and line
    // ends need a backslash in front, written percent-encoded too.
    if (c == '\'' || c == '\\') {
      percent(out, '\\');
      percent(out, c);
    } else if (c == '\n') {
      percent(out, '\\');
      out += 'n';
    } else if (c == '\r') {
      percent(out, '\\');
      out += 'r';
    } else {
      percent(out, c);
    }
  }
  return out;
}

std::string name_link(const std::string& name) {
  return "<a target=chatsubmit href=javascript:parent.chatsubmit.getname('" +
         getname_argument(name) + "');>" + escape_html(name) + "</a>";
}

}  // namespace tvl
