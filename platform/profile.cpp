#include "platform/profile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/fs.h"

namespace tvl {

namespace {

std::mutex g_profile_lock;  // serialises every profile call of the process

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string trim(const std::string& s, std::size_t from, std::size_t to) {
  while (from < to && is_blank(s[from])) ++from;
  while (to > from && is_blank(s[to - 1])) --to;
  return s.substr(from, to - from);
}

bool same_name(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// One line of the file as it stands, its end included, and what it means.
struct Line {
  std::size_t begin = 0, end = 0;  // [begin, end) in the text, line end included
  enum Kind { Other, Section, Key } kind = Other;
  std::string name;                // section or key name, trimmed
  std::size_t value_begin = 0, value_end = 0;  // value bytes of a key line
};

std::vector<Line> split(const std::string& text) {
  std::vector<Line> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    Line line;
    line.begin = at;
    std::size_t nl = text.find('\n', at);
    line.end = nl == std::string::npos ? text.size() : nl + 1;
    std::size_t content_end = line.end;
    while (content_end > at && (text[content_end - 1] == '\n' || text[content_end - 1] == '\r'))
      --content_end;
    std::size_t first = at;
    while (first < content_end && is_blank(text[first])) ++first;
    if (first < content_end && text[first] == '[') {
      std::size_t close = text.find(']', first);
      if (close != std::string::npos && close < content_end) {
        line.kind = Line::Section;
        line.name = trim(text, first + 1, close);
      }
    } else if (first < content_end && text[first] != ';') {
      std::size_t eq = text.find('=', first);
      if (eq != std::string::npos && eq < content_end) {
        line.kind = Line::Key;
        line.name = trim(text, first, eq);
        line.value_begin = eq + 1;
        line.value_end = content_end;
      }
    }
    lines.push_back(line);
    at = line.end;
  }
  return lines;
}

// Index of the first section header named `section`, or lines.size().
std::size_t find_section(const std::vector<Line>& lines, const std::string& section) {
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].kind == Line::Section && same_name(lines[i].name, section)) return i;
  return lines.size();
}

// Index of the first key line named `key` after header `at` and before the
// next section, or lines.size().
std::size_t find_key(const std::vector<Line>& lines, std::size_t at, const std::string& key) {
  for (std::size_t i = at + 1; i < lines.size() && lines[i].kind != Line::Section; ++i)
    if (lines[i].kind == Line::Key && same_name(lines[i].name, key)) return i;
  return lines.size();
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
  {
    std::lock_guard<std::mutex> hold(g_profile_lock);
    if (!read_whole_file(path, text)) return cut(fallback, size);
  }
  std::vector<Line> lines = split(text);
  std::size_t s = find_section(lines, section);
  if (s == lines.size()) return cut(fallback, size);
  std::size_t k = find_key(lines, s, key);
  if (k == lines.size()) return cut(fallback, size);
  std::string value = trim(text, lines[k].value_begin, lines[k].value_end);
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
    value = value.substr(1, value.size() - 2);
  return cut(value, size);
}

namespace {

// The file's text with one key set, by the rules of write_profile_string.
std::string with_key(const std::string& text, const std::string& section, const std::string& key,
                     const std::string& value) {
  std::vector<Line> lines = split(text);
  std::size_t s = find_section(lines, section);
  std::string out;
  if (s == lines.size()) {
    out = text;
    if (!out.empty() && out.back() != '\n') out += "\r\n";
    out += "[" + section + "]\r\n" + key + "=" + value + "\r\n";
    return out;
  }
  std::size_t k = find_key(lines, s, key);
  if (k != lines.size()) {
    // The key keeps its spelling and place; only its line is rewritten.
    return text.substr(0, lines[k].begin) + lines[k].name + "=" + value + "\r\n" +
           text.substr(lines[k].end);
  }
  // A new key goes after the last non-blank line of its section.
  std::size_t last = s;
  for (std::size_t i = s + 1; i < lines.size() && lines[i].kind != Line::Section; ++i)
    if (trim(text, lines[i].begin, lines[i].end).size()) last = i;
  out = text.substr(0, lines[last].end);
  if (out.back() != '\n') out += "\r\n";
  out += key + "=" + value + "\r\n";
  out += text.substr(lines[last].end);
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
