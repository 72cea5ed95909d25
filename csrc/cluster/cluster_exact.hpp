// Exact single-linkage clustering of canonicals at a ratio threshold: pairs pruned by the length
// and character-histogram bounds (screened by group counts first), the survivors tested best-bound
// first in batches, skipping pairs whose canonicals are already connected (past a memory budget the
// scan hands its candidates over in parts and skips connected pairs itself); then cluster
// formation with exact minimum ratios.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "cluster/cluster_types.hpp"

namespace simsieve {

// Largest number of ranked pairs taken into one batch of the edge search.
inline constexpr size_t EDGE_BATCH_MAX = 2048;

// Steps with fewer items than this run on the calling thread.
inline constexpr size_t CLUSTER_PARALLEL_MIN = 32;

// Clusters of two or more canonicals whose members are chained by pairs with ratio >= threshold,
// ordered by smallest member, each with its exact minimum pairwise ratio. Any threshold is accepted
// (NaN and values <= 0 link everything). Runs on the calling thread; parallel steps go to its pool.
std::vector<Cluster> cluster_exact(std::span<const CodepointView> canonicals, double threshold);

namespace detail {
// The candidate pairs (lo, hi) the edge search ranks, ascending: every pair whose histogram bound
// reaches the threshold. `plain_scan` tests every pair of the length window directly instead of
// screening it by group counts first (the same pairs, found more slowly). `groups` (8, 16 or 32)
// sets the screen's column count instead of the estimate (0).
std::vector<std::pair<uint32_t, uint32_t>> candidate_pairs(std::span<const CodepointView> canonicals, double threshold,
                                                          bool plain_scan, size_t groups = 0);

// The order in which the edge search tests candidates: by bound, highest first, ties by lo, then
// hi. `bounds[k]` is the bound of pairs[k], which are (lo, hi).
std::vector<std::pair<uint32_t, uint32_t>> rank_order(std::span<const double> bounds,
                                                     std::span<const std::pair<uint32_t, uint32_t>> pairs,
                                                     bool parallel);

// cluster_exact with the scan handing its candidates to the edge search whenever more than `hold`
// are waiting at the end of a chunk of `chunk_probes` probes (rounded to whole tiles), instead of
// past the usual memory budget. Same clusters.
std::vector<Cluster> cluster_exact_holding(std::span<const CodepointView> canonicals, double threshold, size_t hold,
                                           size_t chunk_probes);
}  // namespace detail

}  // namespace simsieve
