// The cosine join cut into blocks of rows, for joins spread over many processes: the rows of one
// block probe the indexed suffixes of the rows of an earlier (or the same) block, with the index,
// bounds and exact dot product of the whole-corpus join, so that the union of all blocks' pairs,
// put in first-reach order, is exactly the whole-corpus result.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace simsieve {

// A block of TF-IDF rows, each with its document number in the whole corpus (ascending). Row k
// holds the entries offsets[k] .. offsets[k+1]-1 (ranks strictly ascending within a row).
struct RowBlock {
  std::span<const uint64_t> docs;
  std::span<const uint64_t> offsets;  // docs.size() + 1
  std::span<const uint32_t> ranks;
  std::span<const double> weights;
};

// One pair of a block join: documents j < i, their cosine, and the rank of the entry of row i
// through which the whole-corpus probe of row i first reaches j.
struct BlockPair {
  uint64_t j;
  uint64_t i;
  double cos;
  uint32_t reach;
};

// The pairs (j in `indexed`, i in `probe`, j < i) that the whole-corpus join reports, for the
// corpus' maximum weight per rank and threshold t; by ascending i, then reach, then j. When both
// blocks are the same block its own pairs are found; otherwise every document of `indexed`
// must come before every document of `probe`.
std::vector<BlockPair> join_row_blocks(const RowBlock& probe, const RowBlock& indexed, bool same_block,
                                       std::span<const double> max_weight, double t);

}  // namespace simsieve
