#include "storage/chat_log.h"

#include <algorithm>
#include <cstring>

#include "platform/fs.h"
#include "storage/settings.h"

namespace tvl {

namespace {

std::tm local_tm(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

}  // namespace

ChatLog::ChatLog() : clock_([] { return std::time(nullptr); }) {}

ChatLog::~ChatLog() {
  if (file_) std::fclose(file_);
}

void ChatLog::set_clock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }

std::time_t ChatLog::now() const { return clock_(); }

std::string ChatLog::path() const {
  MutexLock hold(lock_);
  return path_;
}

void ChatLog::open_day(const std::string& base_folder) {
  std::tm today = local_tm(now());
  std::string folder = base_folder + "log";
  make_directory(folder);
  char name[32];
  std::snprintf(name, sizeof name, "/%04d%02d%02d.txt", today.tm_year + 1900, today.tm_mon + 1,
                today.tm_mday);
  std::FILE* fresh = std::fopen((folder + name).c_str(), "ab");
  MutexLock hold(lock_);
  if (file_) std::fclose(file_);
  file_ = fresh;
  path_ = folder + name;
}

bool ChatLog::write_line(const std::string& text) {
  // A line longer than the line buffer is cut; the line end always follows.
  std::size_t keep = std::min(text.size(), kMaxLine);
  std::string line(text, 0, keep);
  // A visitor's line or name must not start a row of its own (a forged row
  // names any address and anybody) nor reach the terminal of whoever reads
  // the file: control characters become blanks.
  for (char& c : line)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == '\x7f') c = ' ';
  line += "\r\n";
  MutexLock hold(lock_);
  if (!file_) return false;
  bool whole = std::fwrite(line.data(), 1, line.size(), file_) == line.size();
  // Flushed at once: the log is read by people while the server runs, and a
  // crash must not take the last events with it.
  return std::fflush(file_) == 0 && whole;
}

void ChatLog::log_chat_event(SiteData& site, const std::string& address, const std::string& time,
                             const std::string& text) {
  if (!site.settings.save_log) return;
  std::tm today = local_tm(now());
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &today);
  if (site.log_date != date) {
    open_day(site.program_folder);
    site.log_date = date;
  }
  write_line(address + " " + time + " " + text);
}

}  // namespace tvl
