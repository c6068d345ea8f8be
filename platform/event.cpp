#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include "platform/retry.h"

namespace tvl {

void Event::set() {
  {
    MutexLock hold(lock_);
    set_ = true;
  }
  if (manual_)
    changed_.notify_all();
  else
    changed_.notify_one();
}

void Event::reset() {
  MutexLock hold(lock_);
  set_ = false;
}

bool Event::wait(int timeout_ms) {
  MutexLock hold(lock_);
  if (timeout_ms < 0) {
    while (!set_) changed_.wait(lock_);
  } else {
    const auto deadline = CondVar::Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!set_)
      if (!changed_.wait_until(lock_, deadline)) break;
    if (!set_) return false;
  }
  if (!manual_) set_ = false;
  return true;
}

PollableEvent::PollableEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!fd_.valid()) error_ = errno;
}

void PollableEvent::set() {
  // The counter is never read down by waiters, so the fd stays readable
  // (manual reset) until reset() drains it.
  std::uint64_t one = 1;
  if (fd_.valid()) (void)!::write(fd_.get(), &one, sizeof one);
}

void PollableEvent::reset() {
  std::uint64_t value;
  if (fd_.valid()) (void)!::read(fd_.get(), &value, sizeof value);
}

bool PollableEvent::is_set() const { return wait(0); }

bool PollableEvent::wait(int timeout_ms) const {
  if (!fd_.valid()) return false;
  pollfd p{fd_.get(), POLLIN, 0};
  return retry_interrupted([&] { return ::poll(&p, 1, timeout_ms); }) > 0;
}

}  // namespace tvl
