#include "pool/worker_pool.hpp"

#include <mutex>
#include <string>

#include "common/internal_error.hpp"
#include "pool/pool_size.hpp"

namespace simsieve {

WorkerPool::WorkerPool(uint64_t workers) {
  std::string error;
  registry_ = detail::Registry::start(requested_pool_size(workers), &error);
  if (!registry_) throw PoolStartError(error);
}

std::optional<WorkerPool> WorkerPool::try_start(uint64_t workers) {
  std::string error;
  auto registry = detail::Registry::start(requested_pool_size(workers), &error);
  if (!registry) return std::nullopt;
  return WorkerPool(std::move(registry));
}

namespace detail {

Registry& shared_registry() {
  // Never released: the pointer below only drops its reference at process exit, which does not
  // stop the workers.
  static std::mutex creation;
  static std::shared_ptr<Registry> shared;
  static std::atomic<Registry*> ready{nullptr};
  if (Registry* r = ready.load(std::memory_order_acquire)) return *r;
  std::lock_guard<std::mutex> lock(creation);
  if (!shared) {
    std::string error;
    shared = Registry::start(default_pool_size(), &error);
    if (!shared) internal_failure("The global thread pool has not been initialized. " + error);
    ready.store(shared.get(), std::memory_order_release);
  }
  return *shared;
}

}  // namespace detail

size_t current_worker_count() {
  if (detail::WorkerThread* worker = detail::WorkerThread::current()) return worker->registry().worker_count();
  return detail::shared_registry().worker_count();
}

bool on_worker_thread() { return detail::WorkerThread::current() != nullptr; }

}  // namespace simsieve
