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
    // Media fetch from wherever the line points, for every viewer.
    "audio",    "video",    "source",   "track",   "picture",         "bgsound",
    // A dialog is drawn over the whole board (and over every later line);
    // a start tag of html, head or body gives the board page its attributes.
    "dialog",   "html",     "head",     "body",
};

// Elements without content: their start tag opens nothing to close.
const char* const kVoidElements[] = {
    "area", "base", "basefont", "br", "col", "embed", "frame", "hr", "img", "image",
    "input", "keygen", "link", "meta", "param", "source", "track", "wbr", "isindex",
};

bool void_element(const std::string& name) {
  for (const char* v : kVoidElements)
    if (name == v) return true;
  return false;
}

// Attributes whose value the browser fetches (or sends a form to) by itself.
const char* const kSourceAttributes[] = {
    "src", "lowsrc", "dynsrc", "poster", "background", "data", "codebase", "archive",
    "formaction", "action", "longdesc", "manifest", "icon",
};

bool source_attribute(const std::string& name) {
  for (const char* a : kSourceAttributes)
    if (name == a) return true;
  return false;
}

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

// Attributes that take an element out of its line or act on other parts of
// the board: a popover or what opens one (popovertarget, command, commandfor,
// interestfor) lies in the page's top layer, above every line; class, id,
// name and data-* would take the server's own parts of a line (its head, the
// private mark) or shadow the board document's names (an <img name=body>
// hides document.body from the window's script); autofocus and accesskey
// take the reader's keys.
const char* const kBoardAttributes[] = {
    "popover", "popovertarget", "popovertargetaction", "command", "commandfor", "interestfor",
    "interesttarget", "anchor", "class", "id", "name", "autofocus", "accesskey", "slot",
};

// The number a browser reads from a size attribute (leading blanks, then
// digits; the rest is ignored), capped; -1 when it holds none.
long leading_number(const std::string& value, bool& percent) {
  std::size_t i = 0;
  while (i < value.size() && is_space(value[i])) ++i;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) ++i;
  long n = -1;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i)
    n = n < 0 ? value[i] - '0' : (n > 100000 ? n : n * 10 + (value[i] - '0'));
  while (i < value.size() && (value[i] == '.' || (value[i] >= '0' && value[i] <= '9'))) ++i;
  percent = i < value.size() && value[i] == '%';
  return n;
}

// A size that would make an element larger than a line of the board (the
// board's style sheet keeps the rest inside the line's box).
bool oversized(const Attribute& a) {
  long limit;
  if (a.name == "width" || a.name == "height") limit = 400;
  else if (a.name == "size") limit = 7;
  else if (a.name == "border" || a.name == "cellpadding" || a.name == "cellspacing" ||
           a.name == "hspace" || a.name == "vspace")
    limit = 20;
  else return false;
  bool percent = false;
  const long n = leading_number(decode_references(a.value), percent);
  return n > (percent ? 100 : limit);
}

bool dangerous_attribute(const Attribute& a) {
  if (a.name.size() >= 2 && a.name[0] == 'o' && a.name[1] == 'n') return true;
  for (const char* name : kBoardAttributes)
    if (a.name == name) return true;
  if (a.name.compare(0, 5, "data-") == 0 || oversized(a)) return true;
  // A style can lay an element over the whole page (position:fixed) and so
  // cover or fake every other visitor's messages; "hidden" on a box that
  // the line leaves open would hide every line after it.
  if (a.name == "style" || a.name == "hidden") return true;
  // Lists of addresses, and addresses fetched on a click: not read here.
  if (a.name == "srcset" || a.name == "imagesrcset" || a.name == "ping") return true;
  return dangerous_value(a.value);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// An address as the browser resolves it: character references decoded,
// blanks and control characters dropped, "\\" read as "/".
std::string address_of(const std::string& raw) {
  std::string out;
  for (char c : decode_references(raw)) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) continue;
    out += c == '\\' ? '/' : c;
  }
  return out;
}

enum class Source { OwnFile, OwnPage, OtherSite };

// Where a source attribute's value points. Any scheme, in any case, and an
// address beginning "//" leave the chat's site; so does a page of another
// host, of course, but pages of the chat's own dynamic part (".ghp", also
// percent-encoded) are refused wherever they are looked for.
Source source_kind(const std::string& raw) {
  const std::string address = address_of(raw);
  std::string plain;  // lower case, percent escapes decoded
  for (std::size_t i = 0; i < address.size(); ++i) {
    if (address[i] == '%' && i + 2 < address.size() && hex_digit(address[i + 1]) >= 0 &&
        hex_digit(address[i + 2]) >= 0) {
      plain += lower(static_cast<char>(hex_digit(address[i + 1]) * 16 + hex_digit(address[i + 2])));
      i += 2;
    } else {
      plain += lower(address[i]);
    }
  }
  if (plain.find(".ghp") != std::string::npos) return Source::OwnPage;
  if (plain.compare(0, 2, "//") == 0) return Source::OtherSite;
  const std::size_t end = plain.find_first_of(":/?#");
  if (end != std::string::npos && end > 0 && plain[end] == ':' && is_alpha(plain[0])) {
    bool scheme = true;
    for (std::size_t i = 1; i < end && scheme; ++i) {
      char c = plain[i];
      scheme = is_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    }
    if (scheme) return Source::OtherSite;
  }
  return Source::OwnFile;
}

// "host/path" of another site's address, for the link that stands for its
// picture: scheme, leading slashes, user part, query and fragment dropped.
std::string host_and_path(const std::string& raw) {
  std::string a = address_of(raw);
  const std::size_t colon = a.find(':');
  if (colon != std::string::npos && colon < a.find_first_of("/?#")) a.erase(0, colon + 1);
  a.erase(0, a.find_first_not_of('/') == std::string::npos ? a.size() : a.find_first_not_of('/'));
  a = a.substr(0, a.find_first_of("?#"));
  const std::size_t slash = a.find('/');
  const std::size_t at = a.rfind('@', slash);
  if (at != std::string::npos) a.erase(0, at + 1);
  return a;
}

// One tag read as the browser's tokenizer reads it, from the "<" at `from`.
struct Tag {
  bool end_tag = false;
  bool closed = false;  // a ">" ended it
  std::size_t next = 0;  // index after the tag
  std::string name;     // lower case
  std::vector<Attribute> attributes;
};

// The tokenizer's states inside a tag. Each step looks at one character and
// either takes it or leaves it for the state it moved to ("reconsume").
enum class TagState {
  TagName, BeforeName, Name, AfterName, BeforeValue, DoubleQuoted, SingleQuoted, Unquoted,
  AfterQuoted, SelfClosing
};

// Outside a value: the tag name and the attribute names. True when `c` is
// taken.
bool name_step(TagState& state, char c, Tag& tag) {
  switch (state) {
    case TagState::TagName:
      if (is_space(c)) state = TagState::BeforeName;
      else if (c == '/') state = TagState::SelfClosing;
      else if (c == '>') tag.closed = true;
      else tag.name += lower(c);
      return true;
    case TagState::BeforeName:
      if (is_space(c)) return true;
      if (c == '/' || c == '>') {
        state = TagState::AfterName;
        return false;
      }
      tag.attributes.push_back({});
      state = TagState::Name;
      if (c != '=') return false;
      tag.attributes.back().name += c;
      return true;
    case TagState::Name:
      if (is_space(c) || c == '/' || c == '>') {
        state = TagState::AfterName;
        return false;
      }
      if (c == '=') state = TagState::BeforeValue;
      else tag.attributes.back().name += lower(c);
      return true;
    default:  // AfterName
      if (is_space(c)) return true;
      if (c == '/') state = TagState::SelfClosing;
      else if (c == '=') state = TagState::BeforeValue;
      else if (c == '>') tag.closed = true;
      else {
        tag.attributes.push_back({});
        state = TagState::Name;
        return false;
      }
      return true;
  }
}

// An attribute's value and what may follow it. True when `c` is taken.
bool value_step(TagState& state, char c, Tag& tag) {
  switch (state) {
    case TagState::BeforeValue:
      if (is_space(c)) return true;
      if (c == '"') state = TagState::DoubleQuoted;
      else if (c == '\'') state = TagState::SingleQuoted;
      else if (c == '>') tag.closed = true;
      else {
        state = TagState::Unquoted;
        return false;
      }
      return true;
    case TagState::DoubleQuoted:
    case TagState::SingleQuoted:
      if (c == (state == TagState::DoubleQuoted ? '"' : '\'')) state = TagState::AfterQuoted;
      else tag.attributes.back().value += c;
      return true;
    case TagState::Unquoted:
      if (is_space(c)) state = TagState::BeforeName;
      else if (c == '>') tag.closed = true;
      else tag.attributes.back().value += c;
      return true;
    case TagState::AfterQuoted:
      if (is_space(c)) state = TagState::BeforeName;
      else if (c == '/') state = TagState::SelfClosing;
      else if (c == '>') tag.closed = true;
      else {
        state = TagState::BeforeName;
        return false;
      }
      return true;
    default:  // SelfClosing
      if (c == '>') {
        tag.closed = true;
        return true;
      }
      state = TagState::BeforeName;
      return false;
  }
}

Tag read_tag(const std::string& s, std::size_t from) {
  Tag tag;
  std::size_t j = from + 1;
  if (s[j] == '/') {
    tag.end_tag = true;
    ++j;
  }
  TagState state = TagState::TagName;
  while (j < s.size() && !tag.closed) {
    const bool in_name = state == TagState::TagName || state == TagState::BeforeName ||
                         state == TagState::Name || state == TagState::AfterName;
    if (in_name ? name_step(state, s[j], tag) : value_step(state, s[j], tag)) ++j;
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

// Attribute names written again as they were read; anything else (a
// quote, "<", "=" in a name) is left out.
bool plain_attribute_name(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name)
    if (!(is_alpha(c) || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == ':' || c == '.'))
      return false;
  return true;
}

void append_attribute(std::string& out, const Attribute& a) {
  out += ' ';
  out += a.name;
  if (a.value.empty()) return;
  out += "=\"";
  for (char c : a.value) {
    if (c == '"') out += "&quot;";
    else out += c;
  }
  out += '"';
}

const char kNewTab[] = " target=_blank rel=\"noopener noreferrer\"";

// <a>/<area> with the new-tab target first, its other attributes after.
void append_link_tag(std::string& out, const Tag& tag) {
  out += '<';
  out += tag.name;
  out += kNewTab;
  for (const Attribute& a : tag.attributes)
    if (a.name != "target" && a.name != "rel" && plain_attribute_name(a.name))
      append_attribute(out, a);
  out += '>';
}

// A picture of another site shown inline: it sends no referrer.
void append_picture_tag(std::string& out, const Tag& tag, bool other_site) {
  out += "<img";
  for (const Attribute& a : tag.attributes)
    if (a.name != "referrerpolicy" && plain_attribute_name(a.name)) append_attribute(out, a);
  if (other_site) out += " referrerpolicy=\"no-referrer\"";
  out += '>';
}

void append_picture_link(std::string& out, const std::string& raw_source) {
  out += "<a";
  out += kNewTab;
  append_attribute(out, Attribute{"href", raw_source});
  out += ">[picture: ";
  const std::string shown = host_and_path(raw_source);
  append_as_text(out, shown, 0, shown.size());
  out += "]</a>";
}

// The elements a line has opened and not yet closed, outermost first.
class OpenElements {
 public:
  void opened(const std::string& name) { names_.push_back(name); }
  // Writes the end tag `written` (as it stood) after the end tags of the
  // elements opened inside `name`; false (nothing written) when `name` is
  // not open.
  bool close(std::string& out, const std::string& name, const std::string& written) {
    for (std::size_t i = names_.size(); i-- > 0;) {
      if (names_[i] != name) continue;
      while (names_.size() > i + 1) close_last(out);
      names_.pop_back();
      out += written;
      return true;
    }
    return false;
  }
  void close_all(std::string& out) {
    while (!names_.empty()) close_last(out);
  }

 private:
  void close_last(std::string& out) {
    out += "</" + names_.back() + ">";
    names_.pop_back();
  }
  std::vector<std::string> names_;
};

// A start tag that passed the checks of dangerous_tag: written as it stands,
// written again (links, pictures), or shown as text for what it addresses.
void append_start_tag(std::string& out, const std::string& text, std::size_t from, const Tag& tag,
                      const GuardOptions& options, OpenElements& open) {
  const bool picture = tag.name == "img" || tag.name == "image";
  const Attribute* remote_picture = nullptr;
  for (const Attribute& a : tag.attributes) {
    if (!source_attribute(a.name)) continue;
    const Source kind = source_kind(a.value);
    if (kind == Source::OwnFile) continue;
    if (kind == Source::OtherSite && picture && a.name == "src") {
      remote_picture = &a;
      continue;
    }
    append_as_text(out, text, from, tag.next);
    return;
  }
  if (tag.name == "a" || tag.name == "area") {
    append_link_tag(out, tag);
    if (tag.name == "a") open.opened(tag.name);
  } else if (remote_picture) {
    if (options.remote_pictures) append_picture_tag(out, tag, true);
    else append_picture_link(out, remote_picture->value);
  } else {
    out.append(text, from, tag.next - from);
    if (!void_element(tag.name)) open.opened(tag.name);
  }
}

}  // namespace

std::string guard_html(const std::string& text, const GuardOptions& options) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  OpenElements open;
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
      // or drop text, and before another "<" it would join what follows a
      // tag dropped there ("<</x>script>" would read "<script>"), so it is
      // written as text; before anything else it is text already.
      if (next == '!' || next == '?' || next == '/' || next == '<' || next == '\0') out += "&lt;";
      else out += '<';
      ++i;
      continue;
    }
    Tag tag = read_tag(text, i);
    if (dangerous_tag(tag)) append_as_text(out, text, i, tag.next);
    else if (tag.end_tag) (void)open.close(out, tag.name, text.substr(i, tag.next - i));  // dropped when not open
    else append_start_tag(out, text, i, tag, options, open);
    i = tag.next;
  }
  open.close_all(out);
  return out;
}

}  // namespace tvl
