// The hidden notification window of the service, as a message queue served
// by the thread that owns it. Any thread may post a message number while the
// window exists; the owner blocks until messages arrive and takes
// them in order of arrival. Posting to a window that does not exist (not yet
// created, or destroyed) fails, and the caller does the work itself.
// Thread safety: post() and exists() from any thread; create, destroy, wait
// and take on the owning thread. One lock guards the queue and the flag.
#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace tvl {

class MessageWindow {
 public:
  MessageWindow() = default;
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  // Makes the window exist with an empty queue. Always succeeds here; the
  // result is kept so callers keep their failure path.
  bool create(const std::string& title);
  // Ends the window's existence and returns the messages nobody has taken,
  // so the owner can still serve them (nothing posted is lost).
  std::vector<unsigned> destroy();
  bool exists() const;
  std::string title() const;

  // Appends a message and wakes the owner. False when the window is gone.
  bool post(unsigned message);

  // Blocks until a message is queued (at once when one is waiting).
  void wait();
  // Removes and returns every queued message, oldest first.
  std::vector<unsigned> take();

 private:
  mutable std::mutex lock_;  // guards everything below
  std::condition_variable arrived_;
  bool exists_ = false;
  std::string title_;
  std::deque<unsigned> queue_;
};

}  // namespace tvl
