// The daily chat log: one file per local day, <program folder>log/YYYYMMDD.txt,
// lines "<address> <HH:MM:SS> <text>" ending in CR LF. The folder is decided
// here alone (chat_log_folder): the server at its start, the day change and
// `tvlctl log` all use it, whatever WebPages says. The folder is created 0700
// and the files 0600: the lines are the visitors' private words.
// The chat engine owns the log of its process and hands it to the server,
// which opens the day's file at each start.
//
// Rows are written whole or not at all (AppendFile): a write that fails (a
// full disk) leaves no half row. Lost rows are counted; the first loss and,
// once rows are written again, how many were lost are told to the report
// sink (the service's own log).
//
// Thread safety: write_line and the counters take the log's own lock;
// open_day takes it for the swap of the file (callers serialise day changes:
// the server start runs before any client thread, and day changes happen
// under the chat lock). Lock order: chat lock, then this.
#pragma once
#include <ctime>
#include <functional>
#include <string>

#include "platform/append_file.h"
#include "platform/lock_annotations.h"

namespace tvl {

struct SiteData;

// "<program_folder>log/": the one folder of the chat log.
std::string chat_log_folder(const std::string& program_folder);
// The file of the local day of `when` in that folder ("YYYYMMDD.txt").
std::string chat_log_file(const std::string& program_folder, std::time_t when);

// Makes the log folder 0700 and its day files 0600 (older versions made
// them readable by everyone); called at start.
void tighten_chat_log_files(const std::string& program_folder);

class ChatLog {
 public:
  // Longest line text (address, time and event) written; longer texts are cut.
  static constexpr std::size_t kMaxLine = 1158;

  ChatLog();
  virtual ~ChatLog();
  ChatLog(const ChatLog&) = delete;
  ChatLog& operator=(const ChatLog&) = delete;

  // The program folder whose log/ this log writes (set before the first
  // open_day; without it no file is opened).
  void set_program_folder(const std::string& program_folder);

  // Closes the open file, creates the log folder if missing (0700) and opens
  // the day's file for appending (created 0600). On failure no file is kept;
  // the failure goes to the report sink.
  void open_day();

  // Appends text (cut to kMaxLine bytes; C0, C1 and DEL controls made
  // blanks) and a line end. False when no file is open or the row could not
  // be written whole (then nothing of it is in the file, and it is counted
  // as lost).
  bool write_line(const std::string& text);

  // File part of log_chat_event: when site.settings.save_log is on, re-opens
  // the log if the day changed since site.log_date, then writes
  // "<address> <time> <text>". Caller holds the chat lock.
  void log_chat_event(SiteData& site, const std::string& address,
                      const std::string& time, const std::string& text);

  // Where losses are told (one line each); by default nowhere.
  void set_report(std::function<void(const std::string&)> report);
  // Rows lost since this object was made.
  long long lost_rows() const;


  // The clock used for day names and changes (tests inject one).
  void set_clock(std::function<std::time_t()> clock);
  std::time_t now() const;

  // Path of the file last opened (empty before the first open_day).
  std::string path() const;

 private:
  void tell(const std::string& text) const;

  mutable Mutex lock_;
  AppendFile file_ GUARDED_BY(lock_);
  std::string path_ GUARDED_BY(lock_);
  std::string program_folder_ GUARDED_BY(lock_);
  long long lost_ GUARDED_BY(lock_) = 0;
  long long lost_untold_ GUARDED_BY(lock_) = 0;  // lost since the last report
  std::function<void(const std::string&)> report_;
  std::function<std::time_t()> clock_;
};

}  // namespace tvl
