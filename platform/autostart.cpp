#include "platform/autostart.h"

#include <cstdlib>
#include <string>

#include "platform/fs.h"
#include "platform/process.h"

namespace tvl {

namespace {

// $XDG_CONFIG_HOME/autostart/, or ~/.config/autostart/; a relative or empty
// XDG_CONFIG_HOME is ignored as the base-directory rules ask.
std::string autostart_folder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) return std::string();
    base = std::string(home) + "/.config";
  }
  if (base.back() != '/') base += '/';
  return base + "autostart/";
}

// The Exec value: the path alone, quoted when it holds characters the
// desktop-entry rules reserve. Inside quotes `"`, `` ` ``, `$` and `\` take a
// backslash, and the string escape then doubles every backslash; a literal
// "%" is written "%%" because Exec expands field codes.
std::string exec_value(const std::string& path) {
  std::string percent;
  for (char c : path) percent += c == '%' ? std::string("%%") : std::string(1, c);
  if (percent.find_first_of(" \t\n\"'\\><~|&;$*?#()`") == std::string::npos) return percent;
  std::string quoted = "\"";
  for (char c : percent) {
    if (c == '\\')
      quoted += "\\\\\\\\";
    else if (c == '"' || c == '`' || c == '$')
      quoted += std::string("\\\\") + c;
    else
      quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

void platform_set_run_at_startup(bool on) {
  std::string folder = autostart_folder();
  if (folder.empty()) return;
  std::string entry = folder + "Tavella.desktop";
  if (!on) {
    delete_file(entry);
    return;
  }
  std::string program = program_path();
  if (program.empty()) return;
  // Create the config folder and its autostart folder one level at a time;
  // a level that cannot be made ends the operation silently.
  std::string config = folder.substr(0, folder.size() - std::string("autostart/").size());
  if (!make_directory(config) || !make_directory(folder)) return;
  write_whole_file(entry,
                   "[Desktop Entry]\n"
                   "Type=Application\n"
                   "Name=Tavella\n"
                   "Exec=" + exec_value(program) + "\n"
                   "X-GNOME-Autostart-enabled=true\n");
}

}  // namespace tvl
