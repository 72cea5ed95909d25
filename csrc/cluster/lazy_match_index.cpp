#include "cluster/lazy_match_index.hpp"

#include <utility>

#include "common/internal_error.hpp"

namespace simsieve {

const MatchIndex& LazyMatchIndex::get(CodepointView text) {
  uint8_t state = state_.load(std::memory_order_acquire);
  if (state == kReady) [[likely]] return *index_;
  if (state == kEmpty && state_.compare_exchange_strong(state, kBuilding, std::memory_order_acquire)) {
    try {
      index_ = std::make_unique<MatchIndex>(build_match_index(text));
    } catch (...) {
      state_.store(kFailed, std::memory_order_release);
      state_.notify_all();
      throw;
    }
    state_.store(kReady, std::memory_order_release);
    state_.notify_all();
    return *index_;
  }
  // Someone else is building it (or the compare-exchange just lost to them): wait for the outcome.
  for (state = state_.load(std::memory_order_acquire); state == kBuilding;
       state = state_.load(std::memory_order_acquire))
    state_.wait(kBuilding, std::memory_order_acquire);
  if (state != kReady) internal_failure("match index of a canonical could not be built");
  return *index_;
}

void LazyMatchIndex::set(MatchIndex index) {
  ensure(state_.load(std::memory_order_relaxed) == kEmpty, "match index slot filled twice");
  index_ = std::make_unique<MatchIndex>(std::move(index));
  state_.store(kReady, std::memory_order_release);
}

void LazyMatchIndex::release() {
  if (state_.load(std::memory_order_acquire) != kReady) return;
  index_.reset();
  state_.store(kEmpty, std::memory_order_release);
}

MatchIndexTable::MatchIndexTable(std::span<const CodepointView> canonicals, std::vector<MatchIndex> ready)
    : MatchIndexTable(canonicals) {
  ensure(ready.size() == canonicals.size(), "one ready match index per canonical expected");
  for (size_t k = 0; k < ready.size(); ++k) slots_[k].set(std::move(ready[k]));
}

}  // namespace simsieve
