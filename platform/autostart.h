// Start at logon: the XDG autostart entry Tavella.desktop in
// $XDG_CONFIG_HOME/autostart (default ~/.config/autostart), whose Exec line is
// the full path of the running program. Failures are silent, as the system
// expects of this setting.
#pragma once

namespace tvl {

// on: writes (or rewrites) the entry; off: removes it.
void platform_set_run_at_startup(bool on);

}  // namespace tvl
