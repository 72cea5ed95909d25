// The Python result of a clustering, shared by every entry point that returns clusters: a list
// of (list of member indices, minimum pairwise ratio) tuples, in the clusters' order.
#pragma once

#include <vector>

#include "cluster/cluster_types.hpp"
#include "python/build.hpp"

namespace simsieve::py {

inline Ref clusters_to_py(const std::vector<Cluster>& clusters) {
  return to_py_list(clusters, [](const Cluster& c) { return to_py_tuple(to_py_list(c.members), to_py(c.min_ratio)); });
}

}  // namespace simsieve::py
