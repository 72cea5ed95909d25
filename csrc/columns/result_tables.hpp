// The record-batch forms of the module's list results: clusters as one row per member
// (cluster id, member index, minimum ratio of the cluster), join pairs as (j, i, cos) and search
// pairs as (query, choice, score).
#pragma once

#include <memory>
#include <vector>

#include "cluster/cluster_types.hpp"
#include "columns/export.hpp"
#include "search/search.hpp"
#include "simjoin/cosine_join.hpp"

namespace simsieve::columns {

// Columns "cluster" (int64, the cluster's position in the result), "member" (int64, the
// member's input index) and "min_ratio" (float64), in result order and member order.
std::shared_ptr<const OutputTable> clusters_table(const std::vector<Cluster>& clusters);
// Columns "j" and "i" (int64) and "cos" (float64), in result order.
std::shared_ptr<const OutputTable> join_pairs_table(const std::vector<JoinPair>& pairs);
// Columns "query" and "choice" (int64, input positions) and "score" (float64), in result order.
std::shared_ptr<const OutputTable> search_pairs_table(const std::vector<SearchPair>& pairs);

}  // namespace simsieve::columns
