#include "pool/registry.hpp"

#include <new>
#include <thread>

#include "pool/native_thread.hpp"

namespace simsieve::detail {
namespace {

constexpr size_t kWorkerStackBytes = size_t{2} << 20;
// Rounds of searching (with a yield between them) before an idle worker goes to sleep.
constexpr unsigned kIdleRoundsBeforeSleep = 32;

// Static TLS: a fixed slot reserved when the module is loaded, never allocated lazily per
// thread, so reading it from any thread (Python threads included) costs no allocation.
[[gnu::tls_model("initial-exec")]] thread_local WorkerThread* current_worker = nullptr;

}  // namespace

// ---- Registry ----------------------------------------------------------------------------------

Registry::Registry(size_t workers) {
  deques_.reserve(workers);
  sleep_slots_.reserve(workers);
  for (size_t i = 0; i < workers; ++i) {
    deques_.push_back(std::make_unique<JobDeque>());
    sleep_slots_.push_back(std::make_unique<SleepSlot>());
  }
}

std::shared_ptr<Registry> Registry::start(size_t workers, std::string* error) {
  std::shared_ptr<Registry> registry;
  try {
    registry = std::make_shared<Registry>(workers);
  } catch (const std::bad_alloc&) {
    *error = "cannot allocate the job queues of " + std::to_string(workers) + " workers";
    return nullptr;
  }
  for (size_t i = 0; i < workers; ++i) {
    NativeThread thread;  // detached when it goes out of scope
    std::shared_ptr<Registry> hold = registry;
    if (!thread.start(kWorkerStackBytes, [hold = std::move(hold), i] { hold->worker_main(i); }, error)) {
      *error += " (worker " + std::to_string(i + 1) + " of " + std::to_string(workers) + ")";
      registry->terminate();
      return nullptr;
    }
  }
  return registry;
}

void Registry::worker_main(size_t index) {
  WorkerThread self(*this, index);
  self.wait_until(terminated_);
}

void Registry::release_owner() {
  if (owners_.fetch_sub(1, std::memory_order_acq_rel) == 1) terminate();
}

void Registry::terminate() {
  terminated_.store(true, std::memory_order_seq_cst);
  events_.fetch_add(1, std::memory_order_seq_cst);
  for (size_t i = 0; i < sleep_slots_.size(); ++i) wake(i);
}

void Registry::inject(Job* job) {
  {
    std::lock_guard<std::mutex> lock(inject_mutex_);
    injected_.push_back(job);
    injected_count_.fetch_add(1, std::memory_order_release);
  }
  notify_new_work();
}

Job* Registry::pop_injected() {
  if (injected_count_.load(std::memory_order_acquire) == 0) return nullptr;
  std::lock_guard<std::mutex> lock(inject_mutex_);
  if (injected_.empty()) return nullptr;
  Job* job = injected_.front();
  injected_.pop_front();
  injected_count_.fetch_sub(1, std::memory_order_relaxed);
  return job;
}

// A sleeper marks itself asleep and counts itself in sleepers_, then re-reads events_; a waker
// bumps events_ and then reads sleepers_. Both sides use sequentially consistent operations, so
// at least one of them sees the other: either the sleeper notices the new event and stays awake,
// or the waker sees a sleeper and wakes it under the mutex the sleeper holds until it waits.
bool Registry::wake(size_t index) {
  SleepSlot& slot = *sleep_slots_[index];
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (!slot.asleep.load(std::memory_order_relaxed)) return false;
  slot.woken = true;
  slot.cv.notify_one();
  return true;
}

void Registry::notify_new_work() {
  events_.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
  // Any worker can take the job: wake the first sleeper found from a rotating start.
  size_t n = sleep_slots_.size();
  size_t start = wake_cursor_.fetch_add(1, std::memory_order_relaxed) % n;
  for (size_t k = 0; k < n; ++k) {
    size_t i = start + k < n ? start + k : start + k - n;
    if (sleep_slots_[i]->asleep.load(std::memory_order_seq_cst) && wake(i)) return;
  }
}

void Registry::notify_latch_set(size_t waiter) {
  events_.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
  wake(waiter);
}

void Registry::sleep(size_t index, uint64_t seen_events, const std::atomic<bool>& done) {
  SleepSlot& slot = *sleep_slots_[index];
  std::unique_lock<std::mutex> lock(slot.mutex);
  slot.asleep.store(true, std::memory_order_seq_cst);
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  if (events_.load(std::memory_order_seq_cst) == seen_events && !done.load(std::memory_order_seq_cst))
    slot.cv.wait(lock, [&] { return slot.woken; });
  slot.woken = false;
  sleepers_.fetch_sub(1, std::memory_order_seq_cst);
  slot.asleep.store(false, std::memory_order_seq_cst);
}

// ---- Latches -----------------------------------------------------------------------------------

void WorkerLatch::set() noexcept {
  // Once set_ is true the waiter may return and free this latch, so read everything first.
  if (cross_pool_) {
    // The setter is a worker of another pool: keep the waiter's pool alive through the wake-up.
    std::shared_ptr<Registry> pool = pool_->shared_from_this();
    size_t waiter = waiter_;
    set_.store(true, std::memory_order_seq_cst);
    pool->notify_latch_set(waiter);
  } else {
    Registry* pool = pool_;  // the setter is a worker of this pool, which keeps it alive
    size_t waiter = waiter_;
    set_.store(true, std::memory_order_seq_cst);
    pool->notify_latch_set(waiter);
  }
}

// ---- WorkerThread ------------------------------------------------------------------------------

WorkerThread::WorkerThread(Registry& registry, size_t index)
    : registry_(registry),
      index_(index),
      own_(*registry.deques_[index]),
      rng_(0x9E3779B97F4A7C15ull * (index + 1) ^ reinterpret_cast<uintptr_t>(this)) {
  if (rng_ == 0) rng_ = 1;
  current_worker = this;
}

WorkerThread::~WorkerThread() { current_worker = nullptr; }

WorkerThread* WorkerThread::current() { return current_worker; }

uint64_t WorkerThread::next_random() {
  // xorshift64
  rng_ ^= rng_ << 13;
  rng_ ^= rng_ >> 7;
  rng_ ^= rng_ << 17;
  return rng_;
}

Job* WorkerThread::steal_from_others() {
  size_t n = registry_.deques_.size();
  if (n <= 1) return nullptr;
  // Victims in cyclic order from a random start; contended steals are retried while any victim
  // reported a lost race.
  for (;;) {
    bool retry = false;
    size_t start = static_cast<size_t>(next_random() % n);
    for (size_t k = 0; k < n; ++k) {
      size_t victim = start + k < n ? start + k : start + k - n;
      if (victim == index_) continue;
      Job* job = nullptr;
      switch (registry_.deques_[victim]->steal(&job)) {
        case JobDeque::StealResult::Success:
          return job;
        case JobDeque::StealResult::Retry:
          retry = true;
          break;
        case JobDeque::StealResult::Empty:
          break;
      }
    }
    if (!retry) return nullptr;
  }
}

Job* WorkerThread::find_work() {
  if (Job* job = own_.pop()) return job;
  if (Job* job = steal_from_others()) return job;
  return registry_.pop_injected();
}

void WorkerThread::wait_until(const std::atomic<bool>& done) {
  unsigned idle_rounds = 0;
  // events_ as it was before the last search that found nothing: until it changes there is
  // nothing new to find, so an idle worker does not keep scanning every queue of the pool.
  // A fresh pool has queued nothing yet (events_ is 0), so a new worker starts out as if it had
  // just searched: starting a large pool does not make every new worker scan every queue.
  uint64_t searched_at = 0;
  bool searched = true;
  while (!done.load(std::memory_order_acquire)) {
    uint64_t seen = registry_.events();
    if (!searched || seen != searched_at) {
      if (Job* job = find_work()) {
        job->execute();
        idle_rounds = 0;
        searched = false;
        continue;
      }
      searched = true;
      searched_at = seen;
    }
    if (++idle_rounds < kIdleRoundsBeforeSleep) {
      std::this_thread::yield();
      continue;
    }
    registry_.sleep(index_, seen, done);
    idle_rounds = 0;
  }
}

}  // namespace simsieve::detail
