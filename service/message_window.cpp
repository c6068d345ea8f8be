#include "service/message_window.h"

namespace tvl {

bool MessageWindow::create(const std::string& title) {
  std::lock_guard<std::mutex> hold(lock_);
  exists_ = true;
  title_ = title;
  queue_.clear();
  return true;
}

std::vector<unsigned> MessageWindow::destroy() {
  std::lock_guard<std::mutex> hold(lock_);
  exists_ = false;
  std::vector<unsigned> left(queue_.begin(), queue_.end());
  queue_.clear();
  return left;
}

bool MessageWindow::exists() const {
  std::lock_guard<std::mutex> hold(lock_);
  return exists_;
}

std::string MessageWindow::title() const {
  std::lock_guard<std::mutex> hold(lock_);
  return title_;
}

bool MessageWindow::post(unsigned message) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!exists_) return false;
    queue_.push_back(message);
  }
  arrived_.notify_one();
  return true;
}

void MessageWindow::wait() {
  std::unique_lock<std::mutex> hold(lock_);
  arrived_.wait(hold, [this] { return !queue_.empty(); });
}

std::vector<unsigned> MessageWindow::take() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<unsigned> all(queue_.begin(), queue_.end());
  queue_.clear();
  return all;
}

}  // namespace tvl
