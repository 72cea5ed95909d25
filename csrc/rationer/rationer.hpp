// The state of one Rationer handle and the operations it runs: the handle's own worker pool
// (when it was given a thread budget), its clamped delta and the mode in force. The state is
// fixed at construction, so any number of threads may run operations on it at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cluster/cluster_types.hpp"
#include "pool/concurrency.hpp"
#include "pool/worker_pool.hpp"

namespace simsieve {

struct RationerState {
  // Present only when the handle got threads > 0 and the pool could be started.
  std::optional<WorkerPool> pool;
  // The requested delta clamped to [0, 1] (NaN stays NaN); reported, never changes a result.
  double delta = 0.0;
  // There is no GPU backend: every accepted mode falls back to Cpu.
  ConcurrencyMode mode = ConcurrencyMode::Cpu;
};

// delta clamped to [0, 1]; NaN passes through.
double clamp_delta(double delta);

// The state of a new handle. threads > 0 starts a pool of min(threads, 65535) workers; a pool
// that cannot be started is dropped silently, leaving the handle on the calling thread.
RationerState make_rationer_state(uint64_t threads, double delta);

// Runs op inside the handle's pool when it has one, on the calling thread otherwise.
template <class F>
decltype(auto) run_in_pool(const RationerState& state, F&& op) {
  if (state.pool) return state.pool->install(std::forward<F>(op));
  return std::forward<F>(op)();
}

// The exact ratio of every pair, in input order (interned_ratio_many inside the handle's pool).
std::vector<double> rationer_ratio_many(const RationerState& state,
                                        const std::vector<std::pair<std::string, std::string>>& pairs);

// Exact single-linkage clustering of the canonicals at threshold, the same clusters as the module
// function; the canonicals are decoded on the calling thread, the pipeline runs in the pool.
std::vector<Cluster> rationer_cluster(const RationerState& state, std::vector<std::string> canonicals,
                                      double threshold);

}  // namespace simsieve
