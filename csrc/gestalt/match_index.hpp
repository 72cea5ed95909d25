// The match index of a string b: its suffix automaton, compiled into flat read-only arrays that
// answer what the longest-match search asks without touching b again: which state a text walks
// to, which lengths a state covers, and where in b the substrings of a state end (smallest,
// largest, and the nearest end at either side of a bound). Built once per string, immutable
// afterwards and shared by any number of threads without locking.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "gestalt/wavelet_matrix.hpp"

namespace simsieve {

// Transition data of one state. (c0, t0) is the preferred edge: for a state that ends a prefix of
// b, the edge on the code point that follows that prefix in b. (c1, t1) is another edge with a
// different code point. An absent edge has code 0xFFFFFFFF and target 0. [lo, hi) is the
// state's run of all its edges when it has more than two (empty otherwise: c0 and c1 hold
// them); a run longer than kLinearRun is sorted by code point, the root's always is.
struct StateRecord {
  uint32_t c0, t0, c1, t1;
  uint32_t lo, hi;
  uint32_t link;      // suffix link; 0 for the root
  uint32_t link_len;  // len of the link state; 0 for the root
};

// End-position data of one state. Its end positions are end_positions[slice_start, +count);
// a state with more than kScanLimit of them also has an ascending copy at sorted_offset in the
// sorted ends (0xFFFFFFFF when there is none).
struct PositionRecord {
  uint32_t len, link, link_len, sorted_offset;
  uint32_t min_end, max_end, slice_start, count;
};

class MatchIndex {
 public:
  static constexpr uint32_t kNoCode = 0xFFFFFFFFu;
  static constexpr uint32_t kNoEnd = 0xFFFFFFFFu;
  static constexpr uint32_t kRoot = 0;
  static constexpr uint32_t kNoOffset = 0xFFFFFFFFu;
  // States with more end positions than this answer range queries by binary search in their
  // sorted copy, or through the wavelet matrix; smaller ones scan their slice.
  static constexpr uint32_t kScanLimit = 256;
  // Sorted copies are kept while they add up to at most this many entries per code point of b;
  // beyond that (highly repetitive b, where they grow towards lb^2 / 2) one wavelet matrix over
  // the end positions answers the same queries in O(log lb) with O(lb log lb) bits.
  static constexpr uint32_t kSortedCopiesPerPosition = 4;
  // Edge runs up to this long are scanned, longer ones binary-searched.
  static constexpr uint32_t kLinearRun = 8;

  MatchIndex() = default;

  uint32_t length() const { return length_; }
  uint32_t state_count() const { return state_count_; }
  const StateRecord& state(uint32_t s) const { return states_[s]; }
  const PositionRecord& position(uint32_t s) const { return positions_[s]; }
  int32_t root_target(uint32_t c) const { return root_table_[c]; }
  int32_t prefix_state(uint32_t i) const { return prefix_states_[i]; }
  std::span<const uint64_t> edge_run(uint32_t s) const {
    return {edges_.data() + states_[s].lo, edges_.data() + states_[s].hi};
  }
  std::span<const uint32_t> end_slice(uint32_t s) const {
    return {end_positions_.data() + positions_[s].slice_start, positions_[s].count};
  }
  bool has_range_tree() const { return !ends_tree_.empty(); }
  bool has_sorted_copies() const { return has_sorted_; }
  // Skew-binary jump pointer of s: an ancestor on its suffix-link path, for logarithmic climbs.
  uint32_t jump(uint32_t s) const { return jumps_[s]; }

  // Target of s on code point c, or -1. Root edges on ASCII go through the root table, other
  // root edges through the root's sorted run.
  int32_t find_edge(uint32_t s, uint32_t c) const {
    if (s == kRoot) {
      if (c < 128) return root_table_[c];
      return find_in_run(s, c);
    }
    const StateRecord& r = states_[s];
    if (c == r.c0) return static_cast<int32_t>(r.t0);
    if (c == r.c1) return static_cast<int32_t>(r.t1);
    if (r.hi == r.lo) return -1;
    return find_in_run(s, c);
  }

  // Largest end position of state s that is <= bound, or kNoEnd.
  uint32_t largest_end_at_most(uint32_t s, uint32_t bound) const;
  // Smallest end position of state s that is >= bound, or kNoEnd.
  uint32_t smallest_end_at_least(uint32_t s, uint32_t bound) const;

  // The state reached from the root by reading s, or -1 when s does not occur in b.
  int32_t walk(std::span<const uint32_t> s) const;

 private:
  friend void build_match_index_into(std::span<const uint32_t> b, MatchIndex& ix);
  int32_t find_in_run(uint32_t s, uint32_t c) const;

  // Rebuilt in place, the arrays keep their largest size: length_ and state_count_ say how much
  // of them the current string uses.
  uint32_t length_ = 0;
  uint32_t state_count_ = 0;
  bool has_sorted_ = false;
  std::vector<uint64_t> edges_;  // (code point << 32) | target, the runs of the states
  std::array<int32_t, 128> root_table_{};
  std::vector<StateRecord> states_;
  std::vector<int32_t> prefix_states_;  // state of b[0..i]
  std::vector<uint32_t> end_positions_;
  std::vector<PositionRecord> positions_;
  std::vector<uint32_t> sorted_ends_;  // ascending copies of the slices of the large states
  detail::WaveletMatrix ends_tree_;    // over end_positions_, when the sorted copies would be too big
  std::vector<uint32_t> jumps_;
};

// Builds the index of b. Uses the calling thread's automaton builder (a nested build on one
// thread is an internal failure); the result does not refer to it.
MatchIndex build_match_index(std::span<const uint32_t> b);

// Same, replacing the contents of ix and reusing its storage: an index rebuilt for string after
// string (one comparison at a time) allocates and clears memory only when it grows.
void build_match_index_into(std::span<const uint32_t> b, MatchIndex& ix);

}  // namespace simsieve
