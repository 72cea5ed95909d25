// fork_join: run two closures, potentially in parallel, on the current thread's pool.
//
//   auto [x, y] = fork_join([&] { return left(); }, [&] { return right(); });
//   fork_join([&] { sort(lo); }, [&] { sort(hi); });           // void closures give Unit values
//
// The results come back as a std::pair; a closure returning void yields detail::Unit. On a worker
// thread, b is queued where other workers may steal it, a runs inline, then b is taken back (run
// inline if nobody stole it; otherwise the worker runs other jobs until b is done). Called from a
// thread that is no worker, the whole fork_join is installed into the shared pool.
//
// Failures: if a throws, b is still awaited before a's exception propagates; if only b throws,
// its exception propagates after a has finished.
//
// fork_join_context is the same with closures that take a bool `migrated`: true when that closure
// runs on a different worker than the one that forked it (it was stolen). a always gets false.
#pragma once

#include <type_traits>
#include <utility>

#include "pool/job.hpp"
#include "pool/registry.hpp"
#include "pool/worker_pool.hpp"

namespace simsieve {

using detail::Unit;

template <class A, class B>
auto fork_join_context(A&& a, B&& b)
    -> std::pair<detail::StoredResult<std::invoke_result_t<A&, bool>>, detail::StoredResult<std::invoke_result_t<B&, bool>>> {
  using RA = std::invoke_result_t<A&, bool>;
  detail::WorkerThread* worker = detail::WorkerThread::current();
  if (!worker) {
    auto whole = [&] { return fork_join_context(a, b); };
    return detail::shared_registry().install(whole);
  }

  auto call_b = [&b, worker] { return b(detail::WorkerThread::current() != worker); };
  detail::StackJob<decltype(call_b), detail::WorkerLatch> job_b(call_b, &worker->registry(), worker->index(), false);
  worker->push(&job_b);

  detail::Outcome<RA> result_a;
  auto call_a = [&a] { return a(false); };
  result_a.run(call_a);

  // Take b back: still ours if it is the newest job of our queue; otherwise it was stolen and we
  // help with other work until its latch is set.
  while (!job_b.latch.probe()) {
    detail::Job* job = worker->pop();
    if (job == &job_b) {
      job_b.run_inline();
      break;
    }
    if (!job) {
      worker->wait_until(job_b.latch.flag());
      break;
    }
    job->execute();
  }
  auto value_a = result_a.take();
  auto value_b = job_b.outcome.take();
  return {std::move(value_a), std::move(value_b)};
}

template <class A, class B>
auto fork_join(A&& a, B&& b)
    -> std::pair<detail::StoredResult<std::invoke_result_t<A&>>, detail::StoredResult<std::invoke_result_t<B&>>> {
  return fork_join_context([&a](bool) { return a(); }, [&b](bool) { return b(); });
}

}  // namespace simsieve
