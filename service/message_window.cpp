#include "service/message_window.h"

namespace tvl {

bool MessageWindow::create(const std::string& title) {
  MutexLock hold(lock_);
  exists_ = true;
  title_ = title;
  queue_.clear();
  return true;
}

std::vector<unsigned> MessageWindow::destroy() {
  MutexLock hold(lock_);
  exists_ = false;
  std::vector<unsigned> left(queue_.begin(), queue_.end());
  queue_.clear();
  return left;
}

bool MessageWindow::exists() const {
  MutexLock hold(lock_);
  return exists_;
}

std::string MessageWindow::title() const {
  MutexLock hold(lock_);
  return title_;
}

bool MessageWindow::post(unsigned message) {
  {
    MutexLock hold(lock_);
    if (!exists_) return false;
    queue_.push_back(message);
  }
  arrived_.notify_one();
  return true;
}

void MessageWindow::wait() {
  MutexLock hold(lock_);
  while (queue_.empty()) arrived_.wait(lock_);
}

std::vector<unsigned> MessageWindow::take() {
  MutexLock hold(lock_);
  std::vector<unsigned> all(queue_.begin(), queue_.end());
  queue_.clear();
  return all;
}

}  // namespace tvl
