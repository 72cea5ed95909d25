// Parallel building blocks over an index range [0, n), run on the current thread's pool (the
// shared pool when the caller is no worker). Every per-element function must be safe to call from
// several threads at once; results never depend on how the range was split.
//
//   std::vector<T> parallel_map_collect<T>(size_t n, F f, MinLen min = {})
//       out[i] = f(i) for every i; out has exactly n elements, in index order.
//   void parallel_for_each(size_t n, F f, MinLen min = {})
//       calls f(i) for every i (no order promised between pieces).
//   void parallel_for_each_range(size_t n, F f, MinLen min = {})
//       calls f(begin, end) once per piece; the pieces tile [0, n) and each piece is processed
//       by one thread, so per-piece state can live in f's frame.
//   std::vector<T> parallel_filter(const std::vector<T>& items, P keep, MinLen min = {})
//       copies of the items with keep(item) true, in input order.
//   std::vector<T> parallel_filter_map<T>(size_t n, F f, MinLen min = {})
//       f(i) returns std::optional<T>; the engaged values, in index order.
//   void parallel_sort(std::vector<T>& v, Less less = {})
//       sorts v ascending by `less`; equal elements end up in no particular order.
//   size_t current_worker_count()     (worker_pool.hpp)
//
// MinLen is the with_min_len option: a piece is never split below that many elements (default 1).
// Pass a plain count or with_min_len(k):
//   auto rows = parallel_map_collect<Row>(n, [&](size_t i) { return make_row(i); }, with_min_len(256));
//
// Splitting: the split budget starts at current_worker_count(). A piece of n elements is split at
// n/2 (the left part gets floor(n/2)) only when n/2 >= the minimum length and the budget allows:
// a piece that was stolen resets the budget to max(budget/2, current_worker_count()); otherwise a
// budget above 0 is halved, and a budget of 0 stops splitting. The halves run under
// fork_join_context, the left one on the current thread; an unsplit piece runs its elements in
// ascending order on one thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <iterator>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "pool/cancel.hpp"
#include "pool/fork_join.hpp"
#include "pool/worker_pool.hpp"

namespace simsieve {

struct MinLen {
  constexpr MinLen(size_t k = 1) : value(k) {}  // NOLINT: a plain count converts implicitly
  size_t value;
};

constexpr MinLen with_min_len(size_t k) { return MinLen(k); }

namespace detail {

class Splitter {
 public:
  Splitter(size_t min_len) : splits_(current_worker_count()), min_(std::max<size_t>(min_len, 1)) {}

  bool try_split(size_t len, bool migrated) {
    if (len / 2 < min_) return false;
    if (migrated) {
      splits_ = std::max(splits_ / 2, current_worker_count());
      return true;
    }
    if (splits_ > 0) {
      splits_ /= 2;
      return true;
    }
    return false;
  }

 private:
  size_t splits_;
  size_t min_;
};

// Calls leaf(begin, end) on the pieces of [begin, end).
template <class Leaf>
void split_for(size_t begin, size_t end, bool migrated, Splitter splitter, Leaf& leaf) {
  check_cancelled();
  if (!splitter.try_split(end - begin, migrated)) {
    leaf(begin, end);
    return;
  }
  size_t mid = begin + (end - begin) / 2;
  fork_join_context([&](bool m) { split_for(begin, mid, m, splitter, leaf); },
                    [&](bool m) { split_for(mid, end, m, splitter, leaf); });
}

// leaf(begin, end) -> R per piece; join(R left, R right) -> R combines neighbours, left first.
template <class R, class Leaf, class Join>
R split_reduce(size_t begin, size_t end, bool migrated, Splitter splitter, Leaf& leaf, Join& join) {
  check_cancelled();
  if (!splitter.try_split(end - begin, migrated)) return leaf(begin, end);
  size_t mid = begin + (end - begin) / 2;
  auto [left, right] = fork_join_context([&](bool m) { return split_reduce<R>(begin, mid, m, splitter, leaf, join); },
                                         [&](bool m) { return split_reduce<R>(mid, end, m, splitter, leaf, join); });
  return join(std::move(left), std::move(right));
}

template <class T>
std::vector<T> concat(std::vector<T> left, std::vector<T> right) {
  if (left.empty()) return right;
  left.insert(left.end(), std::make_move_iterator(right.begin()), std::make_move_iterator(right.end()));
  return left;
}

}  // namespace detail

template <class F>
void parallel_for_each_range(size_t n, F&& f, MinLen min = {}) {
  if (n == 0) return;
  auto leaf = [&f](size_t begin, size_t end) { f(begin, end); };
  detail::split_for(0, n, false, detail::Splitter(min.value), leaf);
}

template <class F>
void parallel_for_each(size_t n, F&& f, MinLen min = {}) {
  parallel_for_each_range(
      n, [&f](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
          check_cancelled_every(i - begin + 1);
          f(i);
        }
      },
      min);
}

template <class T, class F>
std::vector<T> parallel_map_collect(size_t n, F&& f, MinLen min = {}) {
  if constexpr (std::is_same_v<T, bool>) {
    // vector<bool> packs bits: neighbouring slots share a word, so collect bytes instead.
    std::vector<unsigned char> bytes =
        parallel_map_collect<unsigned char>(n, [&f](size_t i) -> unsigned char { return f(i) ? 1 : 0; }, min);
    return std::vector<bool>(bytes.begin(), bytes.end());
  } else if constexpr (std::is_default_constructible_v<T>) {
    std::vector<T> out(n);
    parallel_for_each_range(
        n, [&](size_t begin, size_t end) {
          for (size_t i = begin; i < end; ++i) {
            check_cancelled_every(i - begin + 1);
            out[i] = f(i);
          }
        },
        min);
    return out;
  } else {
    std::vector<std::optional<T>> slots(n);
    parallel_for_each_range(
        n, [&](size_t begin, size_t end) {
          for (size_t i = begin; i < end; ++i) {
            check_cancelled_every(i - begin + 1);
            slots[i].emplace(f(i));
          }
        },
        min);
    std::vector<T> out;
    out.reserve(n);
    for (auto& slot : slots) out.push_back(std::move(*slot));
    return out;
  }
}

template <class T, class F>
std::vector<T> parallel_filter_map(size_t n, F&& f, MinLen min = {}) {
  if (n == 0) return {};
  auto leaf = [&f](size_t begin, size_t end) {
    std::vector<T> kept;
    for (size_t i = begin; i < end; ++i) {
      check_cancelled_every(i - begin + 1);
      std::optional<T> r = f(i);
      if (r) kept.push_back(std::move(*r));
    }
    return kept;
  };
  auto join = [](std::vector<T> left, std::vector<T> right) { return detail::concat(std::move(left), std::move(right)); };
  return detail::split_reduce<std::vector<T>>(0, n, false, detail::Splitter(min.value), leaf, join);
}

template <class T, class P>
std::vector<T> parallel_filter(const std::vector<T>& items, P&& keep, MinLen min = {}) {
  return parallel_filter_map<T>(
      items.size(), [&](size_t i) -> std::optional<T> {
        if (keep(items[i])) return items[i];
        return std::nullopt;
      },
      min);
}

namespace detail {

// Below this many elements a partition is sorted sequentially.
inline constexpr size_t kSequentialSortLength = 2048;

template <class It, class Less>
void parallel_quicksort(It first, It last, Less& less, int depth_left) {
  auto n = static_cast<size_t>(last - first);
  if (n <= kSequentialSortLength || depth_left <= 0) {
    std::sort(first, last, less);
    return;
  }
  // Median of three as the pivot, parked at *first while the rest is partitioned into
  // [less than pivot) [equal to pivot) [greater than pivot).
  It mid = first + static_cast<std::ptrdiff_t>(n / 2);
  It back = last - 1;
  if (less(*mid, *first)) std::iter_swap(mid, first);
  if (less(*back, *mid)) {
    std::iter_swap(back, mid);
    if (less(*mid, *first)) std::iter_swap(mid, first);
  }
  std::iter_swap(first, mid);
  auto& pivot = *first;
  It lt_end = std::partition(first + 1, last, [&](const auto& x) { return less(x, pivot); });
  It eq_end = std::partition(lt_end, last, [&](const auto& x) { return !less(pivot, x); });
  std::iter_swap(first, lt_end - 1);  // the pivot joins the equal block
  It lo_end = lt_end - 1;
  fork_join([&] { parallel_quicksort(first, lo_end, less, depth_left - 1); },
            [&] { parallel_quicksort(eq_end, last, less, depth_left - 1); });
}

}  // namespace detail

template <class It, class Less = std::less<>>
void parallel_sort(It first, It last, Less less = {}) {
  const auto size = static_cast<size_t>(last - first);
  if (size <= detail::kSequentialSortLength) {
    std::sort(first, last, less);
    return;
  }
  int depth = 0;
  for (size_t n = size; n > 1; n >>= 1) depth += 2;
  detail::parallel_quicksort(first, last, less, depth);
}

template <class T, class Less = std::less<>>
void parallel_sort(std::vector<T>& v, Less less = {}) {
  parallel_sort(v.begin(), v.end(), less);
}

}  // namespace simsieve
