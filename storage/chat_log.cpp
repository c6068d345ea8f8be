#include "storage/chat_log.h"

#include <algorithm>
#include <cstdio>

#include "platform/fs.h"
#include "storage/settings.h"

namespace tvl {

namespace {

std::tm local_tm(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

// A visitor's line or name must not start a row of its own (a forged row
// names any address and anybody) nor reach the terminal of whoever reads the
// file as a control: C0 controls but the tab, DEL and the C1 controls in
// their UTF-8 form (0xC2 0x80..0x9F: NEL, CSI, OSC, ...) become blanks.
void blank_controls(std::string& line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7f) {
      line[i] = ' ';
    } else if (c == 0xc2 && i + 1 < line.size()) {
      const auto next = static_cast<unsigned char>(line[i + 1]);
      if (next >= 0x80 && next <= 0x9f) {
        line.replace(i, 2, " ");
      }
    }
  }
}

}  // namespace

std::string chat_log_folder(const std::string& program_folder) { return program_folder + "log/"; }

std::string chat_log_file(const std::string& program_folder, std::time_t when) {
  const std::tm day = local_tm(when);
  char name[32];
  std::snprintf(name, sizeof name, "%04d%02d%02d.txt", day.tm_year + 1900, day.tm_mon + 1,
                day.tm_mday);
  return chat_log_folder(program_folder) + name;
}

void tighten_chat_log_files(const std::string& program_folder) {
  const std::string folder = chat_log_folder(program_folder);
  if (!is_directory(folder)) return;
  (void)set_file_mode(folder, 0700);  // not reported: a folder of another owner stays as it is
  for (const std::string& name : find_files(folder + "*.txt"))
    (void)set_file_mode(folder + name, 0600);  // not reported, as above
}

ChatLog::ChatLog() : clock_([] { return std::time(nullptr); }) {}

ChatLog::~ChatLog() = default;

void ChatLog::set_clock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }

std::time_t ChatLog::now() const { return clock_(); }

void ChatLog::set_report(std::function<void(const std::string&)> report) {
  report_ = std::move(report);
}

void ChatLog::tell(const std::string& text) const {
  if (report_) report_(text);
}

void ChatLog::set_program_folder(const std::string& program_folder) {
  MutexLock hold(lock_);
  program_folder_ = program_folder;
}

std::string ChatLog::path() const {
  MutexLock hold(lock_);
  return path_;
}

long long ChatLog::lost_rows() const {
  MutexLock hold(lock_);
  return lost_;
}

void ChatLog::open_day() {
  MutexLock hold(lock_);
  file_.close();
  if (program_folder_.empty()) return;
  const std::string folder = chat_log_folder(program_folder_);
  const bool made = make_private_directory(folder);
  path_ = chat_log_file(program_folder_, now());
  if (!made || !file_.open(path_, 0600))
    tell("The chat log " + path_ + " cannot be opened: chat events are not logged.");
}

bool ChatLog::write_line(const std::string& text) {
  // A line longer than the line buffer is cut; the line end always follows.
  std::string line(text, 0, std::min(text.size(), kMaxLine));
  blank_controls(line);
  line += "\r\n";
  MutexLock hold(lock_);
  if (!file_.is_open()) return false;
  if (!file_.append(line)) {
    ++lost_;
    if (lost_untold_++ == 0) tell("The chat log " + path_ + " cannot be written (a full disk?): rows are lost.");
    return false;
  }
  if (lost_untold_ > 0) {
    tell("The chat log " + path_ + " is written again; " + std::to_string(lost_untold_) +
         " rows were lost.");
    lost_untold_ = 0;
  }
  return true;
}

void ChatLog::log_chat_event(SiteData& site, const std::string& address, const std::string& time,
                             const std::string& text) {
  if (!site.settings.save_log) return;
  const std::tm today = local_tm(now());
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &today);
  if (site.log_date != date) {
    set_program_folder(site.program_folder);
    open_day();
    site.log_date = date;
  }
  (void)write_line(address + " " + time + " " + text);  // losses are counted and told there
}

}  // namespace tvl
