// ServiceLog: the service's own log. Print queues a line and posts "write
// next line" to the service's notification window; the window's thread then
// writes it (WriteNextLine) to "service.log" of the program folder (CLogFile,
// open only when "LogLevel" is not 0). Without the window the printing
// thread writes the line at once.
//
// Line: "%04d-%02d-%02d %02d:%02d:%02d.%03d " (year, month, day, hour,
// minute, second, millisecond of the Print call: the date form of the system
// log file) followed by the text and a line end.
//
// Thread safety: Print from any thread; the queue is guarded by its lock;
// WriteNextLine runs on the window's thread (or the printing thread when
// there is no window), and CLogFile serialises the writes.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <deque>
#include <string>

#include "platform/lock_annotations.h"
#include "service/message_window.h"

namespace tvl {

// Registry key of the service's settings and its value "LogLevel".
extern const char kServiceSettingsKey[];
// LogLevel from the registry stand-in; 3 when it cannot be read.
int read_log_level();

class ServiceLog {
 public:
  // One line of the queue.
  struct LogEntry {
    int year = 0, month = 0, day_of_week = 0, day = 0;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
    int level = 3;
    std::string text;
  };

  // `window` is the notification window lines are posted to; it outlives
  // this object.
  explicit ServiceLog(MessageWindow& window) : window_(window) {}
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;

  void Print(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // Writes the oldest queued line, if any.
  void WriteNextLine();
  std::size_t queued_lines() const;

  // The line prefix of an entry.
  static std::string LinePrefix(const LogEntry& entry);

 private:
  MessageWindow& window_;
  mutable Mutex lock_;
  std::deque<LogEntry> queue_ GUARDED_BY(lock_);
};

// printf formatting into a string.
std::string format_text(const char* format, va_list args);

}  // namespace tvl
