#include "chat/script_string.h"

namespace tvl {

std::string escape_for_script_string(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '<':
        if (text.compare(i + 1, 1, "/") == 0) out += "<\\";
        else if (text.compare(i + 1, 3, "!--") == 0) out += "<\\";
        else out += c;
        break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace tvl
