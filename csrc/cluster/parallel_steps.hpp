// The parallel steps of the clustering code, each with a switch that keeps small inputs on the
// calling thread (same results either way: per-item work is pure and placed by index).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <vector>

#include "pool/parallel.hpp"

namespace simsieve::detail {

// out[k] = f(k) for k in [0, n), in index order.
template <class T, class F>
std::vector<T> map_indices(size_t n, bool parallel, F&& f) {
  if (parallel) return parallel_map_collect<T>(n, f);
  std::vector<T> out;
  out.reserve(n);
  for (size_t k = 0; k < n; ++k) out.push_back(f(k));
  return out;
}

// f(k) for every k in [0, n); in parallel, pieces of at least `min` indices.
template <class F>
void for_each_index(size_t n, bool parallel, F&& f, MinLen min = {}) {
  if (parallel) {
    parallel_for_each(n, f, min);
    return;
  }
  for (size_t k = 0; k < n; ++k) f(k);
}

// out[k] = f(k) for a prefix [0, d) of [0, n): indices are taken in ascending order, each by one
// thread, and none is taken once stop() is true (checked before each; the first is always taken
// when n > 0). Returns the d results, in index order.
template <class T, class F, class Stop>
std::vector<T> map_prefix_until(size_t n, bool parallel, F&& f, Stop&& stop) {
  std::vector<T> out(n);
  std::atomic<size_t> next{0};
  auto take = [&](size_t) {
    for (;;) {
      if (next.load(std::memory_order_relaxed) > 0 && stop()) return;
      const size_t k = next.fetch_add(1, std::memory_order_relaxed);
      if (k >= n) return;
      out[k] = f(k);
    }
  };
  if (parallel && n > 1)
    parallel_for_each(std::clamp<size_t>(current_worker_count(), 1, n), take);
  else
    take(0);
  out.resize(std::min(next.load(), n));
  return out;
}

template <class T, class F>
void for_each_item(const std::vector<T>& items, bool parallel, F&& f) {
  if (parallel) {
    parallel_for_each(items.size(), [&](size_t k) { f(items[k]); });
    return;
  }
  for (const T& item : items) f(item);
}

// The items for which keep(item) holds, in input order.
template <class T, class P>
std::vector<T> filter_items(const std::vector<T>& items, bool parallel, P&& keep) {
  if (parallel) return parallel_filter(items, keep);
  std::vector<T> out;
  for (const T& item : items)
    if (keep(item)) out.push_back(item);
  return out;
}

// Ascending order of `less`; equal elements in no particular order.
template <class T, class L>
void sort_items(std::vector<T>& items, bool parallel, L&& less) {
  if (parallel) {
    parallel_sort(items, less);
    return;
  }
  std::sort(items.begin(), items.end(), less);
}

}  // namespace simsieve::detail
