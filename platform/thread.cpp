#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <vector>

#include "platform/lock_annotations.h"

namespace tvl {

namespace {

// Starts a detached or joinable pthread running `body`; the body is owned by
// the new thread once this succeeds.
int start_pthread(std::function<void()>* body, std::size_t stack_size, bool detached,
                  pthread_t* out) {
  pthread_attr_t attr;
  if (int e = pthread_attr_init(&attr)) return e;
  if (stack_size) pthread_attr_setstacksize(&attr, stack_size);
  if (detached) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t id;
  int e = pthread_create(
      &id, &attr,
      [](void* arg) -> void* {
        std::unique_ptr<std::function<void()>> run(static_cast<std::function<void()>*>(arg));
        (*run)();
        return nullptr;
      },
      body);
  pthread_attr_destroy(&attr);
  if (e == 0 && out) *out = id;
  return e;
}

}  // namespace

// What the thread and its owner share: the thread marks itself ended here so
// that join_for can wait with a time limit before the (then short) join.
struct Thread::State {
  pthread_t id{};
  Mutex lock;
  CondVar changed;
  bool ended GUARDED_BY(lock) = false;
  bool attached = true;  // owner side only
};

Thread::~Thread() { detach(); }

bool Thread::start(std::function<void()> body, std::size_t stack_size) {
  if (state_) detach();
  auto state = std::make_shared<State>();
  auto* run = new std::function<void()>([state, body = std::move(body)] {
    body();
    MutexLock hold(state->lock);
    state->ended = true;
    state->changed.notify_all();
  });
  error_ = start_pthread(run, stack_size, false, &state->id);
  if (error_) {
    delete run;
    return false;
  }
  state_ = std::move(state);
  return true;
}

bool Thread::join_for(int timeout_ms) {
  if (!state_) return true;
  {
    State& state = *state_;
    MutexLock hold(state.lock);
    const auto deadline = CondVar::Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!state.ended) {
      if (timeout_ms < 0)
        state.changed.wait(state.lock);
      else if (!state.changed.wait_until(state.lock, deadline))
        break;
    }
    if (!state.ended) return false;
  }
  pthread_join(state_->id, nullptr);
  state_.reset();
  return true;
}

void Thread::detach() {
  if (!state_) return;
  pthread_detach(state_->id);
  state_.reset();
}

// State of a ThreadCache shared with its threads, so that a thread that is
// still on its way out never touches freed memory.
struct ThreadCache::Shared {
  std::size_t stack_size;
  std::size_t max_idle;
  int idle_ms;
  Scheduling scheduling;
  mutable Mutex lock;
  CondVar work_ready;                      // an idle thread has a job or must end
  mutable CondVar quiet;                   // busy or threads went down
  std::deque<std::function<void()>> jobs GUARDED_BY(lock);  // handed over, not yet taken
  std::size_t idle GUARDED_BY(lock) = 0;                    // threads waiting for a job
  int busy GUARDED_BY(lock) = 0;                            // jobs not yet returned
  int threads GUARDED_BY(lock) = 0;                         // threads not yet ended
  bool closing GUARDED_BY(lock) = false;
  // Threads that have left their loop and are on their way out. They are
  // joined (by the next thread that leaves, and by the destructor), because
  // a thread's exit still runs code: the destructors of its thread-local
  // data (OpenSSL frees its per-thread state there). A process that ended
  // under a detached thread still doing that would race with its own exit.
  std::vector<pthread_t> leaving GUARDED_BY(lock);
};

namespace {

void cache_thread(const std::shared_ptr<ThreadCache::Shared>& s, std::function<void()> job);

// Joins the threads that have left the cache; s.lock is held on entry and
// on return (it is let go of for the joins).
void join_leaving(ThreadCache::Shared& s) REQUIRES(s.lock) {
  std::vector<pthread_t> leaving;
  leaving.swap(s.leaving);
  if (leaving.empty()) return;
  s.lock.unlock();
  for (pthread_t id : leaving) pthread_join(id, nullptr);
  s.lock.lock();
}

}  // namespace

ThreadCache::ThreadCache(std::size_t stack_size, std::size_t max_idle, int idle_ms,
                         Scheduling scheduling)
    : shared_(std::make_shared<Shared>()) {
  shared_->scheduling = scheduling;
  shared_->stack_size = stack_size;
  shared_->max_idle = max_idle;
  shared_->idle_ms = idle_ms;
}

ThreadCache::~ThreadCache() {
  Shared& s = *shared_;
  MutexLock hold(s.lock);
  s.closing = true;
  s.work_ready.notify_all();
  while (s.threads != 0) s.quiet.wait(s.lock);
  join_leaving(s);
}

bool ThreadCache::run(std::function<void()> job, int* error) {
  Shared& s = *shared_;
  {
    MutexLock hold(s.lock);
    ++s.busy;
    if (s.idle > s.jobs.size()) {
      s.jobs.push_back(std::move(job));
      // Woken after the unlock, the idle thread finds the lock free instead
      // of blocking on it at once (a second sleep and switch per job). The
      // job is queued already, so an idle thread that times out meanwhile
      // still takes it.
      hold.unlock();
      s.work_ready.notify_one();
      return true;
    }
    ++s.threads;
  }
  auto* body = new std::function<void()>(
      [shared = shared_, job = std::move(job)]() mutable { cache_thread(shared, std::move(job)); });
  int e = start_pthread(body, s.stack_size, false, nullptr);
  if (e == 0) return true;
  delete body;
  if (error) *error = e;
  MutexLock hold(s.lock);
  --s.busy;
  --s.threads;
  s.quiet.notify_all();
  return false;
}

int ThreadCache::busy() const {
  MutexLock hold(shared_->lock);
  return shared_->busy;
}

bool ThreadCache::wait_idle(int timeout_ms) const {
  Shared& s = *shared_;
  MutexLock hold(s.lock);
  const auto deadline = CondVar::Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (s.busy != 0) {
    if (timeout_ms < 0)
      s.quiet.wait(s.lock);
    else if (!s.quiet.wait_until(s.lock, deadline))
      break;
  }
  return s.busy == 0;
}

namespace {

void cache_thread(const std::shared_ptr<ThreadCache::Shared>& shared, std::function<void()> job) {
  // `shared` keeps the state alive past the last unlock below.
  ThreadCache::Shared& s = *shared;
  // Set by the thread itself: pthread's creation attributes take only the
  // normal and the real-time policies. Where the system refuses it, the
  // thread runs on as a normal one.
  if (s.scheduling == Scheduling::Batch) {
    sched_param priority{};  // the batch policy has priority 0 only
    (void)sched_setscheduler(0, SCHED_BATCH, &priority);
  }
  for (;;) {
    job();
    job = nullptr;  // release what the job captured before waiting
    MutexLock hold(s.lock);
    --s.busy;
    if (s.busy == 0) s.quiet.notify_all();
    if (!s.closing && s.idle < s.max_idle) {
      ++s.idle;
      const auto deadline = CondVar::Clock::now() + std::chrono::milliseconds(s.idle_ms);
      while (s.jobs.empty() && !s.closing)
        if (!s.work_ready.wait_until(s.lock, deadline)) break;
      --s.idle;
      // A job handed over is always taken, even while closing.
      if (!s.jobs.empty()) {
        job = std::move(s.jobs.front());
        s.jobs.pop_front();
        continue;
      }
    }
    // This thread joins the one that left before it, and the next one (or
    // the destructor) joins this one: one thread at most is left unjoined.
    std::vector<pthread_t> before;
    before.swap(s.leaving);
    s.leaving.push_back(pthread_self());
    --s.threads;
    s.quiet.notify_all();
    hold.unlock();
    for (pthread_t id : before) pthread_join(id, nullptr);
    return;
  }
}

}  // namespace

}  // namespace tvl
