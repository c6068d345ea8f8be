// The JSON that tvlctl's --json prints, written by hand: string literals of
// byte strings and arrays of objects. Every JSON text of the operator's
// commands is made with these.
// Thread safety: pure functions; a JsonList belongs to its caller.
#pragma once
#include <string>

namespace tvl {

// A JSON string literal of a byte string, always valid UTF-8 JSON: "\"" and
// "\\" escaped, well-formed UTF-8 passed through, controls (C0, DEL, C1) as
// \u00XX, and every byte that is not well-formed UTF-8 as \u00XX of its own
// value (the Latin-1 letter of that byte: 0xFF gives "\u00ff").
std::string json_string(const std::string& text);

// "true" or "false".
const char* json_bool(bool on);

// An array built one object text at a time; text() is "[a,b]\n", or "[]\n"
// when nothing was added.
class JsonList {
 public:
  void add(const std::string& object);
  std::string text() const;

 private:
  std::string items_;
};

}  // namespace tvl
