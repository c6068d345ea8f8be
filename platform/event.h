// Events: a signal one thread raises and others wait for, with manual or
// automatic reset and timed waits, and a stop event that poll() can wait on
// beside a socket.
// Thread safety: every member may be called from any thread at any time;
// the object itself must outlive every caller (share it when in doubt).
#pragma once
#include "platform/lock_annotations.h"
#include "platform/unique_fd.h"

namespace tvl {

// An event with manual or automatic reset.
//  - manual reset: set() wakes every waiter and the event stays set until
//    reset();
//  - automatic reset: set() releases exactly one waiter (or the next one to
//    wait) and the event is clear again.
class Event {
 public:
  explicit Event(bool manual_reset, bool initially_set = false)
      : manual_(manual_reset), set_(initially_set) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set() EXCLUDES(lock_);
  void reset() EXCLUDES(lock_);
  // True when the event was (or became) set within timeout_ms; a negative
  // time-out waits without limit. An automatic-reset event is consumed.
  bool wait(int timeout_ms) EXCLUDES(lock_);

 private:
  const bool manual_;
  Mutex lock_;
  CondVar changed_;
  bool set_ GUARDED_BY(lock_);
};

// A manual-reset event backed by an eventfd, so that a thread can wait for it
// and for its socket in one poll(): fd() becomes readable when it is set and
// stays readable until reset().
class PollableEvent {
 public:
  PollableEvent();

  // False when the eventfd could not be created; error() holds errno then.
  bool valid() const { return fd_.valid(); }
  int error() const { return error_; }
  int fd() const { return fd_.get(); }

  void set();
  void reset();
  bool is_set() const;
  // As Event::wait.
  bool wait(int timeout_ms) const;

 private:
  UniqueFd fd_;
  int error_ = 0;
};

}  // namespace tvl
