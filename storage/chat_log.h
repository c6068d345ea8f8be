// The daily chat log: one file per local day, <base>log/YYYYMMDD.txt, lines
// "<address> <HH:MM:SS> <text>" appended and ending in CR LF on disk.
// The chat engine owns the log of its process and hands it to the server,
// which opens the day's file at each start.
// Thread safety: write_line takes the log's own lock; open_day takes none
// (callers serialise it: the server start runs before any client thread, and
// day changes happen under the chat lock). Lock order: chat lock, then this.
#pragma once
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

namespace tvl {

struct SiteData;

class ChatLog {
 public:
  // Longest line text (address, time and event) written; longer texts are cut.
  static constexpr std::size_t kMaxLine = 1158;

  ChatLog();
  virtual ~ChatLog();
  ChatLog(const ChatLog&) = delete;
  ChatLog& operator=(const ChatLog&) = delete;

  // Closes the open file, creates "<base_folder>log" if missing and opens the
  // day's file for appending. Nothing is reported; on failure no file is kept.
  void open_day(const std::string& base_folder);

  // Appends text (cut to kMaxLine bytes, control characters but the tab
  // made blanks) and a line end, and flushes it to the file. False when no
  // file is open or a byte could not be written.
  bool write_line(const std::string& text);

  // File part of log_chat_event: when site.settings.save_log is on, re-opens
  // the log under the program folder if the day changed since site.log_date,
  // then writes "<address> <time> <text>". Caller holds the chat lock.
  void log_chat_event(SiteData& site, const std::string& address,
                      const std::string& time, const std::string& text);

  // Error reports of the socket layer; records nothing and returns 0.
  int ReportError(const char* log_file, const char* message, const char* operation,
                  int code) const;

  // The clock used for day names and changes (tests inject one).
  void set_clock(std::function<std::time_t()> clock);
  std::time_t now() const;

  // Path of the file last opened (empty before the first open_day).
  std::string path() const;

 private:
  std::FILE* file_ = nullptr;  // guarded by lock_ for writes
  std::string path_;
  mutable std::mutex lock_;
  std::function<std::time_t()> clock_;
};

}  // namespace tvl
