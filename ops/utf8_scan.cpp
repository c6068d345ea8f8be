#include "ops/utf8_scan.h"

namespace tvl {

std::size_t utf8_sequence(const std::string& text, std::size_t at, uint32_t* code) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = b(at);
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  std::size_t n;
  uint32_t c, least;
  if (lead >= 0xc2 && lead <= 0xdf) {
    n = 2, c = lead & 0x1f, least = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    n = 3, c = lead & 0x0f, least = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    n = 4, c = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (at + n > text.size()) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((b(at + i) & 0xc0) != 0x80) return 0;
    c = (c << 6) | (b(at + i) & 0x3f);
  }
  if (c < least || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return 0;
  *code = c;
  return n;
}

}  // namespace tvl
