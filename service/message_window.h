// The hidden notification window of the service, as a message queue served
// by the thread that owns it. Any thread may post a message number while the
// window exists; the owner blocks until messages arrive and takes
// them in order of arrival. Posting to a window that does not exist (not yet
// created, or destroyed) fails, and the caller does the work itself.
// Thread safety: post() and exists() from any thread; create, destroy, wait
// and take on the owning thread. One lock guards the queue and the flag.
#pragma once
#include <deque>
#include <string>
#include <vector>

#include "platform/lock_annotations.h"

namespace tvl {

class MessageWindow {
 public:
  MessageWindow() = default;
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  // Makes the window exist with an empty queue. Always succeeds here; the
  // result is kept so callers keep their failure path.
  bool create(const std::string& title) EXCLUDES(lock_);
  // Ends the window's existence and returns the messages nobody has taken,
  // so the owner can still serve them (nothing posted is lost).
  std::vector<unsigned> destroy() EXCLUDES(lock_);
  bool exists() const EXCLUDES(lock_);
  std::string title() const EXCLUDES(lock_);

  // Appends a message and wakes the owner. False when the window is gone.
  bool post(unsigned message) EXCLUDES(lock_);

  // Blocks until a message is queued (at once when one is waiting).
  void wait() EXCLUDES(lock_);
  // Removes and returns every queued message, oldest first.
  std::vector<unsigned> take() EXCLUDES(lock_);

 private:
  mutable Mutex lock_;
  CondVar arrived_;
  bool exists_ GUARDED_BY(lock_) = false;
  std::string title_ GUARDED_BY(lock_);
  std::deque<unsigned> queue_ GUARDED_BY(lock_);
};

}  // namespace tvl
