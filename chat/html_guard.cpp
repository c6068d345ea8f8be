#include "chat/html_guard.h"

#include <cstring>
#include <vector>

namespace tvl {

namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Whitespace as the tokenizer sees it (a CR becomes LF before tokenizing).
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Elements that run script, load other documents or code, send forms, change
// the page's base or refresh it, or make the browser read the text after
// them by other rules (raw text, foreign content).
const char* const kBlockedElements[] = {
    "script",   "style",    "iframe",   "frame",   "frameset",        "object",
    "embed",    "applet",   "form",     "base",    "meta",            "link",
    "svg",      "math",     "template", "portal",  "isindex",         "title",
    "textarea", "xmp",      "noembed",  "noframes", "noscript",       "plaintext",
    "animate",  "animatemotion", "animatetransform", "set", "handler", "listener",
};

bool blocked_element(const std::string& name) {
  for (const char* blocked : kBlockedElements)
    if (name == blocked) return true;
  return false;
}

struct Attribute {
  std::string name;   // lower case
  std::string value;  // as written, character references not decoded
};

// Decodes the character references that can spell a dangerous address:
// numeric ones (decimal and hexadecimal, with or without ";") and the named
// ones for ASCII punctuation and blanks. Named references are matched
// without regard to case, which accepts more than a browser does; that only
// makes the check stricter. Code points above ASCII become 0x80.
std::string decode_references(const std::string& value) {
  static const struct {
    const char* name;
    char c;
  } kNamed[] = {{"colon", ':'}, {"tab", '\t'},   {"newline", '\n'}, {"sol", '/'},
                {"bsol", '\\'}, {"lpar", '('},   {"rpar", ')'},     {"period", '.'},
                {"comma", ','}, {"semi", ';'},   {"quot", '"'},     {"apos", '\''},
                {"amp", '&'},   {"lt", '<'},     {"gt", '>'},       {"equals", '='},
                {"num", '#'},   {"excl", '!'},   {"percnt", '%'},   {"plus", '+'}};
  std::string out;
  std::size_t i = 0;
  while (i < value.size()) {
    if (value[i] != '&') {
      out += value[i++];
      continue;
    }
    std::size_t j = i + 1;
    if (j < value.size() && value[j] == '#') {
      ++j;
      bool hex = j < value.size() && (value[j] == 'x' || value[j] == 'X');
      if (hex) ++j;
      std::size_t digits_from = j;
      unsigned long code = 0;
      while (j < value.size()) {
        char c = value[j];
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (hex && lower(c) >= 'a' && lower(c) <= 'f') d = lower(c) - 'a' + 10;
        if (d < 0) break;
        if (code < 0x110000) code = code * (hex ? 16 : 10) + d;
        ++j;
      }
      if (j == digits_from) {  // "&#" without digits stays as it is
        out += value[i++];
        continue;
      }
      if (j < value.size() && value[j] == ';') ++j;
      out += code < 0x80 ? static_cast<char>(code) : static_cast<char>(0x80);
      i = j;
      continue;
    }
    bool matched = false;
    for (const auto& named : kNamed) {
      std::size_t len = std::strlen(named.name);
      if (j + len > value.size()) continue;
      bool same = true;
      for (std::size_t k = 0; k < len && same; ++k) same = lower(value[j + k]) == named.name[k];
      if (!same) continue;
      out += named.c;
      i = j + len;
      if (i < value.size() && value[i] == ';') ++i;
      matched = true;
      break;
    }
    if (!matched) out += value[i++];
  }
  return out;
}

// Whether a value, read as an address, would run script or carry a document
// of its own. Browsers drop blanks and control characters around and inside
// a scheme and ignore letter case there.
bool dangerous_value(const std::string& raw) {
  std::string decoded = decode_references(raw);
  std::string squeezed;
  for (char c : decoded) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) continue;
    squeezed += lower(c);
  }
  for (const char* scheme : {"javascript:", "vbscript:", "livescript:"})
    if (squeezed.find(scheme) != std::string::npos) return true;
  return squeezed.compare(0, 5, "data:") == 0;
}

bool dangerous_attribute(const Attribute& a) {
  if (a.name.size() >= 2 && a.name[0] == 'o' && a.name[1] == 'n') return true;
  // A style can lay an element over the whole page (position:fixed) and so
  // cover or fake every other visitor's messages.
  if (a.name == "style") return true;
  return dangerous_value(a.value);
}

// One tag read as the browser's tokenizer reads it, from the "<" at `from`.
struct Tag {
  bool end_tag = false;
  bool closed = false;  // a ">" ended it
  std::size_t next = 0;  // index after the tag
  std::string name;     // lower case
  std::vector<Attribute> attributes;
};

Tag read_tag(const std::string& s, std::size_t from) {
  Tag tag;
  std::size_t j = from + 1;
  if (s[j] == '/') {
    tag.end_tag = true;
    ++j;
  }
  enum State {
    kTagName, kBeforeName, kName, kAfterName, kBeforeValue, kDoubleQuoted, kSingleQuoted,
    kUnquoted, kAfterQuoted, kSelfClosing
  } state = kTagName;
  const std::size_t n = s.size();
  while (j < n && !tag.closed) {
    char c = s[j];
    switch (state) {
      case kTagName:
        if (is_space(c)) state = kBeforeName;
        else if (c == '/') state = kSelfClosing;
        else if (c == '>') tag.closed = true;
        else tag.name += lower(c);
        ++j;
        break;
      case kBeforeName:
        if (is_space(c)) {
          ++j;
        } else if (c == '/' || c == '>') {
          state = kAfterName;  // reconsume
        } else {
          tag.attributes.push_back({});
          if (c == '=') {
            tag.attributes.back().name += c;
            ++j;
          }
          state = kName;
        }
        break;
      case kName:
        if (is_space(c) || c == '/' || c == '>') {
          state = kAfterName;  // reconsume
        } else if (c == '=') {
          state = kBeforeValue;
          ++j;
        } else {
          tag.attributes.back().name += lower(c);
          ++j;
        }
        break;
      case kAfterName:
        if (is_space(c)) {
          ++j;
        } else if (c == '/') {
          state = kSelfClosing;
          ++j;
        } else if (c == '=') {
          state = kBeforeValue;
          ++j;
        } else if (c == '>') {
          tag.closed = true;
          ++j;
        } else {
          tag.attributes.push_back({});
          state = kName;  // reconsume
        }
        break;
      case kBeforeValue:
        if (is_space(c)) {
          ++j;
        } else if (c == '"') {
          state = kDoubleQuoted;
          ++j;
        } else if (c == '\'') {
          state = kSingleQuoted;
          ++j;
        } else if (c == '>') {
          tag.closed = true;
          ++j;
        } else {
          state = kUnquoted;  // reconsume
        }
        break;
      case kDoubleQuoted:
      case kSingleQuoted:
        if (c == (state == kDoubleQuoted ? '"' : '\'')) state = kAfterQuoted;
        else tag.attributes.back().value += c;
        ++j;
        break;
      case kUnquoted:
        if (is_space(c)) state = kBeforeName;
        else if (c == '>') tag.closed = true;
        else tag.attributes.back().value += c;
        ++j;
        break;
      case kAfterQuoted:
        if (is_space(c)) {
          state = kBeforeName;
          ++j;
        } else if (c == '/') {
          state = kSelfClosing;
          ++j;
        } else if (c == '>') {
          tag.closed = true;
          ++j;
        } else {
          state = kBeforeName;  // reconsume
        }
        break;
      case kSelfClosing:
        if (c == '>') {
          tag.closed = true;
          ++j;
        } else {
          state = kBeforeName;  // reconsume
        }
        break;
    }
  }
  tag.next = j;
  return tag;
}

bool dangerous_tag(const Tag& tag) {
  if (!tag.closed) return true;
  if (blocked_element(tag.name)) return true;
  if (tag.end_tag) return false;  // browsers ignore the attributes of end tags
  for (const Attribute& a : tag.attributes)
    if (dangerous_attribute(a)) return true;
  return false;
}

void append_as_text(std::string& out, const std::string& s, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    switch (s[i]) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += s[i];
    }
  }
}

}  // namespace

std::string guard_html(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    if (text[i] != '<') {
      out += text[i++];
      continue;
    }
    char next = i + 1 < n ? text[i + 1] : '\0';
    bool start_tag = is_alpha(next);
    bool end_tag = next == '/' && i + 2 < n && is_alpha(text[i + 2]);
    if (!start_tag && !end_tag) {
      // "<" that opens no tag. Before "!", "?" or "/" (or at the very end,
      // where the next line would follow) the browser would start a comment
      // or drop text, so it is written as text; before anything else it is
      // text already.
      if (next == '!' || next == '?' || next == '/' || next == '\0') out += "&lt;";
      else out += '<';
      ++i;
      continue;
    }
    Tag tag = read_tag(text, i);
    if (dangerous_tag(tag)) append_as_text(out, text, i, tag.next);
    else out.append(text, i, tag.next - i);
    i = tag.next;
  }
  return out;
}

}  // namespace tvl
