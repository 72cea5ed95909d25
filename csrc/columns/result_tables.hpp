// The record-batch forms of the module's list results: clusters as one row per member
// (cluster id, member index, minimum ratio of the cluster) and join pairs as (j, i, cos).
#pragma once

#include <memory>
#include <vector>

#include "cluster/cluster_types.hpp"
#include "columns/export.hpp"
#include "simjoin/cosine_join.hpp"

namespace simsieve::columns {

// Columns "cluster" (int64, the cluster's position in the result), "member" (int64, the
// member's input index) and "min_ratio" (float64), in result order and member order.
std::shared_ptr<const OutputTable> clusters_table(const std::vector<Cluster>& clusters);
// Columns "j" and "i" (int64) and "cos" (float64), in result order.
std::shared_ptr<const OutputTable> join_pairs_table(const std::vector<JoinPair>& pairs);

}  // namespace simsieve::columns
