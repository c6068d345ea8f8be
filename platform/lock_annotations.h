// Locks the compiler can check: clang's thread-safety analysis macros and a
// small mutex type that carries them. Data marked GUARDED_BY(m) may only be
// touched while m is held, functions marked REQUIRES(m) only be called with
// it held; the clang build turns every breach into an error
// (-Wthread-safety -Werror=thread-safety). Other compilers see no
// annotations and the same code.
#pragma once
#include <mutex>

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
#define ACQUIRE(...) TVL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TVL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TVL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TVL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
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
  // For a condition variable's wait only: the caller holds this mutex and
  // hands it over with std::adopt_lock, and takes it back (release()) after.
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

// Holds a Mutex for its scope; unlock() and lock() let go of it and take it
// again inside the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) m_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  void unlock() RELEASE() {
    m_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    m_.lock();
    held_ = true;
  }

 private:
  Mutex& m_;
  bool held_ = true;
};

}  // namespace tvl
