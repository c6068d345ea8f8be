// Locks the compiler can check: clang's thread-safety analysis macros and
// the lock types that carry them (Mutex, SharedMutex, their scoped holds and
// a condition variable); every lock of the system is one of these. Data
// marked GUARDED_BY(m) may only be touched while m is held, functions marked
// REQUIRES(m) only be called with it held; the clang build turns every
// breach into an error (-Wthread-safety -Werror=thread-safety). Other
// compilers see no annotations and the same code.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define TVL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TVL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TVL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TVL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TVL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TVL_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) TVL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TVL_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) TVL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) TVL_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) TVL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) TVL_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TVL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TVL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TVL_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) TVL_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TVL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace tvl {

// A std::mutex the analysis knows. Not recursive; lock order is the
// owner's business (and written down beside the owner).
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
  // For CondVar only: the caller holds this mutex and hands it over with
  // std::adopt_lock, and takes it back (release()) after.
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

// A std::shared_mutex the analysis knows: many readers (SharedLock) or one
// writer (MutexLock).
class CAPABILITY("mutex") SharedMutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { m_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { m_.unlock_shared(); }

 private:
  std::shared_mutex m_;
};

// Holds a Mutex (or a SharedMutex alone) for its scope; unlock() and lock()
// let go of it and take it again inside the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(&m) { m.lock(); }
  explicit MutexLock(SharedMutex& m) ACQUIRE(m) : shared_(&m) { m.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  void unlock() RELEASE() {
    if (m_) m_->unlock(); else shared_->unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    if (m_) m_->lock(); else shared_->lock();
    held_ = true;
  }

 private:
  Mutex* m_ = nullptr;
  SharedMutex* shared_ = nullptr;
  bool held_ = true;
};

// Holds a SharedMutex shared (beside other readers) for its scope.
class SCOPED_CAPABILITY SharedLock {
 public:
  explicit SharedLock(SharedMutex& m) ACQUIRE_SHARED(m) : m_(m) { m_.lock_shared(); }
  ~SharedLock() RELEASE() { m_.unlock_shared(); }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

 private:
  SharedMutex& m_;
};

// A condition variable for a Mutex. The caller holds the mutex; a wait lets
// go of it while it sleeps and holds it again when it returns. Waits may end
// spuriously: the caller loops on its own condition, written out in the
// locked scope (a predicate lambda would hide the guarded reads from the
// analysis).
class CondVar {
 public:
  using Clock = std::chrono::steady_clock;
  void notify_one() { cv_.notify_one(); }
  void notify_all() { cv_.notify_all(); }
  void wait(Mutex& m) REQUIRES(m) {
    std::unique_lock<std::mutex> held(m.native(), std::adopt_lock);
    cv_.wait(held);
    held.release();
  }
  // False when the deadline passed.
  bool wait_until(Mutex& m, Clock::time_point deadline) REQUIRES(m) {
    std::unique_lock<std::mutex> held(m.native(), std::adopt_lock);
    const bool woken = cv_.wait_until(held, deadline) == std::cv_status::no_timeout;
    held.release();
    return woken;
  }

 private:
  std::condition_variable cv_;
};

}  // namespace tvl
