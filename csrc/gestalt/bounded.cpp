#include "gestalt/bounded.hpp"

#include <algorithm>
#include <cmath>

#include "gestalt/match_search.hpp"

namespace simsieve {
namespace {

using detail::Block;
using detail::RankedSubProblem;
using detail::SubProblem;

// Max-heap order: larger capacity first, then smaller alo.
bool heap_less(const RankedSubProblem& x, const RankedSubProblem& y) {
  if (x.capacity != y.capacity) return x.capacity < y.capacity;
  return x.range.alo > y.range.alo;
}

void heap_push(std::vector<RankedSubProblem>& heap, const SubProblem& r) {
  heap.push_back({detail::capacity_of(r), r});
  std::push_heap(heap.begin(), heap.end(), heap_less);
}

RankedSubProblem heap_pop(std::vector<RankedSubProblem>& heap) {
  std::pop_heap(heap.begin(), heap.end(), heap_less);
  RankedSubProblem top = heap.back();
  heap.pop_back();
  return top;
}

uint32_t clamp32(uint64_t v) { return static_cast<uint32_t>(std::min<uint64_t>(v, 0xFFFFFFFFu)); }

double ratio_of(uint64_t m, size_t total) { return static_cast<double>(m + m) / static_cast<double>(total); }

// What the waiting ranges of the recursion are certain to add: a range that starts where both
// strings start matches at least their common prefix (cut to the range), and one that ends where
// both end at least their common suffix. Only those two can have either: a match is never next to
// another common character inside its range, or it would be longer.
class CertainEnds {
 public:
  CertainEnds(size_t la, size_t lb, CommonEnds ends) : la_(la), lb_(lb), ends_(ends) {}
  uint64_t least(const SubProblem& r) const {
    const uint64_t capacity = detail::capacity_of(r);
    if (r.alo == 0 && r.blo == 0) return std::min<uint64_t>(ends_.prefix, capacity);
    if (r.ahi == la_ && r.bhi == lb_) return std::min<uint64_t>(ends_.suffix, capacity);
    return 0;
  }

 private:
  size_t la_, lb_;
  CommonEnds ends_;
};

// Capacity that a block (i, j, k) of r leaves to its two parts.
uint64_t parts_capacity(const SubProblem& r, const Block& blk) {
  return std::min<uint64_t>(blk.i - r.alo, blk.j - r.blo) +
         std::min<uint64_t>(r.ahi - blk.i - blk.k, r.bhi - blk.j - blk.k);
}

}  // namespace

CommonEnds common_ends(std::span<const uint32_t> a, std::span<const uint32_t> b) {
  const uint64_t la = a.size(), lb = b.size(), shorter = std::min(la, lb);
  CommonEnds e;
  while (e.prefix < shorter && a[e.prefix] == b[e.prefix]) ++e.prefix;
  while (e.suffix < shorter - e.prefix && a[la - 1 - e.suffix] == b[lb - 1 - e.suffix]) ++e.suffix;
  return e;
}

uint64_t need_for(double t, uint64_t total_len) {
  const double need = std::ceil(t * static_cast<double>(total_len) * 0.5);
  if (!(need > 0.0)) return 0;  // negative, zero or NaN
  if (need >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(need);
}

Reach ratio_reaches(std::span<const uint32_t> a, const MatchIndex& index, std::span<const uint32_t> b, double t) {
  const size_t la = a.size(), lb = b.size();
  if (la + lb == 0) return {true, 1.0};
  const uint64_t need = need_for(t, la + lb);
  if (la == 0 || lb == 0) return {need == 0, 0.0};
  detail::ScratchLease lease(detail::thread_match_scratch(), "match search scratch re-entered");
  detail::IndexedSearch search(*lease, a, index, b);
  search.matching_statistics();
  search.reset_caps();
  auto& stack = lease->stack;
  stack.clear();
  stack.push_back({0, static_cast<uint32_t>(la), 0, static_cast<uint32_t>(lb)});
  uint64_t m = 0;
  uint64_t potential = std::min(la, lb);
  while (!stack.empty()) {
    const SubProblem r = stack.back();
    stack.pop_back();
    const uint64_t c = detail::capacity_of(r);
    if (c == 0) continue;
    const Block blk = search.longest_match(r);
    if (blk.k == 0) {
      potential -= c;
      continue;
    }
    m += blk.k;
    potential = potential - c + parts_capacity(r, blk);
    if (m + potential < need) return {false, 0.0};
    stack.push_back({r.alo, blk.i, r.blo, blk.j});
    stack.push_back({blk.i + blk.k, r.ahi, blk.j + blk.k, r.bhi});
  }
  if (m >= need) return {true, ratio_of(m, la + lb)};
  return {false, 0.0};
}

bool ratio_reaches_fast(std::span<const uint32_t> a, const MatchIndex& index, std::span<const uint32_t> b, double t) {
  const size_t la = a.size(), lb = b.size();
  if (la + lb == 0) return true;
  const uint64_t need = need_for(t, la + lb);
  if (need == 0) return true;
  if (la == 0 || lb == 0) return false;
  // A common prefix or suffix of length q makes the first block at least q long.
  const size_t m0 = std::min(la, lb);
  const CommonEnds common = common_ends(a, b);
  if (std::max(common.prefix, common.suffix) >= need) return true;
  detail::ScratchLease lease(detail::thread_match_scratch(), "match search scratch re-entered");
  detail::IndexedSearch search(*lease, a, index, b);
  if (search.matching_statistics(clamp32(need))) return true;
  search.reset_caps();
  auto& heap = lease->heap;
  heap.clear();
  heap_push(heap, {0, static_cast<uint32_t>(la), 0, static_cast<uint32_t>(lb)});
  uint64_t m = 0;
  uint64_t potential = m0;
  const CertainEnds ends(la, lb, common);
  uint64_t certain = ends.least(heap.front().range);
  while (!heap.empty()) {
    const RankedSubProblem top = heap_pop(heap);
    potential -= top.capacity;
    if (top.capacity == 0) continue;
    const SubProblem& r = top.range;
    certain -= ends.least(r);
    const Block blk = search.longest_match(r);
    if (blk.k == 0) continue;
    m += blk.k;
    if (m >= need) return true;
    potential += parts_capacity(r, blk);
    if (m + potential < need) return false;
    const SubProblem left{r.alo, blk.i, r.blo, blk.j}, right{blk.i + blk.k, r.ahi, blk.j + blk.k, r.bhi};
    heap_push(heap, left);
    heap_push(heap, right);
    certain += ends.least(left) + ends.least(right);
    if (m + certain >= need) return true;
  }
  return m >= need;
}

double capped_ratio(std::span<const uint32_t> a, const MatchIndex& index, std::span<const uint32_t> b, uint64_t limit) {
  const size_t la = a.size(), lb = b.size();
  if (la == 0 || lb == 0) {
    // No matches at all; callers normally settle empty strings themselves.
    if (limit == 0) return 2.0;
    return la + lb == 0 ? 1.0 : 0.0;
  }
  detail::ScratchLease lease(detail::thread_match_scratch(), "match search scratch re-entered");
  detail::IndexedSearch search(*lease, a, index, b);
  if (search.matching_statistics(clamp32(limit))) return 2.0;
  search.reset_caps();
  auto& heap = lease->heap;
  heap.clear();
  heap_push(heap, {0, static_cast<uint32_t>(la), 0, static_cast<uint32_t>(lb)});
  uint64_t m = 0;
  const CertainEnds ends(la, lb, common_ends(a, b));
  uint64_t certain = ends.least(heap.front().range);
  while (!heap.empty()) {
    const RankedSubProblem top = heap_pop(heap);
    if (top.capacity == 0) continue;
    const SubProblem& r = top.range;
    certain -= ends.least(r);
    const Block blk = search.longest_match(r);
    if (blk.k == 0) continue;
    m += blk.k;
    if (m >= limit) return 2.0;
    const SubProblem left{r.alo, blk.i, r.blo, blk.j}, right{blk.i + blk.k, r.ahi, blk.j + blk.k, r.bhi};
    heap_push(heap, left);
    heap_push(heap, right);
    certain += ends.least(left) + ends.least(right);
    if (m + certain >= limit) return 2.0;
  }
  return ratio_of(m, la + lb);
}

}  // namespace simsieve
