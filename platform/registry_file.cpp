#include "platform/registry_file.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "platform/fs.h"
#include "platform/retry.h"

namespace tvl {

namespace {

enum class Type { Dword, String, Expand };

struct Value {
  std::string name;
  Type type = Type::String;
  std::string text;       // String, Expand
  std::uint32_t number = 0;  // Dword
};

struct Key {
  std::string path;
  std::vector<Value> values;
};

bool same(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::string escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

// Reads a quoted, escaped text starting at s[pos] == '"'; pos ends after the
// closing quote. False when it is not closed.
bool unquote(const std::string& s, size_t& pos, std::string& out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  out.clear();
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c == '\\' && pos + 1 < s.size()) {
      char n = s[++pos];
      out += n == 'n' ? '\n' : n;
    } else {
      out += c;
    }
  }
  return false;
}

bool parse_value(const std::string& line, Value& v) {
  size_t pos = 0;
  if (!unquote(line, pos, v.name) || pos >= line.size() || line[pos] != '=') return false;
  std::string rest = line.substr(pos + 1);
  if (rest.rfind("dword:", 0) == 0) {
    std::string digits = rest.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    char* end = nullptr;
    unsigned long n = std::strtoul(digits.c_str(), &end, 16);
    if (*end != 0) return false;
    v.type = Type::Dword;
    v.number = static_cast<std::uint32_t>(n);
    return true;
  }
  size_t p = 0;
  v.type = Type::String;
  if (rest.rfind("expand:", 0) == 0) {
    v.type = Type::Expand;
    p = 7;
  }
  return unquote(rest, p, v.text) && p == rest.size();
}

std::vector<Key> parse(const std::string& text) {
  std::vector<Key> keys;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[' && line.back() == ']') {
      keys.push_back(Key{line.substr(1, line.size() - 2), {}});
      continue;
    }
    Value v;
    if (!keys.empty() && parse_value(line, v)) keys.back().values.push_back(v);
  }
  return keys;
}

std::string serialise(const std::vector<Key>& keys) {
  std::string out;
  for (const Key& k : keys) {
    if (k.values.empty()) continue;
    out += "[" + k.path + "]\n";
    for (const Value& v : k.values) {
      out += "\"" + escape(v.name) + "\"=";
      if (v.type == Type::Dword) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "dword:%08x", v.number);
        out += hex;
      } else {
        if (v.type == Type::Expand) out += "expand:";
        out += "\"" + escape(v.text) + "\"";
      }
      out += "\n";
    }
  }
  return out;
}

std::string read_fd(int fd) {
  std::string text;
  char buffer[4096];
  ::lseek(fd, 0, SEEK_SET);
  for (;;) {
    ssize_t n = retry_interrupted([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

const Value* find_value(const std::vector<Key>& keys, const std::string& key,
                        const std::string& name) {
  for (const Key& k : keys) {
    if (!same(k.path, key)) continue;
    for (const Value& v : k.values)
      if (same(v.name, name)) return &v;
  }
  return nullptr;
}

bool read_keys(std::vector<Key>& keys) {
  int fd = ::open(registry_file_path().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // Unlocked, a writer's half-made file could be read.
  if (retry_interrupted([&] { return ::flock(fd, LOCK_SH); }) != 0) {
    ::close(fd);
    return false;
  }
  keys = parse(read_fd(fd));
  ::close(fd);
  return true;
}

// Read-modify-write under an exclusive lock.
bool modify(const std::function<void(std::vector<Key>&)>& change) {
  make_directory(state_folder());
  int fd = ::open(registry_file_path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // Unlocked, another writer's change could be lost.
  if (retry_interrupted([&] { return ::flock(fd, LOCK_EX); }) != 0) {
    ::close(fd);
    return false;
  }
  std::vector<Key> keys = parse(read_fd(fd));
  change(keys);
  std::string text = serialise(keys);
  bool ok = ::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0 &&
            write_all(fd, text.data(), text.size());
  if (::close(fd) != 0) ok = false;
  return ok;
}

void put(std::vector<Key>& keys, const std::string& key, const Value& value) {
  Key* target = nullptr;
  for (Key& k : keys)
    if (same(k.path, key)) target = &k;
  if (!target) {
    keys.push_back(Key{key, {}});
    target = &keys.back();
  }
  for (Value& v : target->values) {
    if (same(v.name, value.name)) {
      std::string kept_name = v.name;
      v = value;
      v.name = kept_name;
      return;
    }
  }
  target->values.push_back(value);
}

}  // namespace

std::string registry_file_path() { return state_folder() + "registry.txt"; }

bool registry_get_dword(const std::string& key, const std::string& name, std::uint32_t& value) {
  std::vector<Key> keys;
  if (!read_keys(keys)) return false;
  const Value* v = find_value(keys, key, name);
  if (!v || v->type != Type::Dword) return false;
  value = v->number;
  return true;
}

bool registry_get_string(const std::string& key, const std::string& name, std::string& value) {
  std::vector<Key> keys;
  if (!read_keys(keys)) return false;
  const Value* v = find_value(keys, key, name);
  if (!v || v->type == Type::Dword) return false;
  value = v->text;
  return true;
}

bool registry_set_dword(const std::string& key, const std::string& name, std::uint32_t value) {
  Value v;
  v.name = name;
  v.type = Type::Dword;
  v.number = value;
  return modify([&](std::vector<Key>& keys) { put(keys, key, v); });
}

bool registry_set_string(const std::string& key, const std::string& name,
                         const std::string& value, bool expandable) {
  Value v;
  v.name = name;
  v.type = expandable ? Type::Expand : Type::String;
  v.text = value;
  return modify([&](std::vector<Key>& keys) { put(keys, key, v); });
}

bool registry_delete_value(const std::string& key, const std::string& name) {
  std::vector<Key> probe;
  if (!read_keys(probe) || !find_value(probe, key, name)) return true;
  return modify([&](std::vector<Key>& keys) {
    for (Key& k : keys) {
      if (!same(k.path, key)) continue;
      for (size_t i = 0; i < k.values.size();) {
        if (same(k.values[i].name, name)) k.values.erase(k.values.begin() + static_cast<long>(i));
        else ++i;
      }
    }
  });
}

}  // namespace tvl
