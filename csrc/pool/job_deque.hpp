// The per-worker job queue: a Chase-Lev work-stealing deque of job pointers. The owning worker
// pushes and pops at the back without locks; any other thread steals from the front with one
// compare-and-swap. The ring buffer grows when full; replaced buffers stay alive until the deque
// is destroyed, because a thief may still be reading a slot of one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace simsieve::detail {

struct Job;

class JobDeque {
 public:
  enum class StealResult { Empty, Retry, Success };

  JobDeque() : buffer_(std::make_unique<Ring>(kInitialCapacity)) { ring_.store(buffer_.get(), std::memory_order_relaxed); }
  JobDeque(const JobDeque&) = delete;
  JobDeque& operator=(const JobDeque&) = delete;

  // Owner only: adds job at the back.
  void push(Job* job) {
    int64_t b = bottom_.load(std::memory_order_relaxed);
    int64_t t = top_.load(std::memory_order_acquire);
    Ring* ring = ring_.load(std::memory_order_relaxed);
    if (b - t >= static_cast<int64_t>(ring->capacity)) ring = grow(ring, t, b);
    ring->put(b, job);
    // Release: a thief that reads the new bottom also sees the slot and the job it points to.
    bottom_.store(b + 1, std::memory_order_release);
  }

  // Owner only: removes the newest job, or returns nullptr when the deque is empty.
  Job* pop() {
    int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
    Ring* ring = ring_.load(std::memory_order_relaxed);
    // Sequentially consistent store and load: a thief's read of bottom and our read of top must
    // not both miss each other's update when one job is left.
    bottom_.store(b, std::memory_order_seq_cst);
    int64_t t = top_.load(std::memory_order_seq_cst);
    if (t > b) {
      bottom_.store(b + 1, std::memory_order_relaxed);
      return nullptr;
    }
    Job* job = ring->get(b);
    if (t == b) {
      // The last job: race the thieves for it.
      if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed))
        job = nullptr;
      bottom_.store(b + 1, std::memory_order_relaxed);
    }
    return job;
  }

  // Any thread: takes the oldest job into *out.
  StealResult steal(Job** out) {
    int64_t t = top_.load(std::memory_order_seq_cst);
    int64_t b = bottom_.load(std::memory_order_seq_cst);
    if (t >= b) return StealResult::Empty;
    Ring* ring = ring_.load(std::memory_order_acquire);
    Job* job = ring->get(t);
    if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst, std::memory_order_relaxed))
      return StealResult::Retry;
    *out = job;
    return StealResult::Success;
  }

  // Any thread; a hint only (the deque may change right after).
  bool looks_empty() const {
    return top_.load(std::memory_order_acquire) >= bottom_.load(std::memory_order_acquire);
  }

 private:
  static constexpr size_t kInitialCapacity = 32;

  struct Ring {
    explicit Ring(size_t cap) : capacity(cap), slots(std::make_unique<std::atomic<Job*>[]>(cap)) {}
    Job* get(int64_t i) const { return slots[static_cast<size_t>(i) & (capacity - 1)].load(std::memory_order_relaxed); }
    void put(int64_t i, Job* job) { slots[static_cast<size_t>(i) & (capacity - 1)].store(job, std::memory_order_relaxed); }
    size_t capacity;  // a power of two
    std::unique_ptr<std::atomic<Job*>[]> slots;
  };

  Ring* grow(Ring* old, int64_t t, int64_t b) {
    auto bigger = std::make_unique<Ring>(old->capacity * 2);
    for (int64_t i = t; i < b; ++i) bigger->put(i, old->get(i));
    Ring* raw = bigger.get();
    retired_.push_back(std::move(buffer_));
    buffer_ = std::move(bigger);
    // Release: a thief that loads the new ring pointer sees the copied slots.
    ring_.store(raw, std::memory_order_release);
    return raw;
  }

  alignas(64) std::atomic<int64_t> top_{0};
  alignas(64) std::atomic<int64_t> bottom_{0};
  std::atomic<Ring*> ring_{nullptr};
  std::unique_ptr<Ring> buffer_;               // the current ring (owner only)
  std::vector<std::unique_ptr<Ring>> retired_;  // replaced rings, kept for late thieves (owner only)
};

}  // namespace simsieve::detail
