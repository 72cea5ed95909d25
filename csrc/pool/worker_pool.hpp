// The module's own work-stealing worker pool.
//
//   WorkerPool pool(4);                       // starts 4 workers; throws PoolStartError
//   auto r = pool.install([&] { return work(); });   // runs on a worker, result (or failure) back here
//   std::optional<WorkerPool> p = WorkerPool::try_start(n);   // nullopt when threads cannot start
//
// A WorkerPool value is an owner's hold on a pool. Copies share the pool; when the last hold goes
// away the workers are told to stop and exit on their own once they finish the job they run (the
// releasing thread does not wait for them). Workers are unnamed threads with 2 MiB stacks.
//
// install(op), by calling thread:
//   - a worker of this pool: op runs inline;
//   - a thread that is no pool worker (a Python thread): op is queued on the pool and the caller
//     blocks until it has run;
//   - a worker of another pool: op is queued on this pool, and the caller keeps running jobs of
//     its own pool while it waits.
// A failure (C++ exception) thrown by op is rethrown from install; the pool stays usable.
//
// The shared pool serves every parallel step that runs outside a worker (threads = 0). It is
// created on first use, sized once by default_pool_size() (pool_size.hpp), and never released.
// If it cannot be started, the step throws InternalError("The global thread pool has not been
// initialized. <cause>").
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "pool/registry.hpp"

namespace simsieve {

// A pool could not be started (a worker thread failed to start).
class PoolStartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class WorkerPool {
 public:
  // Starts a pool: 0 workers means default_pool_size(); more than kMaxWorkers are capped.
  explicit WorkerPool(uint64_t workers);
  // Same, but returns nullopt instead of throwing when the pool cannot be started.
  static std::optional<WorkerPool> try_start(uint64_t workers);

  WorkerPool(const WorkerPool& other) : registry_(other.registry_) {
    if (registry_) registry_->add_owner();
  }
  WorkerPool(WorkerPool&& other) noexcept = default;
  WorkerPool& operator=(WorkerPool other) noexcept {
    std::swap(registry_, other.registry_);
    return *this;
  }
  ~WorkerPool() {
    if (registry_) registry_->release_owner();
  }

  size_t worker_count() const { return registry_->worker_count(); }

  // Runs op on a worker of this pool and returns its result (see the cases above).
  template <class F>
  std::invoke_result_t<F&> install(F&& op) const {
    return registry_->install(op);
  }

 private:
  explicit WorkerPool(std::shared_ptr<detail::Registry> registry) : registry_(std::move(registry)) {}
  std::shared_ptr<detail::Registry> registry_;
};

// install as a free function.
template <class F>
std::invoke_result_t<F&> install(const WorkerPool& pool, F&& op) {
  return pool.install(std::forward<F>(op));
}

// The worker count of the calling worker's pool, or of the shared pool on any other thread
// (which creates the shared pool if it does not exist yet).
size_t current_worker_count();

// True on a worker thread of any pool.
bool on_worker_thread();

namespace detail {
// The shared pool, started on first call; throws InternalError when it cannot be started.
Registry& shared_registry();
}  // namespace detail

}  // namespace simsieve
