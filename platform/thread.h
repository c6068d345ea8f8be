// Threads with a chosen stack size, joined with a time limit or abandoned
// (never killed), and a small cache of idle threads that take the next job so
// that short jobs do not pay for creating a thread each time.
#pragma once
#include <cstddef>
#include <functional>
#include <memory>

namespace tvl {

// One thread. A started thread must be joined or detached before the object
// is destroyed (the destructor detaches a thread that is still attached).
// Thread safety: one controlling thread uses the object.
class Thread {
 public:
  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts body on a new thread with the given stack size (0: the system's
  // default). False, with error() set to the errno value, when the thread
  // cannot be created.
  bool start(std::function<void()> body, std::size_t stack_size = 0);
  int error() const { return error_; }
  bool started() const { return state_ != nullptr; }

  // Waits up to timeout_ms (negative: without limit) for the thread to end
  // and joins it. False on time-out; the thread is then still attached.
  bool join_for(int timeout_ms);
  // Gives the thread up: it runs on and releases itself when it ends.
  void detach();

 private:
  struct State;
  std::shared_ptr<State> state_;
  int error_ = 0;
};

// How the system schedules a thread among the runnable ones.
enum class Scheduling {
  Normal,
  // Throughput work (the system's batch policy): a thread that wakes while
  // all processors are busy does not preempt the one running, but takes its
  // turn when that one sleeps or its slice ends. Many threads that each do
  // a little per wake-up switch far less under load.
  Batch,
};

// Runs jobs on threads of one stack size, each job on a thread of its own:
// an idle thread of the cache when there is one, else a new thread. A thread
// whose job ended waits up to idle_ms for the next job and then ends; at most
// max_idle threads wait at a time. The threads are scheduled as `scheduling`
// says (as Normal where the system refuses the policy).
// Thread safety: run() may be called from any thread. The destructor waits
// until every job has returned and every thread of the cache has ended and
// been joined (so nothing of it, not even the destructors of its
// thread-local data, runs on afterwards).
class ThreadCache {
 public:
  ThreadCache(std::size_t stack_size, std::size_t max_idle, int idle_ms,
              Scheduling scheduling = Scheduling::Normal);
  ~ThreadCache();
  ThreadCache(const ThreadCache&) = delete;
  ThreadCache& operator=(const ThreadCache&) = delete;

  // False (errno value in *error when given) when no thread could take it.
  bool run(std::function<void()> job, int* error = nullptr);

  // Jobs that have not returned yet.
  int busy() const;
  // Waits up to timeout_ms (negative: without limit) until no job runs.
  bool wait_idle(int timeout_ms) const;

  // State shared with the cache's threads (defined in the source).
  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace tvl
