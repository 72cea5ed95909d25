// Turning the edges of a clustering pipeline into single-linkage clusters, each with the exact
// minimum gestalt ratio over all pairs of its members.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cluster/cluster_types.hpp"
#include "cluster/lazy_match_index.hpp"

namespace simsieve {

// One member pair of a cluster (a < b) whose ratio is still unknown; bound is its histogram bound.
struct MinRatioTask {
  double bound = 0.0;
  uint32_t cluster = 0;
  uint32_t a = 0;
  uint32_t b = 0;
};

// The clusters (two or more members) of the graph on n canonicals formed by `edges`, ordered by
// their smallest member. `slots` is the index table of the same canonicals; indexes that are still
// missing are built as needed. Parallel steps run on the caller's pool.
std::vector<Cluster> form_clusters(uint64_t n, std::span<const ClusterEdge> edges,
                                   std::span<const CodepointView> canonicals, MatchIndexTable& slots);

// Above this many pending pair comparisons, cluster formation enumerates them in chunks of this
// size instead of all at once, so that its memory stays bounded for very large clusters.
inline constexpr size_t MIN_RATIO_TASK_CHUNK = size_t{1} << 22;

namespace detail {
// form_clusters with the chunk size as a parameter (tests use tiny chunks).
std::vector<Cluster> form_clusters_chunked(uint64_t n, std::span<const ClusterEdge> edges,
                                           std::span<const CodepointView> canonicals, MatchIndexTable& slots,
                                           size_t task_chunk);
}  // namespace detail

// Compares the task's pair and lowers its cluster's minimum (the bit pattern of a double in
// minima[task.cluster]) when the pair's ratio is below it.
void lower_cluster_min(const MinRatioTask& task, std::span<const CodepointView> canonicals, MatchIndexTable& slots,
                       std::span<std::atomic<uint64_t>> minima);

}  // namespace simsieve
