// How the window opens links, folders and its help pages: through
// tvl::open_link (platform/open_link.h), or through the opener a test
// installs so that nothing is launched.
// Thread safety: user-interface thread only.
#pragma once
#include <functional>
#include <string>

#include "platform/open_link.h"

namespace tvl {

using LinkOpener = std::function<int(const std::string& target, int show)>;

// Replaces the opener; an empty function restores tvl::open_link.
void set_link_opener(LinkOpener opener);

// The opener's result: above 32 when the target was opened.
int open_window_link(const std::string& target, int show = tvl::kShowNormal);

}  // namespace tvl
