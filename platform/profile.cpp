#include "platform/profile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/fs.h"
#include "platform/lock_annotations.h"

namespace tvl {

namespace {

const char kLeftoverPrefix[] = ".#";
const char kLeftoverMark[] = ".tmp-";

Mutex g_profile_lock;  // serialises every profile call of the process

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

std::atomic<unsigned> g_temp_serial{0};

// Temporary files stand beside the file they replace, named so that no
// reader takes them for one of its files (see is_profile_leftover).
std::string temp_name_for(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return folder + kLeftoverPrefix + base + kLeftoverMark + std::to_string(::getpid()) + "-" +
         std::to_string(g_temp_serial.fetch_add(1));
}

// Writes the new content beside the file, flushes it and moves it over the
// old one, so that a crash or a full disk leaves either the old or the new
// file, never half of one. There is no fallback that writes in place: when
// any step fails the old file stays byte for byte and the temporary goes.
bool replace_file(const std::string& path, const std::string& text) {
  const std::string temp = temp_name_for(path);
  if (!write_new_file_synced(temp, text, file_mode(path))) return false;
  if (!rename_file(temp, path)) {
    delete_file(temp);
    return false;
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
    MutexLock hold(g_profile_lock);
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
  MutexLock hold(g_profile_lock);
  if (is_directory(path)) return false;
  std::string text;
  // A missing file is created; one that exists but cannot be read is left
  // alone (writing would drop every key it holds).
  if (!read_whole_file(path, text) && ::access(path.c_str(), F_OK) == 0) return false;
  for (const auto& [key, value] : values) text = with_key(text, section, key, value);
  return replace_file(path, text);
}

bool create_profile_strings(const std::string& section,
                            const std::vector<std::pair<std::string, std::string>>& values,
                            const std::string& path, int mode) {
  std::string text;
  for (const auto& [key, value] : values) text = with_key(text, section, key, value);
  MutexLock hold(g_profile_lock);
  const std::string temp = temp_name_for(path);
  if (!write_new_file_synced(temp, text, mode)) return false;
  // The link succeeds for exactly one of several racing creators, and the
  // file appears whole under its name.
  const bool created = link_file_exclusive(temp, path);
  (void)delete_file(temp);  // should this fail, the leftover goes at the next start
  return created;
}

bool is_profile_leftover(const std::string& file_name) {
  return file_name.rfind(kLeftoverPrefix, 0) == 0 && file_name.find(kLeftoverMark) != std::string::npos;
}

void remove_profile_leftovers(const std::string& folder) {
  for (const std::string& name : list_folder(folder))
    if (is_profile_leftover(name)) (void)delete_file(folder + name);  // best effort, by design
}

}  // namespace tvl
