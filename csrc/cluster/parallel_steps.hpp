// The few parallel building blocks the clustering code uses, each with a switch that runs it on
// the calling thread instead (small inputs).
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace simsieve::detail {

// out[k] = f(k) for k in [0, n), in index order.
template <class T, class F>
std::vector<T> map_indices(size_t n, bool parallel, F&& f) {
  (void)parallel;
  std::vector<T> out;
  out.reserve(n);
  for (size_t k = 0; k < n; ++k) out.push_back(f(k));
  return out;
}

template <class T, class F>
void for_each_item(const std::vector<T>& items, bool parallel, F&& f) {
  (void)parallel;
  for (const T& item : items) f(item);
}

// The items for which keep(item) holds, in input order.
template <class T, class P>
std::vector<T> filter_items(const std::vector<T>& items, bool parallel, P&& keep) {
  (void)parallel;
  std::vector<T> out;
  for (const T& item : items)
    if (keep(item)) out.push_back(item);
  return out;
}

// Ascending order of `less`; equal elements in unspecified order.
template <class T, class L>
void sort_items(std::vector<T>& items, bool parallel, L&& less) {
  (void)parallel;
  std::sort(items.begin(), items.end(), less);
}

}  // namespace simsieve::detail
