#include "service/service_log.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform/registry_file.h"
#include "service/log_file.h"
#include "service/service_numbers.h"

namespace tvl {

const char kServiceSettingsKey[] =
    "HKEY_LOCAL_MACHINE\\software\\KTR Software Inc.\\Chat Service\\Settings";

int read_log_level() {
  std::uint32_t level = kDefaultLogLevel;
  if (!registry_get_dword(kServiceSettingsKey, "LogLevel", level)) return kDefaultLogLevel;
  return static_cast<int>(level);
}

std::string format_text(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (size <= 0) return std::string();
  std::string text(static_cast<size_t>(size) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(size));
  return text;
}

namespace {

ServiceLog::LogEntry entry_now(int level, std::string text) {
  ServiceLog::LogEntry e;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  localtime_r(&now.tv_sec, &local);
  e.year = local.tm_year + 1900;
  e.month = local.tm_mon + 1;
  e.day_of_week = local.tm_wday;
  e.day = local.tm_mday;
  e.hour = local.tm_hour;
  e.minute = local.tm_min;
  e.second = local.tm_sec;
  e.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  e.level = level;
  e.text = std::move(text);
  return e;
}

}  // namespace

void ServiceLog::Print(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text(format, args);
  va_end(args);
  {
    MutexLock hold(lock_);
    queue_.push_back(entry_now(level, std::move(text)));
  }
  if (!window_.post(kWriteNextLineMessage)) WriteNextLine();
}

std::size_t ServiceLog::queued_lines() const {
  MutexLock hold(lock_);
  return queue_.size();
}

std::string ServiceLog::LinePrefix(const LogEntry& e) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", e.year, e.month,
                e.day, e.hour, e.minute, e.second, e.millisecond);
  return prefix;
}

void ServiceLog::WriteNextLine() {
  LogEntry entry;
  {
    MutexLock hold(lock_);
    if (queue_.empty()) return;
    entry = std::move(queue_.front());
    queue_.pop_front();
  }
  CLogFile& log = service_log();
  log.set_level(entry.level == 1 ? 1 : entry.level == 2 ? 2 : 3);
  // One write per line, so lines of different threads never interleave.
  log.write(LinePrefix(entry) + entry.text + "\n");
}

}  // namespace tvl
