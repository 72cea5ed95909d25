// The automaton-driven longest-match search shared by the exact match count and the bounded
// checks: matching statistics of a against the index of b, per-position caps learned during the
// recursion, and the range-restricted longest match with difflib's tie-breaks (longest; then
// first in a; then first in b).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "gestalt/match_index.hpp"
#include "gestalt/scratch.hpp"

namespace simsieve::detail {

struct Block {
  uint32_t i, j, k;
};

struct SubProblem {
  uint32_t alo, ahi, blo, bhi;
};

// A pending sub-problem of the best-first order, ranked by capacity, then by smaller alo.
struct RankedSubProblem {
  uint64_t capacity;
  SubProblem range;
};

inline uint64_t capacity_of(const SubProblem& r) {
  return std::min<uint64_t>(r.ahi - r.alo, r.bhi - r.blo);
}

// Per-thread scratch of the search, sized to the longest a seen.
struct MatchScratch : ScratchArea {
  std::vector<uint32_t> state;   // state of the longest suffix of a[0..x] occurring in b
  std::vector<uint32_t> length;  // its length
  std::vector<uint32_t> cap;     // upper bound on a run ending at x in any later sub-problem
  // Upper bounds of length[] over blocks of kBlockShift and kSuperShift positions, so that the
  // scan crosses a stretch in which no run can beat the best one found in one step.
  std::vector<uint32_t> block_max;
  std::vector<uint32_t> super_max;
  std::vector<SubProblem> stack;
  std::vector<RankedSubProblem> heap;
};

MatchScratch& thread_match_scratch();

class IndexedSearch {
 public:
  static constexpr uint32_t kNoBound = 0xFFFFFFFFu;

  IndexedSearch(MatchScratch& scratch, std::span<const uint32_t> a, const MatchIndex& index,
                std::span<const uint32_t> b);

  // Fills the matching statistics of a. With a bound, stops as soon as the common prefix walk or
  // any match length reaches it and returns true (a common substring of that length exists, so
  // the first matching block is at least that long); returns false otherwise.
  bool matching_statistics(uint32_t bound = kNoBound);

  // Forgets all caps (every position unknown).
  void reset_caps();

  // Longest common run inside the ranges, difflib's tie-breaks; k = 0 when there is none.
  Block longest_match(const SubProblem& r);

 private:
  Block longest_match_small(const SubProblem& r) const;
  // Longest run ending at a position x, at most t long, inside [blo, bhi) of b; records a
  // strictly longer run in best. Returns an upper bound on that run's length (exact when it
  // improved best).
  uint32_t probe(uint32_t x, uint32_t t, uint32_t blo, uint32_t bhi, Block& best) const;

  MatchScratch& s_;
  std::span<const uint32_t> a_;
  const MatchIndex& ix_;
  std::span<const uint32_t> b_;
};

}  // namespace simsieve::detail
