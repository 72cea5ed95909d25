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

// The clusters (two or more members) of the graph on n canonicals formed by `edges`, ordered by
// their smallest member. `slots` is the index table of the same canonicals; indexes that are still
// missing are built as needed. Parallel steps run on the caller's pool.
std::vector<Cluster> form_clusters(uint64_t n, std::span<const ClusterEdge> edges,
                                   std::span<const CodepointView> canonicals, MatchIndexTable& slots);

// Clusters with more member pairs than this have their minimum searched by all workers together;
// smaller ones go one to a worker.
inline constexpr size_t MIN_RATIO_PARALLEL_PAIRS = size_t{1} << 14;

namespace detail {
// form_clusters with the size of the clusters searched by all workers together as a parameter
// (tests use tiny sizes).
std::vector<Cluster> form_clusters_chunked(uint64_t n, std::span<const ClusterEdge> edges,
                                           std::span<const CodepointView> canonicals, MatchIndexTable& slots,
                                           size_t parallel_pairs);
}  // namespace detail

}  // namespace simsieve
