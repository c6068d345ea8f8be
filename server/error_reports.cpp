#include "server/error_reports.h"

#include <chrono>

#include "platform/net.h"

namespace tvl {

namespace {

long long steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ErrorReports::ErrorReports(Tell tell, Clock clock)
    : tell_(std::move(tell)), clock_(clock ? std::move(clock) : Clock(steady_ms)) {}

void ErrorReports::report(const char* message, const char* operation, int code) {
  const std::string kind = std::string(operation) + ": " + message;
  const long long now = clock_();
  long long more = 0;
  {
    MutexLock hold(lock_);
    Kind& k = kinds_[kind];
    if (k.told && now - k.told_ms < kQuietMs) {
      ++k.since;
      return;
    }
    more = k.since;
    k = Kind{now, true, 0};
  }
  std::string text = kind;
  if (code != 0) text += " (" + net::error_text(code) + ")";
  if (more > 0) text += ", " + std::to_string(more) + " more since";
  if (tell_) tell_(text);
}

}  // namespace tvl
