#include "chat/link_maker.h"

#include <cstring>

namespace tvl {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_word(char c) {
  return is_alpha(c) || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' || c == '/' ||
         c == '@' || static_cast<unsigned char>(c) >= 0x80;
}

bool starts_with_ignoring_case(const std::string& s, std::size_t at, const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  if (at + n > s.size()) return false;
  for (std::size_t k = 0; k < n; ++k)
    if (lower(s[at + k]) != prefix[k]) return false;
  return true;
}

bool ends_address(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u <= 0x20 || u == 0x7F || std::strchr("<>\"')]}", c) != nullptr;
}

bool final_punctuation(char c) { return std::strchr(".,;:!?", c) != nullptr; }

// Length of the address at `at` (0 when none starts there) and whether it
// needs "http://" in front to be one.
std::size_t address_at(const std::string& s, std::size_t at, bool& needs_scheme) {
  if (at > 0 && is_word(s[at - 1])) return 0;
  std::size_t prefix = 0;
  needs_scheme = false;
  if (starts_with_ignoring_case(s, at, "http://")) prefix = 7;
  else if (starts_with_ignoring_case(s, at, "https://")) prefix = 8;
  else if (starts_with_ignoring_case(s, at, "www.")) prefix = 4, needs_scheme = true;
  else return 0;
  std::size_t end = at + prefix;
  while (end < s.size() && !ends_address(s[end])) ++end;
  while (end > at + prefix && final_punctuation(s[end - 1])) --end;
  return end > at + prefix ? end - at : 0;
}

// Index after the tag that starts at `at` ("<" and a letter or "/"),
// quoted values skipped; the text's end when it is not closed.
std::size_t tag_end(const std::string& s, std::size_t at) {
  char quote = 0;
  for (std::size_t i = at + 1; i < s.size(); ++i) {
    const char c = s[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      if (s[i - 1] == '=' || s[i - 1] == ' ') quote = c;
    } else if (c == '>') {
      return i + 1;
    }
  }
  return s.size();
}

}  // namespace

std::string make_links(const std::string& text, std::size_t max_bytes) {
  std::string out;
  out.reserve(text.size());
  int inside_link = 0;  // depth of <a> the visitor wrote
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '<' && i + 1 < text.size() && (is_alpha(text[i + 1]) || text[i + 1] == '/')) {
      const std::size_t end = tag_end(text, i);
      const bool closing = text[i + 1] == '/';
      const std::size_t name = i + (closing ? 2 : 1);
      if (name < text.size() && lower(text[name]) == 'a' &&
          (name + 1 >= text.size() || !is_alpha(text[name + 1]))) {
        if (closing && inside_link > 0) --inside_link;
        else if (!closing) ++inside_link;
      }
      out.append(text, i, end - i);
      i = end;
      continue;
    }
    bool needs_scheme = false;
    const std::size_t length = inside_link ? 0 : address_at(text, i, needs_scheme);
    if (length == 0) {
      out += c;
      ++i;
      continue;
    }
    const std::string address = text.substr(i, length);
    std::string link = "<a target=_blank rel=\"noopener noreferrer\" href=\"";
    if (needs_scheme) link += "http://";
    link += address + "\"><font color=blue>" + address + "</font></a>";
    if (out.size() + link.size() + (text.size() - i - length) > max_bytes) {
      out.append(text, i, std::string::npos);  // no more links
      return out;
    }
    out += link;
    i += length;
  }
  return out;
}

}  // namespace tvl
