#include "chat/template_fill.h"

namespace tvl {

void fill_marker(std::string& page, const std::string& marker, const std::string& value) {
  if (marker.empty()) return;
  std::size_t at = page.find(marker);
  if (at == std::string::npos) return;
  std::string out;
  out.reserve(page.size() + value.size());
  std::size_t from = 0;
  while (at != std::string::npos) {
    out.append(page, from, at - from);
    out += value;
    from = at + marker.size();
    at = page.find(marker, from);
  }
  out.append(page, from, std::string::npos);
  page.swap(out);
}

}  // namespace tvl
