#include "service/systemd_service_manager.h"

#include <unistd.h>

#include <cctype>

#include "platform/fs.h"
#include "platform/process.h"

namespace tvl {

namespace {

// ExecStart= takes a quoted word: backslash and quote escaped, and "%"
// doubled because systemd expands specifiers in it.
std::string quote_for_unit(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out + "\"";
}

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

}  // namespace

SystemdServiceManager::SystemdServiceManager(std::string unit_folder, std::string systemctl)
    : unit_folder_(std::move(unit_folder)), systemctl_(std::move(systemctl)) {
  if (unit_folder_.empty() || unit_folder_.back() != '/') unit_folder_ += '/';
}

std::string SystemdServiceManager::unit_name(const std::string& service_name) {
  std::string unit;
  for (char c : service_name) {
    unsigned char u = static_cast<unsigned char>(c);
    unit += std::isalnum(u) ? static_cast<char>(std::tolower(u)) : '-';
  }
  return unit + ".service";
}

std::string SystemdServiceManager::unit_text(const ServiceEntry& entry) {
  std::string text;
  text += "[Unit]\n";
  text += "Description=" + entry.display_name + "\n";
  text += "After=network.target\n\n";
  text += "[Service]\n";
  text += "Type=notify\n";
  text += "NotifyAccess=main\n";
  text += "ExecStart=" + quote_for_unit(entry.binary_path) + "\n";
  // One descriptor per connection: the default soft limit of 1,024 would let
  // one client with a thousand idle connections lock everyone else out.
  text += "LimitNOFILE=65536\n";
  // The state folder holds the single-instance lock and the event files.
  text += "StateDirectory=tavella\n\n";
  text += "[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

std::string SystemdServiceManager::unit_path(const std::string& name) const {
  return unit_folder_ + unit_name(name);
}

int SystemdServiceManager::systemctl(const std::vector<std::string>& args, std::string* output) {
  return run_program(systemctl_, args, output);
}

bool SystemdServiceManager::exists(const std::string& name) {
  return is_regular_file(unit_path(name));
}

bool SystemdServiceManager::open_manager() {
  return is_directory(unit_folder_) && ::access(unit_folder_.c_str(), W_OK) == 0;
}

bool SystemdServiceManager::create(const ServiceEntry& entry) {
  if (entry.binary_path.empty()) return false;
  const std::string path = unit_path(entry.name);
  if (!write_whole_file(path, unit_text(entry))) return false;
  if (systemctl({"daemon-reload"}) == 0 && systemctl({"enable", unit_name(entry.name)}) == 0)
    return true;
  delete_file(path);
  systemctl({"daemon-reload"});
  return false;
}

bool SystemdServiceManager::open_for_delete(const std::string& name) { return exists(name); }

bool SystemdServiceManager::remove(const std::string& name) {
  systemctl({"disable", unit_name(name)});
  delete_file(unit_path(name));
  systemctl({"daemon-reload"});
  return !exists(name);
}

bool SystemdServiceManager::request_start(const std::string& name) {
  return systemctl({"start", "--no-block", unit_name(name)}) == 0;
}

bool SystemdServiceManager::request_stop(const std::string& name) {
  return systemctl({"stop", "--no-block", unit_name(name)}) == 0;
}

bool SystemdServiceManager::query(const std::string& name, int& state) {
  std::string output;
  if (systemctl({"show", "-p", "ActiveState", "--value", unit_name(name)}, &output) != 0)
    return false;
  const std::string active = trim(output);
  if (active == "activating") state = kServiceStartPending;
  else if (active == "active" || active == "reloading") state = kServiceRunning;
  else if (active == "deactivating") state = kServiceStopPending;
  else state = kServiceStopped;
  return true;
}

}  // namespace tvl
