// The hits a search keeps while it runs: a rising cutoff for top-k (the k-th best score seen so
// far by any thread), per-piece collection with pruning, and the final deterministic order.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "search/search.hpp"

namespace simsieve::detail {

// Best first: score descending, then index ascending.
inline bool better(const SearchHit& x, const SearchHit& y) {
  if (x.score != y.score) return x.score > y.score;
  return x.index < y.index;
}

class TopKeeper {
 public:
  TopKeeper(double cutoff, uint64_t limit, bool keep_ties) : limit_(limit), keep_ties_(keep_ties), bar_(cutoff) {}

  // The cutoff a choice must reach now: the caller's cutoff, raised to a k-th best score that
  // some piece has already found (never above the final k-th best, so no true hit is lost).
  double bar() const { return bar_.load(std::memory_order_relaxed); }

  // Adds a hit of one piece to that piece's own list, pruning it and raising the bar now and then.
  void add(std::vector<SearchHit>& local, SearchHit hit) {
    local.push_back(hit);
    if (limit_ == kNoLimit || local.size() < limit_) return;
    if (local.size() == limit_ || local.size() >= 2 * limit_ + 16) prune(local);
  }

  // Hands a finished piece's hits over.
  void merge(std::vector<SearchHit>& local) {
    if (limit_ != kNoLimit && local.size() > limit_) prune(local);
    std::lock_guard<std::mutex> lock(mutex_);
    kept_.insert(kept_.end(), local.begin(), local.end());
  }

  // The final hits, best first, cut to the limit (keeping ties at the limit when asked).
  std::vector<SearchHit> finish();

 private:
  void prune(std::vector<SearchHit>& local);
  void raise(double score);

  uint64_t limit_;
  bool keep_ties_;
  std::atomic<double> bar_;
  std::mutex mutex_;
  std::vector<SearchHit> kept_;
};

}  // namespace simsieve::detail
