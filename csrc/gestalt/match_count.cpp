#include "gestalt/match_count.hpp"

#include "gestalt/match_search.hpp"

namespace simsieve {

uint64_t count_matches(std::span<const uint32_t> a, const MatchIndex& index, std::span<const uint32_t> b) {
  if (a.empty() || b.empty()) return 0;
  detail::ScratchLease lease(detail::thread_match_scratch(), "match search scratch re-entered");
  detail::IndexedSearch search(*lease, a, index, b);
  search.matching_statistics();
  search.reset_caps();
  auto& stack = lease->stack;
  stack.clear();
  stack.push_back({0, static_cast<uint32_t>(a.size()), 0, static_cast<uint32_t>(b.size())});
  uint64_t m = 0;
  while (!stack.empty()) {
    const detail::SubProblem r = stack.back();
    stack.pop_back();
    if (r.alo >= r.ahi || r.blo >= r.bhi) continue;
    const detail::Block blk = search.longest_match(r);
    if (blk.k == 0) continue;
    m += blk.k;
    stack.push_back({r.alo, blk.i, r.blo, blk.j});
    stack.push_back({blk.i + blk.k, r.ahi, blk.j + blk.k, r.bhi});
  }
  return m;
}

}  // namespace simsieve
