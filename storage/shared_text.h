// A text that one thread replaces while others read it (templates, IP lists).
// Readers take a snapshot that stays valid for as long as they hold it, so a
// replacement never frees a text that a client thread is still searching.
// Thread safety: get() and set() may be called from any thread at any time.
#pragma once
#include <memory>
#include <string>

#include "platform/lock_annotations.h"

namespace tvl {

class SharedText {
 public:
  SharedText() : text_(std::make_shared<const std::string>()) {}

  std::shared_ptr<const std::string> get() const EXCLUDES(lock_) {
    MutexLock hold(lock_);
    return text_;
  }

  void set(std::string text) EXCLUDES(lock_) {
    auto fresh = std::make_shared<const std::string>(std::move(text));
    MutexLock hold(lock_);
    text_.swap(fresh);
  }

 private:
  mutable Mutex lock_;
  std::shared_ptr<const std::string> text_ GUARDED_BY(lock_);  // the pointer, not the text
};

}  // namespace tvl
