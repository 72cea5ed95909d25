// Background: one closure running on the shared pool while the thread that started it (no pool
// worker) goes on with other work, such as producing the input the closure consumes.
//
//   auto scan = [&] { return consume(feed); };
//   Background<decltype(scan)> job(scan);       // queued on the shared pool now
//   produce(feed);                              // meanwhile, on this thread
//   auto result = job.wait(follow, [&] { feed.abort(); });
//
// wait() returns the closure's result or rethrows its failure. While it waits it runs the
// thread's wait hook every kWaitHookInterval; once `follow` (a token cancelled by that hook, for
// instance) is cancelled it calls on_cancel() once, so that the closure can stop early, and then
// throws Cancelled when the closure has returned. The destructor waits for a closure that was
// never waited for: the closure refers to its creator's frame.
#pragma once

#include <type_traits>

#include "pool/cancel.hpp"
#include "pool/job.hpp"
#include "pool/registry.hpp"
#include "pool/worker_pool.hpp"

namespace simsieve {

template <class F>
class Background {
 public:
  explicit Background(F& f) : job_(f) { detail::shared_registry().inject(&job_); }
  ~Background() {
    if (!waited_) job_.latch.wait();
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  template <class OnCancel>
  std::invoke_result_t<F&> wait(const CancelToken* follow, OnCancel&& on_cancel) {
    bool cancelled = false;
    while (!job_.latch.wait_a_while()) {
      if (!cancelled && follow && follow->cancelled()) {
        cancelled = true;
        on_cancel();
      }
    }
    waited_ = true;
    if (cancelled || (follow && follow->cancelled())) throw Cancelled();
    return detail::unwrap_outcome(job_.outcome);
  }

 private:
  detail::StackJob<F, detail::BlockingLatch> job_;
  bool waited_ = false;
};

}  // namespace simsieve
