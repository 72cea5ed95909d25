// The shared state of one worker pool: its workers' job queues, the injection queue for jobs
// from other threads, the idle/wake state and the termination counter; and the per-thread record
// of the worker currently running. Held by shared ownership: the pool's owners (WorkerPool
// handles) and every worker thread, which keeps it until it has exited.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "pool/job.hpp"
#include "pool/job_deque.hpp"

namespace simsieve::detail {

class WorkerThread;

// Turns a stored outcome back into the closure's own return type (Unit becomes void).
template <class R>
R unwrap_outcome(Outcome<R>& outcome) {
  if constexpr (std::is_void_v<R>) {
    outcome.take();
  } else {
    return outcome.take();
  }
}

class Registry : public std::enable_shared_from_this<Registry> {
 public:
  // Starts a pool of `workers` threads (1 or more). On failure returns nullptr and describes the
  // cause in *error; the workers started so far are told to stop.
  static std::shared_ptr<Registry> start(size_t workers, std::string* error);

  explicit Registry(size_t workers);
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  size_t worker_count() const { return deques_.size(); }

  // Termination counter: one count per owner handle. When the last owner lets go, every worker is
  // told to stop; nobody waits for them.
  void add_owner() { owners_.fetch_add(1, std::memory_order_relaxed); }
  void release_owner();

  // Runs op on a worker of this pool and returns its result; a failure inside op is rethrown here.
  template <class F>
  std::invoke_result_t<F&> install(F& op);

  // Hands a job from outside the pool to its workers.
  void inject(Job* job);

  // Called after a job became available (wakes one sleeping worker, if any), and after the latch
  // that worker `waiter` waits on was set (wakes that worker if it sleeps).
  void notify_new_work();
  void notify_latch_set(size_t waiter);

 private:
  friend class WorkerThread;

  void worker_main(size_t index);
  void terminate();
  Job* pop_injected();
  // Puts worker `index` to sleep unless new work or `done` arrived since it saw `seen_events`.
  void sleep(size_t index, uint64_t seen_events, const std::atomic<bool>& done);
  // Wakes worker `index` if it is asleep; false if it was not.
  bool wake(size_t index);
  uint64_t events() const { return events_.load(std::memory_order_seq_cst); }

  template <class F>
  std::invoke_result_t<F&> install_blocking(F& op);
  template <class F>
  std::invoke_result_t<F&> install_from_other_pool(WorkerThread& waiter, F& op);

  // Where one worker sleeps: it waits on its own condition variable, so that a latch can wake
  // exactly the worker waiting on it.
  struct alignas(64) SleepSlot {
    std::mutex mutex;
    std::condition_variable cv;
    std::atomic<bool> asleep{false};
    bool woken = false;  // guarded by mutex
  };

  std::vector<std::unique_ptr<JobDeque>> deques_;
  std::vector<std::unique_ptr<SleepSlot>> sleep_slots_;

  std::mutex inject_mutex_;
  std::deque<Job*> injected_;
  std::atomic<size_t> injected_count_{0};

  // events_ counts every new job and every latch set; a worker that found nothing to do re-scans
  // only when it has changed, and sleeps only if it did not change since its last scan.
  std::atomic<uint64_t> events_{0};
  std::atomic<size_t> sleepers_{0};
  std::atomic<size_t> wake_cursor_{0};

  std::atomic<size_t> owners_{1};
  std::atomic<bool> terminated_{false};
};

// The record of a worker thread, reachable through current() on that thread only.
class WorkerThread {
 public:
  WorkerThread(Registry& registry, size_t index);
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // The worker running on the calling thread, or nullptr on a thread that is no pool worker.
  static WorkerThread* current();

  Registry& registry() const { return registry_; }
  size_t index() const { return index_; }

  // Own queue: push makes the job available to thieves; pop takes the newest job back.
  void push(Job* job) {
    own_.push(job);
    registry_.notify_new_work();
  }
  Job* pop() { return own_.pop(); }

  // Executes jobs (own queue, then stealing, then the injection queue) until `done` is set,
  // sleeping when there is nothing to do.
  void wait_until(const std::atomic<bool>& done);

 private:
  Job* find_work();
  Job* steal_from_others();
  uint64_t next_random();

  Registry& registry_;
  size_t index_;
  JobDeque& own_;
  uint64_t rng_;
};

template <class F>
std::invoke_result_t<F&> Registry::install(F& op) {
  WorkerThread* worker = WorkerThread::current();
  if (worker && &worker->registry() == this) return op();
  if (!worker) return install_blocking(op);
  return install_from_other_pool(*worker, op);
}

template <class F>
std::invoke_result_t<F&> Registry::install_blocking(F& op) {
  StackJob<F, BlockingLatch> job(op);
  inject(&job);
  job.latch.wait();
  return unwrap_outcome(job.outcome);
}

template <class F>
std::invoke_result_t<F&> Registry::install_from_other_pool(WorkerThread& waiter, F& op) {
  StackJob<F, WorkerLatch> job(op, &waiter.registry(), waiter.index(), true);
  inject(&job);
  waiter.wait_until(job.latch.flag());
  return unwrap_outcome(job.outcome);
}

}  // namespace simsieve::detail
