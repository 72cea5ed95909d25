// Character histograms of canonicals and the two cheap upper bounds of the gestalt ratio that the
// clustering pipelines prune with: the length bound and the histogram (character overlap) bound.
#pragma once

#include <cstdint>
#include <vector>

#include "cluster/cluster_types.hpp"

namespace simsieve {

struct CharCount {
  uint32_t code_point;
  uint32_t count;
};

// Every code point of one canonical with its number of occurrences, ascending by code point.
// `length` is the canonical's length in code points (the sum of the counts).
struct CharHistogram {
  std::vector<CharCount> counts;
  uint32_t length = 0;
};

CharHistogram char_histogram(CodepointView text);

// Sum over shared code points of the smaller count: no alignment of the two strings can match more
// characters than this.
uint32_t histogram_overlap(const CharHistogram& x, const CharHistogram& y);

// 2 * overlap / (la + lb): 1.0 for two empty canonicals, 0.0 when exactly one is empty.
double histogram_bound(const CharHistogram& x, const CharHistogram& y);

// 2 * min(la, lb) / (la + lb), 1.0 when both are empty. Never below histogram_bound.
inline double length_bound(uint64_t la, uint64_t lb) {
  if (la + lb == 0) return 1.0;
  return (static_cast<double>(la < lb ? la : lb) * 2.0) / static_cast<double>(la + lb);
}

// The overlap bound turned into a ratio bound for known lengths.
inline double overlap_bound(uint32_t overlap, uint64_t la, uint64_t lb) {
  if (la + lb == 0) return 1.0;
  if (la == 0 || lb == 0) return 0.0;
  return (static_cast<double>(overlap) * 2.0) / static_cast<double>(la + lb);
}

}  // namespace simsieve
