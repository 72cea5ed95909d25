// The exact minimum gestalt ratio over all pairs of one block of canonicals (the members of a
// cluster, or any set of strings), without comparing every pair the slow way. With a running
// minimum r, a pair only matters when its ratio is below r, that is when its matched characters M
// stay below L = floor(r * (la + lb) / 2) + 1. Pairs likely to be low (by a rough character-class
// bound) are compared first, so that r drops early; then cheap exact facts settle "M >= L" (a
// shared character when L = 1, a common run of L characters: in large blocks from an index of
// every member's short runs, 64 members a word operation, otherwise found bit-parallel), two
// strings that share no character at all have ratio 0, which ends the search, and the pairs left
// are counted by the gestalt recursion over byte run lengths when short, by capped_ratio otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "cluster/cluster_types.hpp"
#include "cluster/lazy_match_index.hpp"
#include "pool/phase_progress.hpp"

namespace simsieve {

// A member pair whose ratio is already known (i < j, canonical indices).
struct KnownPair {
  uint64_t i, j;
};

// One block: canonical indices in ascending order (pairs are compared lower index first, as the
// clustering pipelines orient them), optionally the distinct-string id of each member (pairs of
// one string are skipped: their ratio is 1.0) and the pairs to skip because their ratio is known
// (sorted by (i, j)).
struct MinimumBlock {
  std::span<const uint32_t> members;
  std::span<const uint32_t> string_of;
  std::span<const KnownPair> known;
};

// The exact ratio of canonicals a (scanned) and b (indexed) when it is below r, or 2.0 once "not
// below r" is certain from a common prefix or suffix; b's index is taken from `slots` only when
// the ratio has to be computed.
double ratio_below(std::span<const CodepointView> canonicals, MatchIndexTable& slots, size_t a, size_t b, double r);

// min(start, minimum ratio over the block's pairs that are not skipped). `slots` indexes the
// canonicals the members name. With `parallel`, the pairs are spread over the caller's pool;
// `progress` (may be null) counts the pairs settled. The result does not depend on either.
double block_minimum(const MinimumBlock& block, std::span<const CodepointView> canonicals, MatchIndexTable& slots,
                     double start, bool parallel, PhaseCounter* progress);

}  // namespace simsieve
