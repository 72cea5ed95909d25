#include "search/choice_feed.hpp"

#include <stdexcept>

namespace simsieve {

ChoiceFeed::ChoiceFeed(size_t capacity)
    : entries_(std::make_unique_for_overwrite<Entry[]>(capacity)), capacity_(capacity) {}

void ChoiceFeed::add(std::string_view utf8, uint32_t code_points) {
  if (count_ == capacity_) throw std::length_error("more choices than the feed was made for");
  entries_[count_++] = {utf8, code_points, next_index_++};
}

void ChoiceFeed::publish() {
  if (published_.load(std::memory_order_relaxed) == count_) return;
  published_.store(count_, std::memory_order_release);
  epoch_.fetch_add(1, std::memory_order_release);
  epoch_.notify_all();
}

void ChoiceFeed::close() {
  published_.store(count_, std::memory_order_release);
  closed_.store(true, std::memory_order_release);
  epoch_.fetch_add(1, std::memory_order_release);
  epoch_.notify_all();
}

void ChoiceFeed::abort() {
  aborted_.store(true, std::memory_order_release);
  epoch_.fetch_add(1, std::memory_order_release);
  epoch_.notify_all();
}

size_t ChoiceFeed::wait_for(size_t end) const {
  for (;;) {
    // Read the epoch first: a publish after these reads changes it, so the wait below returns.
    const uint32_t seen = epoch_.load(std::memory_order_acquire);
    const size_t available = published_.load(std::memory_order_acquire);
    if (available >= end) return end;
    if (closed_.load(std::memory_order_acquire) || aborted()) {
      const size_t now = published_.load(std::memory_order_acquire);
      return now < end ? now : end;
    }
    epoch_.wait(seen, std::memory_order_acquire);
  }
}

}  // namespace simsieve
