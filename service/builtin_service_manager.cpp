#include "service/builtin_service_manager.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/fs.h"
#include "platform/process.h"

namespace tvl {

namespace {

// Replaces a file whole: a reader sees the old or the new content.
bool replace_file(const std::string& path, const std::string& data) {
  const std::string temporary = path + ".tmp" + std::to_string(current_process_id());
  if (!write_whole_file(temporary, data)) return false;
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    delete_file(temporary);
    return false;
  }
  return true;
}

bool append_file(const std::string& path, const std::string& line) {
  std::FILE* f = std::fopen(path.c_str(), "a");
  if (!f) return false;
  size_t n = std::fwrite(line.data(), 1, line.size(), f);
  return std::fclose(f) == 0 && n == line.size();
}

std::string entry_value(const std::string& text, const std::string& key) {
  const std::string prefix = key + "=";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (text.compare(start, prefix.size(), prefix) == 0)
      return text.substr(start + prefix.size(), end - start - prefix.size());
    start = end + 1;
  }
  return std::string();
}

}  // namespace

bool parse_status_line(const std::string& line, ServiceStatusLine& out) {
  ServiceStatusLine s;
  if (std::sscanf(line.c_str(), "%d %d %d %d", &s.state, &s.pid, &s.wait_hint, &s.controls) != 4)
    return false;
  out = s;
  return true;
}

std::string format_status_line(const ServiceStatusLine& s) {
  char line[96];
  std::snprintf(line, sizeof line, "%d %d %d %d\n", s.state, s.pid, s.wait_hint, s.controls);
  return line;
}

bool read_status_file(const std::string& name, ServiceStatusLine& out) {
  std::string text;
  return read_whole_file(BuiltinServiceManager::status_path(name), text) &&
         parse_status_line(text, out);
}

BuiltinServiceManager::BuiltinServiceManager() = default;

std::string BuiltinServiceManager::database_folder() { return state_folder() + "services/"; }
std::string BuiltinServiceManager::entry_path(const std::string& name) {
  return database_folder() + name + ".service";
}
std::string BuiltinServiceManager::status_path(const std::string& name) {
  return database_folder() + name + ".status";
}
std::string BuiltinServiceManager::journal_path(const std::string& name) {
  return database_folder() + name + ".journal";
}

bool BuiltinServiceManager::exists(const std::string& name) {
  return is_regular_file(entry_path(name));
}

bool BuiltinServiceManager::open_manager() {
  make_directory(state_folder());
  make_directory(database_folder());
  return is_directory(database_folder()) && ::access(database_folder().c_str(), W_OK) == 0;
}

bool BuiltinServiceManager::create(const ServiceEntry& entry) {
  if (entry.binary_path.empty() || entry.name.find('/') != std::string::npos) return false;
  std::string text;
  text += "DisplayName=" + entry.display_name + "\n";
  text += "ImagePath=" + entry.binary_path + "\n";
  text += "Type=16\nStart=2\nErrorControl=1\nObjectName=LocalSystem\n";
  return replace_file(entry_path(entry.name), text);
}

bool BuiltinServiceManager::open_for_delete(const std::string& name) {
  return exists(name) && ::access(database_folder().c_str(), W_OK) == 0;
}

bool BuiltinServiceManager::remove(const std::string& name) {
  delete_file(entry_path(name));
  if (exists(name)) return false;
  delete_file(status_path(name));
  delete_file(journal_path(name));
  return true;
}

bool BuiltinServiceManager::request_start(const std::string& name) {
  std::string entry;
  if (!read_whole_file(entry_path(name), entry)) return false;
  const std::string program = entry_value(entry, "ImagePath");
  if (program.empty()) return false;
  int state = kServiceStopped;
  if (query(name, state) && state != kServiceStopped) return false;  // already active
  bool recorded = false;
  int pid = spawn_detached(program, {}, [&](int child) {
    ServiceStatusLine status;
    status.state = kServiceStartPending;
    status.pid = child;
    std::string line = format_status_line(status);
    recorded = replace_file(status_path(name), line) &&
               replace_file(journal_path(name), line);
  });
  if (pid > 0 && !recorded) {
    // Without its status line the service would not know it is one.
    send_stop_signal(pid);
    return false;
  }
  return pid > 0;
}

bool BuiltinServiceManager::request_stop(const std::string& name) {
  if (!exists(name)) return false;
  ServiceStatusLine status;
  if (!read_status_file(name, status)) return false;
  if (status.state == kServiceStopped || !process_alive(status.pid)) return false;
  if ((status.controls & kAcceptStop) == 0) return false;
  if (!send_stop_signal(status.pid)) return false;
  status.state = kServiceStopPending;
  replace_file(status_path(name), format_status_line(status));
  return true;
}

bool BuiltinServiceManager::query(const std::string& name, int& state) {
  if (!exists(name)) return false;
  ServiceStatusLine status;
  if (!read_status_file(name, status) || !process_alive(status.pid)) {
    state = kServiceStopped;
    return true;
  }
  state = status.state;
  return true;
}

bool BuiltinStatusReporter::report(int state, int controls_accepted, int wait_hint_ms) {
  // A service deleted while it runs leaves no status behind.
  if (!is_regular_file(BuiltinServiceManager::entry_path(name_))) return true;
  ServiceStatusLine status;
  status.state = state;
  status.pid = current_process_id();
  status.wait_hint = wait_hint_ms;
  status.controls = controls_accepted;
  const std::string line = format_status_line(status);
  bool ok = replace_file(BuiltinServiceManager::status_path(name_), line);
  append_file(BuiltinServiceManager::journal_path(name_), line);
  // Deleted meanwhile: the remover may have gone before these files were
  // written, so take them away again.
  if (!is_regular_file(BuiltinServiceManager::entry_path(name_))) {
    delete_file(BuiltinServiceManager::status_path(name_));
    delete_file(BuiltinServiceManager::journal_path(name_));
  }
  return ok;
}

}  // namespace tvl
