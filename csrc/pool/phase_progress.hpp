// Progress counters of a long call, readable by the thread that waits for it: the phase the call
// is in (a fixed name such as "candidates" or "minima"), how many of the phase's items are done,
// and how many there are, plus one record per finished phase. The thread that starts a call
// installs its counters (ProgressScope); the call's code picks them up once on that thread
// (current_phase_progress()) and opens one PhaseCounter per phase; workers add to the counter
// with relaxed atomics. Nothing here knows who reads (the Python binding does, while it waits).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace simsieve {

class PhaseProgress {
 public:
  struct Event {
    const char* phase;
    uint64_t done;
    uint64_t total;
  };

  // Starts `phase` (a string with static lifetime) with `total` items.
  void begin(const char* phase, uint64_t total) {
    std::lock_guard lock(mutex_);
    phase_ = phase;
    total_ = total;
    done_.store(0, std::memory_order_relaxed);
  }
  void add(uint64_t n) noexcept { done_.fetch_add(n, std::memory_order_relaxed); }
  // Ends the current phase; a completed one is recorded as finished (done == total).
  void end(bool completed) {
    std::lock_guard lock(mutex_);
    if (phase_ && completed) finished_.push_back({phase_, total_, total_});
    phase_ = nullptr;
  }

  // The phases finished since the last call, in order.
  std::vector<Event> take_finished() {
    std::lock_guard lock(mutex_);
    return std::exchange(finished_, {});
  }
  // The phase running now with its counts (done never shown above total).
  std::optional<Event> running() const {
    std::lock_guard lock(mutex_);
    if (!phase_) return std::nullopt;
    uint64_t done = done_.load(std::memory_order_relaxed);
    return Event{phase_, done < total_ ? done : total_, total_};
  }

 private:
  mutable std::mutex mutex_;
  const char* phase_ = nullptr;
  uint64_t total_ = 0;
  std::atomic<uint64_t> done_{0};
  std::vector<Event> finished_;
};

namespace detail {
inline thread_local PhaseProgress* current_progress = nullptr;
}  // namespace detail

// The counters of the call the calling thread works for (nullptr when nobody reads them).
inline PhaseProgress* current_phase_progress() noexcept { return detail::current_progress; }

// Makes `progress` the calling thread's counters for the scope's lifetime.
class ProgressScope {
 public:
  explicit ProgressScope(PhaseProgress* progress) noexcept : saved_(detail::current_progress) {
    detail::current_progress = progress;
  }
  ~ProgressScope() { detail::current_progress = saved_; }
  ProgressScope(const ProgressScope&) = delete;
  ProgressScope& operator=(const ProgressScope&) = delete;

 private:
  PhaseProgress* saved_;
};

// One phase of a call on its counters (which may be null: then every operation does nothing).
// finish() records the phase as complete; a counter destroyed unfinished (an exception unwinds
// the phase) just ends it.
class PhaseCounter {
 public:
  PhaseCounter(PhaseProgress* progress, const char* phase, uint64_t total) : progress_(progress) {
    if (progress_) progress_->begin(phase, total);
  }
  ~PhaseCounter() {
    if (progress_) progress_->end(false);
  }
  PhaseCounter(const PhaseCounter&) = delete;
  PhaseCounter& operator=(const PhaseCounter&) = delete;

  void add(uint64_t n) noexcept {
    if (progress_) progress_->add(n);
  }
  void finish() {
    if (progress_) std::exchange(progress_, nullptr)->end(true);
  }

 private:
  PhaseProgress* progress_;
};

}  // namespace simsieve
