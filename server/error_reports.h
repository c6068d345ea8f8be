// The error reports of the socket layer on their way to the operator: a
// failing call ("WSARecv(...) failure") of an operation ("ClientThread")
// with the system's error code. Each kind (operation and message) is told
// at most once a minute: the first at once, later ones with the number of
// reports of that kind since it was last told. A kind that stops failing
// says nothing more.
//   told text: "<operation>: <message> (<error text>)[, <n> more since]"
// Thread safety: report() from any thread (client threads report their
// failures); `tell` runs on the reporting thread, outside the lock, and must
// not wait for anybody.
#pragma once
#include <functional>
#include <map>
#include <string>

#include "platform/lock_annotations.h"

namespace tvl {

class ErrorReports {
 public:
  static constexpr long long kQuietMs = 60 * 1000;

  using Tell = std::function<void(const std::string& text)>;
  using Clock = std::function<long long()>;  // milliseconds, monotonic
  explicit ErrorReports(Tell tell, Clock clock = Clock());

  void report(const char* message, const char* operation, int code) EXCLUDES(lock_);

 private:
  struct Kind {
    long long told_ms = 0;
    bool told = false;
    long long since = 0;  // reports not told since told_ms
  };
  Tell tell_;
  Clock clock_;
  Mutex lock_;
  std::map<std::string, Kind> kinds_ GUARDED_BY(lock_);
};

}  // namespace tvl
