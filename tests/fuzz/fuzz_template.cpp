// Template filling, the HTML guard and the script-string escape. The input
// is cut at zero bytes into a page, a marker and a value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "chat/html_guard.h"
#include "chat/script_string.h"
#include "chat/template_fill.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool ends_name(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '/' || c == '>';
}

// Whether a browser reading the text would start a script element: the
// text is read roughly as an HTML tokenizer does (tags with their quoted
// attribute values, comments, bogus comments), and a start tag named
// "script" (any case) is looked for.
bool has_script_tag(const std::string& text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    if (text[i] != '<') {
      ++i;
      continue;
    }
    ++i;
    if (i < n && text[i] == '!') {
      const bool comment = text.compare(i, 3, "!--") == 0;
      const std::size_t end = text.find(comment ? "-->" : ">", i);
      if (end == std::string::npos) return false;
      i = end + 1;
      continue;
    }
    const bool end_tag = i < n && text[i] == '/';
    if (end_tag) ++i;
    if (i >= n || !is_letter(text[i])) continue;  // not a tag: "<" is text
    std::string name;
    while (i < n && !ends_name(text[i])) name += lower(text[i++]);
    if (!end_tag && name == "script") return true;
    // The attributes, as the tokenizer reads them: a name (which may begin
    // with "="), then optionally "=" and a quoted or unquoted value.
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; };
    while (i < n && text[i] != '>') {
      if (blank(text[i]) || text[i] == '/') {
        ++i;
        continue;
      }
      ++i;  // first byte of the name, "=" included
      while (i < n && !blank(text[i]) && text[i] != '/' && text[i] != '>' && text[i] != '=') ++i;
      while (i < n && blank(text[i])) ++i;
      if (i >= n || text[i] != '=') continue;
      ++i;
      while (i < n && blank(text[i])) ++i;
      if (i < n && (text[i] == '"' || text[i] == '\'')) {
        const std::size_t close = text.find(text[i], i + 1);
        if (close == std::string::npos) return false;  // the rest is the value
        i = close + 1;
      } else {
        while (i < n && !blank(text[i]) && text[i] != '>') ++i;
      }
    }
    ++i;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const auto parts = tvl::fuzz::split_input(data, size, 3);

  std::string page = parts[0];
  tvl::fill_marker(page, parts[1], parts[2]);
  if (parts[1].empty() && page != parts[0]) std::abort();

  const std::string whole(reinterpret_cast<const char*>(data), size);
  const std::string guarded = tvl::guard_html(whole);
  if (has_script_tag(guarded)) std::abort();

  const std::string escaped = tvl::escape_for_script_string(whole);
  if (escaped.find("</") != std::string::npos || escaped.find("<!--") != std::string::npos ||
      escaped.find('\n') != std::string::npos || escaped.find('\r') != std::string::npos)
    std::abort();
  return 0;
}
