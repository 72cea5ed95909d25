// Exact verification of LSH candidate pairs: every candidate is decided, by two exact upper bounds
// of its match count or by the bounded ratio test, and only the pairs that reach the threshold
// survive, each with its exact ratio.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cluster/char_histogram.hpp"
#include "cluster/cluster_types.hpp"
#include "gestalt/bounded.hpp"
#include "gestalt/match_index.hpp"
#include "pool/phase_progress.hpp"

namespace simsieve {

// Whether the pair (a, b) reaches threshold t, a being the canonical with the lower index and
// `index` the match index of b, with the exact ratio when it does. Two empty canonicals are linked
// with ratio 1.0 at every threshold; one empty canonical is linked (ratio 0.0) only when the
// threshold demands no match at all.
Reach verify_pair(CodepointView a, const MatchIndex& index, CodepointView b, double t);

// False only when the pair (a, b) cannot reach threshold t in either orientation: its need is
// above the shorter length, the character overlap or the longest common subsequence, three upper
// bounds of the match count.
// A pair with an empty string is left to verify_pair.
bool may_reach(CodepointView a, const CharHistogram& ha, CodepointView b, const CharHistogram& hb, double t);

// The candidates (keys (s << 32) | t) that may_reach keeps, in their order. The others have no
// edge, so dropping them before the match indexes are built changes nothing but the cost.
std::vector<uint64_t> plausible_candidates(std::span<const uint64_t> candidates, std::span<const CodepointView> text,
                                           std::span<const CharHistogram> histogram, double threshold);

// The distinct strings that candidate pairs are formed over. A string stands for all its
// byte-identical copies in the input: `first` and `last` are the positions of its first and last
// copy. Strings are numbered by first position.
struct DistinctStrings {
  std::span<const CodepointView> text;  // decoded for every string in a candidate pair
  std::span<const uint32_t> first;
  std::span<const uint32_t> last;
};

// The verdict of one candidate pair of distinct strings s < t. Copies of s and t meet in two
// orientations: a copy of s before a copy of t (`forward`: s is compared against t's index), which
// always occurs, and a copy of t before a copy of s (`backward`), which occurs only when the first
// copy of t precedes the last copy of s. A side that does not occur is never linked.
struct PairVerdict {
  uint32_t s = 0, t = 0;
  bool forward = false, backward = false;
  double forward_ratio = 0.0, backward_ratio = 0.0;
};

// The verdicts of every candidate pair (keys (s << 32) | t) that links in at least one
// orientation, in key order. Runs in parallel on the caller's pool; the match indexes it compares
// against are built as it goes and not kept.
std::vector<PairVerdict> verify_candidates(std::span<const uint64_t> candidates, const DistinctStrings& strings,
                                           double threshold, PhaseCounter* progress = nullptr);

}  // namespace simsieve
