#include "admin/links.h"

namespace tvl {

namespace {
LinkOpener g_opener;
}

void set_link_opener(LinkOpener opener) { g_opener = std::move(opener); }

int open_window_link(const std::string& target, int show) {
  return g_opener ? g_opener(target, show) : tvl::open_link(target, show);
}

}  // namespace tvl
