#include "gestalt/match_search.hpp"

#include <algorithm>

#include "common/internal_error.hpp"

namespace simsieve::detail {
namespace {

constexpr unsigned kBlockShift = 6;
constexpr unsigned kSuperShift = 12;


// Number of plain suffix-link steps taken before a climb switches to the jump pointers.
constexpr int kLinearSteps = 6;

// First state on the suffix-link path from s (exclusive) that satisfies pred, given that s does
// not. pred must be monotone along the path (false ... false true ... true) and true at the root.
template <class Pred>
uint32_t climb(const MatchIndex& ix, uint32_t s, Pred&& pred) {
  for (int step = 0; step < kLinearSteps; ++step) {
    s = ix.position(s).link;
    if (pred(s)) return s;
  }
  // Skew-binary jump pointers: O(log depth) evaluations of pred.
  for (;;) {
    const uint32_t j = ix.jump(s);
    if (!pred(j)) {
      s = j;
      continue;
    }
    const uint32_t up = ix.position(s).link;
    if (up == j || pred(up)) return up;
    s = up;
  }
}

}  // namespace

MatchScratch& thread_match_scratch() { return thread_area<MatchScratch>(); }

IndexedSearch::IndexedSearch(MatchScratch& scratch, std::span<const uint32_t> a, const MatchIndex& index,
                             std::span<const uint32_t> b)
    : s_(scratch), a_(a), ix_(index), b_(b) {
  ensure(index.length() == b.size(), "match index does not belong to b");
  ensure(a.size() < 0xFFFFFFFFu, "string too long");
  s_.state.resize(a.size());
  s_.length.resize(a.size());
  s_.cap.resize(a.size());
}

bool IndexedSearch::matching_statistics(uint32_t bound) {
  const auto la = static_cast<uint32_t>(a_.size());
  const auto lb = static_cast<uint32_t>(b_.size());
  if (bound == 0) return true;
  uint32_t* st = s_.state.data();
  uint32_t* ln = s_.length.data();
  // Common prefix of a and b: one comparison per code point along the prefix states.
  uint32_t x = 0;
  uint32_t s = MatchIndex::kRoot;
  const uint32_t lim = std::min(la, lb);
  while (x < lim) {
    const uint32_t c = a_[x];
    int32_t t;
    if (s == MatchIndex::kRoot) {
      if (c >= 128) break;
      t = ix_.root_target(c);
      if (t < 0) break;
    } else {
      const StateRecord& r = ix_.state(s);
      if (c != r.c0) break;
      t = static_cast<int32_t>(r.t0);
    }
    if (t != ix_.prefix_state(x)) break;
    s = static_cast<uint32_t>(t);
    st[x] = s;
    ln[x] = x + 1;
    ++x;
    if (x >= bound) return true;
  }
  uint32_t len = x;
  for (; x < la; ++x) {
    const uint32_t c = a_[x];
    for (;;) {
      if (s == MatchIndex::kRoot) {
        const int32_t t = ix_.find_edge(MatchIndex::kRoot, c);
        if (t >= 0) {
          s = static_cast<uint32_t>(t);
          len = 1;
        } else {
          len = 0;
        }
        break;
      }
      const int32_t t = ix_.find_edge(s, c);
      if (t >= 0) {
        s = static_cast<uint32_t>(t);
        ++len;
        break;
      }
      const StateRecord& r = ix_.state(s);
      len = r.link_len;
      s = r.link;
    }
    st[x] = s;
    ln[x] = len;
    if (len >= bound) return true;
  }
  return false;
}

void IndexedSearch::reset_caps() {
  std::fill(s_.cap.begin(), s_.cap.end(), 0xFFFFFFFFu);
  // Block maxima of the match lengths. Caps only ever lower a position's bound, so these stay
  // upper bounds for the whole recursion.
  const size_t la = a_.size();
  s_.block_max.assign((la >> kBlockShift) + 1, 0);
  s_.super_max.assign((la >> kSuperShift) + 1, 0);
  const uint32_t* ln = s_.length.data();
  for (size_t x = 0; x < la; ++x) {
    uint32_t& m = s_.block_max[x >> kBlockShift];
    m = std::max(m, ln[x]);
  }
  for (size_t blk = 0; blk < s_.block_max.size(); ++blk) {
    uint32_t& m = s_.super_max[blk >> (kSuperShift - kBlockShift)];
    m = std::max(m, s_.block_max[blk]);
  }
}

Block IndexedSearch::longest_match_small(const SubProblem& r) const {
  const uint32_t m = r.bhi - r.blo;
  uint32_t bb[8];
  for (uint32_t y = 0; y < m; ++y) bb[y] = b_[r.blo + y];
  uint32_t rows[2][9] = {};
  uint32_t* prev = rows[0];
  uint32_t* cur = rows[1];
  Block best{0, 0, 0};
  for (uint32_t x = r.alo; x < r.ahi; ++x) {
    const uint32_t c = a_[x];
    uint32_t e = 0;
    for (uint32_t y = 0; y < m; ++y) {
      cur[y + 1] = c == bb[y] ? prev[y] + 1 : 0;
      e = std::max(e, cur[y + 1]);
    }
    if (e > best.k) {
      uint32_t y = 0;
      while (cur[y + 1] != e) ++y;
      best = {x - e + 1, r.blo + y - e + 1, e};
    }
    std::swap(prev, cur);
  }
  return best;
}

uint32_t IndexedSearch::probe(uint32_t x, uint32_t t, uint32_t blo, uint32_t bhi, Block& best) const {
  const MatchIndex& ix = ix_;
  uint32_t s = s_.state[x];
  // The state holding the suffix of length t: the first one on the path whose link is shorter.
  if (ix.position(s).link_len >= t) {
    s = climb(ix, s, [&](uint32_t u) { return ix.position(u).link_len < t; });
  }
  const uint32_t last = bhi - 1;
  bool first = true;
  for (;;) {
    if (s == MatchIndex::kRoot) return 0;
    const PositionRecord& p = ix.position(s);
    const uint32_t v = first ? std::min(p.len, t) : p.len;
    if (v <= best.k) return v;
    const uint32_t w = ix.largest_end_at_most(s, last);
    if (w != MatchIndex::kNoEnd && w >= blo) {
      const uint32_t o = std::min(w - blo + 1, v);
      if (o > p.link_len) {
        if (o <= best.k) return o;
        // The occurrence that ends first in b inside the range: w itself when blo cuts the run.
        const uint32_t e = v > w - blo ? w : ix.smallest_end_at_least(s, blo + o - 1);
        best = {x - o + 1, e - o + 1, o};
        return o;
      }
    }
    // No run of this state's lengths fits the range. Ancestors have more end positions and
    // shorter lengths, so the first one that can fit (or that cannot beat best) comes next.
    first = false;
    const uint32_t bestk = best.k;
    s = climb(ix, s, [&](uint32_t u) {
      if (u == MatchIndex::kRoot) return true;
      const PositionRecord& q = ix.position(u);
      if (q.len <= bestk) return true;
      const uint32_t wu = ix.largest_end_at_most(u, last);
      return wu != MatchIndex::kNoEnd && wu >= blo && wu - blo + 1 > q.link_len;
    });
  }
}

Block IndexedSearch::longest_match(const SubProblem& r) {
  if (r.bhi - r.blo <= 8) return longest_match_small(r);
  Block best{0, 0, 0};
  const uint32_t* ln = s_.length.data();
  uint32_t* cap = s_.cap.data();
  uint32_t x = r.alo;
  while (x < r.ahi) {
    const uint32_t t = std::min({x - r.alo + 1, ln[x], cap[x]});
    if (t <= best.k) {
      x += best.k - t + 1;
      // Whole blocks in which no position can end a run longer than best are crossed at once
      // (a repetitive a can otherwise make every sub-problem walk its range one by one).
      while (x < r.ahi) {
        if (s_.super_max[x >> kSuperShift] <= best.k) {
          x = ((x >> kSuperShift) + 1) << kSuperShift;
        } else if (s_.block_max[x >> kBlockShift] <= best.k) {
          x = ((x >> kBlockShift) + 1) << kBlockShift;
        } else {
          break;
        }
      }
      continue;
    }
    const uint32_t o = probe(x, t, r.blo, r.bhi, best);
    if (o < cap[x]) cap[x] = o;
    x += (best.k > o ? best.k - o : 0) + 1;
  }
  return best;
}

}  // namespace simsieve::detail
