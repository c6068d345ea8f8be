#include "platform/system_log.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/fs.h"
#include "platform/lock_annotations.h"

namespace tvl {

namespace {
Mutex g_event_lock;  // serialises openlog/syslog/closelog and file appends
}

std::string system_event_file() {
  const char* dir = std::getenv("TAVELLA_STATE_DIR");
  if (!dir || !*dir) return std::string();
  return state_folder() + "events.log";
}

bool write_system_event(const std::string& source, const std::string& text) {
  MutexLock hold(g_event_lock);
  const std::string file = system_event_file();
  if (file.empty()) {
    // openlog keeps the ident pointer; it stays valid until closelog below.
    ::openlog(source.c_str(), LOG_PID, LOG_DAEMON);
    ::syslog(LOG_INFO, "%s", text.c_str());
    ::closelog();
    return true;
  }
  std::FILE* f = std::fopen(file.c_str(), "a");
  if (!f) return false;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  int written = std::fprintf(f, "%s %s[%d]: %s\n", stamp, source.c_str(),
                             static_cast<int>(::getpid()), text.c_str());
  bool ok = std::fclose(f) == 0 && written > 0;
  return ok;
}

}  // namespace tvl
