#include "platform/profile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/fs.h"

namespace tvl {

namespace {

std::mutex g_profile_lock;  // serialises every profile call of the process

// A reader takes at most this much of a file: settings and accounts are a
// few hundred bytes, and a huge file (by mistake or on purpose) must not
// cost every page that reads an account its size in time and memory.
constexpr std::size_t kMaxProfileReadBytes = 1024 * 1024;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string trim(const std::string& s, std::size_t from, std::size_t to) {
  while (from < to && is_blank(s[from])) ++from;
  while (to > from && is_blank(s[to - 1])) --to;
  return s.substr(from, to - from);
}

// Whether text[from, to) equals `name` without regard to case.
bool same_name(const std::string& text, std::size_t from, std::size_t to, const std::string& name) {
  if (to - from != name.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(text[from + i]), y = static_cast<unsigned char>(name[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// One line of the file as it stands, its end included, and what it means.
// Finding a line's parts looks at that line only, so a pass over a file is
// linear in its size whatever its lines hold.
struct Line {
  std::size_t begin = 0, end = 0;  // [begin, end) in the text, line end included
  enum Kind { Other, Section, Key } kind = Other;
  std::size_t name_begin = 0, name_end = 0;    // section or key name, trimmed
  std::size_t value_begin = 0, value_end = 0;  // value bytes of a key line
};

// Reads the line starting at `at` (below text.size()).
Line read_line(const std::string& text, std::size_t at) {
  Line line;
  line.begin = at;
  const char* base = text.data();
  const void* nl = std::memchr(base + at, '\n', text.size() - at);
  line.end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - base) + 1 : text.size();
  std::size_t content_end = line.end;
  while (content_end > at && (text[content_end - 1] == '\n' || text[content_end - 1] == '\r'))
    --content_end;
  std::size_t first = at;
  while (first < content_end && is_blank(text[first])) ++first;
  if (first >= content_end) return line;
  if (text[first] == '[') {
    const void* close = std::memchr(base + first, ']', content_end - first);
    if (close) {
      line.kind = Line::Section;
      line.name_begin = first + 1;
      line.name_end = static_cast<std::size_t>(static_cast<const char*>(close) - base);
    }
  } else if (text[first] != ';') {
    const void* eq = std::memchr(base + first, '=', content_end - first);
    if (eq) {
      line.kind = Line::Key;
      line.name_begin = first;
      line.name_end = static_cast<std::size_t>(static_cast<const char*>(eq) - base);
      line.value_begin = line.name_end + 1;
      line.value_end = content_end;
    }
  }
  while (line.name_begin < line.name_end && is_blank(text[line.name_begin])) ++line.name_begin;
  while (line.name_end > line.name_begin && is_blank(text[line.name_end - 1])) --line.name_end;
  return line;
}

bool line_named(const std::string& text, const Line& line, const std::string& name) {
  return same_name(text, line.name_begin, line.name_end, name);
}

// Where a section and a key stand in a file: the first section header of
// that name, the first key line of that name after it and before the next
// header, and the last line of the section that holds more than blanks.
struct Found {
  bool section = false, key = false;
  Line key_line;
  std::size_t section_last_end = 0;  // end of the last non-blank line of the section
};

Found find_entry(const std::string& text, const std::string& section, const std::string& key) {
  Found f;
  for (std::size_t at = 0; at < text.size();) {
    const Line line = read_line(text, at);
    at = line.end;
    if (!f.section) {
      if (line.kind == Line::Section && line_named(text, line, section)) {
        f.section = true;
        f.section_last_end = line.end;
      }
      continue;
    }
    if (line.kind == Line::Section) break;  // the section has ended
    if (line.kind == Line::Key && line_named(text, line, key)) {
      f.key = true;
      f.key_line = line;
      return f;
    }
    for (std::size_t i = line.begin; i < line.end; ++i)
      if (!is_blank(text[i])) {
        f.section_last_end = line.end;
        break;
      }
  }
  return f;
}

std::string cut(std::string value, std::size_t size) {
  if (size == 0) return std::string();
  if (value.size() > size - 1) value.resize(size - 1);
  return value;
}

// Writes the new content beside the file and moves it over the old one, so
// that a crash leaves either the old or the new file, never half of one.
bool replace_file(const std::string& path, const std::string& text) {
  struct stat st;
  bool existed = ::stat(path.c_str(), &st) == 0;
  std::string temp = path + ".tmp-" + std::to_string(::getpid());
  if (!write_whole_file(temp, text)) {
    delete_file(temp);
    return write_whole_file(path, text);  // e.g. a folder we may not create files in
  }
  if (existed) ::chmod(temp.c_str(), st.st_mode & 07777);
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    delete_file(temp);
    return write_whole_file(path, text);
  }
  return true;
}

}  // namespace

std::string get_profile_string(const std::string& section, const std::string& key,
                               const std::string& default_value, std::size_t size,
                               const std::string& path) {
  std::string fallback = trim(default_value, 0, default_value.size());
  std::string text;
  bool cut_off = false;
  {
    std::lock_guard<std::mutex> hold(g_profile_lock);
    if (!read_file_head(path, kMaxProfileReadBytes, text, cut_off)) return cut(fallback, size);
  }
  // A file cut at the bound ends with its last whole line.
  if (cut_off) {
    const std::size_t nl = text.rfind('\n');
    text.resize(nl == std::string::npos ? 0 : nl + 1);
  }
  const Found f = find_entry(text, section, key);
  if (!f.key) return cut(fallback, size);
  std::string value = trim(text, f.key_line.value_begin, f.key_line.value_end);
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
    value = value.substr(1, value.size() - 2);
  return cut(value, size);
}

namespace {

// The file's text with one key set, by the rules of write_profile_string.
std::string with_key(const std::string& text, const std::string& section, const std::string& key,
                     const std::string& value) {
  const Found f = find_entry(text, section, key);
  std::string out;
  if (!f.section) {
    out.reserve(text.size() + section.size() + key.size() + value.size() + 10);
    out = text;
    if (!out.empty() && out.back() != '\n') out += "\r\n";
    out += "[" + section + "]\r\n" + key + "=" + value + "\r\n";
    return out;
  }
  if (f.key) {
    // The key keeps its spelling and place; only its line is rewritten.
    const Line& k = f.key_line;
    out.reserve(text.size() + value.size() + 2);
    out.append(text, 0, k.begin);
    out.append(text, k.name_begin, k.name_end - k.name_begin);
    out += "=" + value + "\r\n";
    out.append(text, k.end, std::string::npos);
    return out;
  }
  // A new key goes after the last non-blank line of its section.
  const std::size_t last = f.section_last_end;
  out.reserve(text.size() + key.size() + value.size() + 5);
  out.append(text, 0, last);
  if (out.back() != '\n') out += "\r\n";
  out += key + "=" + value + "\r\n";
  out.append(text, last, std::string::npos);
  return out;
}

}  // namespace

bool write_profile_string(const std::string& section, const std::string& key,
                          const std::string& value, const std::string& path) {
  return write_profile_strings(section, {{key, value}}, path);
}

bool write_profile_strings(const std::string& section,
                           const std::vector<std::pair<std::string, std::string>>& values,
                           const std::string& path) {
  std::lock_guard<std::mutex> hold(g_profile_lock);
  if (is_directory(path)) return false;
  std::string text;
  read_whole_file(path, text);  // a missing file is created
  for (const auto& [key, value] : values) text = with_key(text, section, key, value);
  return replace_file(path, text);
}

}  // namespace tvl
