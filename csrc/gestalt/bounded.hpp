// Exact early-exit threshold tests and a capped ratio on a prepared match index. They run the
// same matching-block recursion as count_matches (same search, same tie-breaks, same per-thread
// scratch), only in a different order and with exits taken as soon as the answer is certain.
#pragma once

#include <cstdint>
#include <span>

#include "gestalt/match_index.hpp"

namespace simsieve {

// The lengths of the common prefix of a and b, and of their common suffix that does not overlap
// it. Each is a common run, so the longest matching block is at least as long as either.
struct CommonEnds {
  uint64_t prefix = 0, suffix = 0;
};
CommonEnds common_ends(std::span<const uint32_t> a, std::span<const uint32_t> b);

// The match count a ratio of at least t demands: ceil(t * total * 0.5) in doubles, saturated to
// 64 bits unsigned (negative or NaN gives 0). ratio >= t exactly when M >= need_for(t, total).
uint64_t need_for(double t, uint64_t total_len);

struct Reach {
  bool reached;
  double ratio;  // exact 2M / (la + lb) when reached
};

// Whether the ratio of (a, b) is at least t, with the exact ratio when it is.
Reach ratio_reaches(std::span<const uint32_t> a, const MatchIndex& index, std::span<const uint32_t> b, double t);

// The same answer, without the ratio: quick accepts on a common prefix, suffix or substring,
// then the largest sub-problems first.
bool ratio_reaches_fast(std::span<const uint32_t> a, const MatchIndex& index, std::span<const uint32_t> b, double t);

// The exact ratio when M < limit; 2.0 as soon as M >= limit is certain. For a running minimum r,
// limit = floor(r * (la + lb) * 0.5) + 1 makes 2.0 mean "not below r".
double capped_ratio(std::span<const uint32_t> a, const MatchIndex& index, std::span<const uint32_t> b, uint64_t limit);

}  // namespace simsieve
