// A text that one thread replaces while others read it (templates, IP lists).
// Readers take a snapshot that stays valid for as long as they hold it, so a
// replacement never frees a text that a client thread is still searching.
// Thread safety: get() and set() may be called from any thread at any time.
#pragma once
#include <memory>
#include <mutex>
#include <string>

namespace tvl {

class SharedText {
 public:
  SharedText() : text_(std::make_shared<const std::string>()) {}

  std::shared_ptr<const std::string> get() const {
    std::lock_guard<std::mutex> hold(lock_);
    return text_;
  }

  void set(std::string text) {
    auto fresh = std::make_shared<const std::string>(std::move(text));
    std::lock_guard<std::mutex> hold(lock_);
    text_.swap(fresh);
  }

 private:
  mutable std::mutex lock_;  // guards text_ (the pointer, not the text)
  std::shared_ptr<const std::string> text_;
};

}  // namespace tvl
