// Single-linkage clustering of canonicals through MinHash/LSH: canonicals whose signatures agree
// on a whole band become candidate pairs, every candidate pair is compared exactly, and the pairs
// that reach the threshold form the clusters, each with its exact minimum pairwise ratio.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cluster/cluster_types.hpp"

namespace simsieve {

// What the MinHash tables of one call would occupy, checked before anything is allocated.
struct LshTableSize {
  enum class Verdict { fits, overflows, exceeds_memory };
  Verdict verdict = Verdict::fits;
  uint64_t bytes = 0;   // the estimate (meaningless when it overflows)
  uint64_t memory = 0;  // physical memory of the machine, 0 when unknown
};

// The memory the permutation table and the band hashes of n canonicals take for
// num_perm and band_rows, compared with the machine's physical memory.
LshTableSize lsh_table_size(uint64_t n, uint64_t num_perm, uint64_t band_rows);

// The clusters (two or more members, ordered by smallest member, members ascending) of the graph
// whose edges are the candidate pairs (canonicals sharing a band bucket) whose ratio reaches
// `threshold`, with each cluster's exact minimum ratio over all member pairs. Any threshold is
// accepted; band_rows = 0 or band_rows > num_perm give no bands and no clusters. Runs on the
// calling thread; parallel steps go to its pool. Writes the three LSH progress lines when
// SIMSIEVE_PROGRESS is set.
// The canonicals are read in place (views into a column or into owned strings, valid UTF-8).
std::vector<Cluster> cluster_lsh(std::span<const std::string_view> canonicals, double threshold, uint64_t num_perm,
                                 uint64_t band_rows);
std::vector<Cluster> cluster_lsh(std::span<const std::string> canonicals, double threshold, uint64_t num_perm,
                                 uint64_t band_rows);

}  // namespace simsieve
