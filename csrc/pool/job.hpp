// Jobs and latches of the worker pool. A job is a closure with a completion latch and a slot for
// its result or its failure; the thread that created it waits on the latch and then takes the
// result (or rethrows the failure). Jobs live on the creating thread's stack, so the executing
// thread touches a job for the last time when it sets the latch.
#pragma once

#include <atomic>
#include <cstddef>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "pool/cancel.hpp"

namespace simsieve::detail {

class Registry;

// Type-erased job: execute() runs it on the calling worker and sets its latch.
struct Job {
  using ExecuteFn = void (*)(Job*);
  explicit Job(ExecuteFn fn) : execute_fn(fn) {}
  void execute() { execute_fn(this); }
  ExecuteFn execute_fn;
};

// Stands in for the value of a closure that returns void.
struct Unit {};

template <class R>
using StoredResult = std::conditional_t<std::is_void_v<R>, Unit, R>;

// Calls f and wraps a void result as Unit.
template <class F>
StoredResult<std::invoke_result_t<F&>> call_storing(F& f) {
  if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
    f();
    return Unit{};
  } else {
    return f();
  }
}

// The outcome of a closure: its value or its failure.
template <class R>
class Outcome {
 public:
  template <class F>
  void run(F& f) noexcept {
    try {
      value_.emplace(call_storing(f));
    } catch (...) {
      failure_ = std::current_exception();
    }
  }
  bool failed() const { return static_cast<bool>(failure_); }
  // Returns the value or rethrows the failure.
  StoredResult<R> take() {
    if (failure_) std::rethrow_exception(failure_);
    return std::move(*value_);
  }

 private:
  std::optional<StoredResult<R>> value_;
  std::exception_ptr failure_;
};

// Latch waited on by a worker thread, which keeps executing other jobs while it waits. Setting it
// wakes the waiting worker if it fell asleep. When the setter belongs to another pool, the
// waiter's pool is kept alive until the wake-up is done.
class WorkerLatch {
 public:
  WorkerLatch(Registry* waiter_pool, size_t waiter_index, bool cross_pool)
      : pool_(waiter_pool), waiter_(waiter_index), cross_pool_(cross_pool) {}
  bool probe() const { return set_.load(std::memory_order_acquire); }
  const std::atomic<bool>& flag() const { return set_; }
  void set() noexcept;  // defined in registry.cpp

 private:
  std::atomic<bool> set_{false};
  Registry* pool_;
  size_t waiter_;
  bool cross_pool_;
};

// Latch waited on by a thread that is no pool worker: it blocks on a condition variable.
class BlockingLatch {
 public:
  void set() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    cv_.notify_all();
  }
  // Waits until the thread's wait hook (if any) falls due; when the latch is still not set then,
  // runs the hook and returns false.
  bool wait_a_while() {
    WaitHook& hook = current_wait_hook;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      auto is_set = [this] { return set_; };
      if (!hook.fn) {
        cv_.wait_for(lock, kWaitHookInterval, is_set);
        return set_;
      }
      if (cv_.wait_until(lock, hook.due, is_set)) return true;
    }
    hook.run();
    return false;
  }
  // Blocks until set; runs the thread's wait hook (if any) whenever it falls due meanwhile.
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    WaitHook& hook = current_wait_hook;
    auto is_set = [this] { return set_; };
    if (!hook.fn) {
      cv_.wait(lock, is_set);
      return;
    }
    while (!cv_.wait_until(lock, hook.due, is_set)) {
      lock.unlock();
      hook.run();
      lock.lock();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

// A job on the stack of the thread that waits for it.
template <class F, class Latch>
class StackJob : public Job {
 public:
  using Result = std::invoke_result_t<F&>;

  template <class... LatchArgs>
  explicit StackJob(F& f, LatchArgs&&... latch_args)
      : Job(&StackJob::execute_here), latch(std::forward<LatchArgs>(latch_args)...), f_(f),
        token_(current_cancel_token()) {}

  // Runs the closure on the calling thread without going through the latch (the job was taken
  // back by its creator before anyone else started it).
  void run_inline() noexcept { outcome.run(f_); }

  Outcome<Result> outcome;
  Latch latch;

 private:
  F& f_;
  const CancelToken* token_;  // the call this job works for, carried to whichever thread runs it

  static void execute_here(Job* job) {
    auto* self = static_cast<StackJob*>(job);
    {
      CancelScope scope(self->token_);
      self->outcome.run(self->f_);
    }
    self->latch.set();  // last touch: the creator may return as soon as it sees the latch
  }
};

}  // namespace simsieve::detail
