// The records that the clustering pipelines hand to each other: an edge (a pair known to reach the
// threshold), a finished cluster, and the code point view of one canonical.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace simsieve {

// One canonical as the clustering code sees it: its Unicode code points.
using CodepointView = std::span<const uint32_t>;

// A pair of canonicals (i < j) whose ratio reaches the clustering threshold. known_ratio is set
// only when the producer already computed the pair's exact ratio, which saves a comparison later.
struct ClusterEdge {
  uint64_t i = 0;
  uint64_t j = 0;
  std::optional<double> known_ratio;
};

// A cluster of two or more canonicals: member indices ascending, and the exact minimum ratio over
// all pairs of members.
struct Cluster {
  std::vector<uint64_t> members;
  double min_ratio = 1.0;
};

// Views over owned code point vectors (the views borrow from `owned`).
inline std::vector<CodepointView> codepoint_views(const std::vector<std::vector<uint32_t>>& owned) {
  return {owned.begin(), owned.end()};
}

}  // namespace simsieve
