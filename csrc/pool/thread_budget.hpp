// with_thread_budget: the pool a call's whole computation runs on, chosen by its `threads`
// argument.
//
//   auto out = with_thread_budget(threads, [&] { return compute_everything(input); });
//
//   threads = 0: op runs on the calling thread; its parallel steps go to the shared pool (or to
//                the caller's own pool when the caller is a worker).
//   threads = N: op is installed into a fresh pool of min(N, 65535) workers started for this call;
//                the pool is released when op returns, without waiting for its workers to exit.
//                A pool that cannot be started is silently replaced by the threads = 0 path.
//                The caller's progress counters go with op to the worker that runs it.
// op's result, or its failure, is the result of with_thread_budget.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>

#include "pool/phase_progress.hpp"
#include "pool/worker_pool.hpp"

namespace simsieve {

template <class F>
std::invoke_result_t<F&> with_thread_budget(uint64_t threads, F&& op) {
  if (threads == 0) return op();
  std::optional<WorkerPool> pool = WorkerPool::try_start(threads);
  if (!pool) return op();
  auto with_counters = [&op, progress = current_phase_progress()]() -> std::invoke_result_t<F&> {
    ProgressScope scope(progress);
    return op();
  };
  return pool->install(with_counters);
}

}  // namespace simsieve
