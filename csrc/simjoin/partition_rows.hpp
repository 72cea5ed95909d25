// The TF-IDF rows of one partition of a corpus that is spread over many processes, built in the
// three passes a distributed cosine join makes (counting, weighing, ranking), with the weights,
// bit for bit, and the row order of the whole-corpus build (tfidf_corpus.hpp). Between the passes
// the caller merges what every partition reports: document frequencies before the weighing, the
// largest weight of each feature before the ranking. Tokens are numbered locally (0, 1, ... in
// order of first occurrence within the partition); the caller maps them to global features.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "simjoin/tfidf_corpus.hpp"

namespace simsieve {

// Pass 1: the distinct tokens of a partition and its documents as local token numbers.
struct PartitionTokens {
  std::vector<std::string> tokens;   // by local number: order of first occurrence
  std::vector<uint32_t> doc_freq;    // by local number: documents of the partition holding it
  std::vector<uint64_t> offsets{0};  // n_docs + 1, into ids / counts
  std::vector<uint32_t> ids;         // each document's distinct local numbers, first occurrence first
  std::vector<uint32_t> counts;      // occurrences of each of them in the document
};

PartitionTokens count_partition_tokens(std::span<const TokenDocument> docs);

// Pass 2: unit-length rows. Row k holds the entries offsets[k] .. offsets[k+1]-1, in order of
// first occurrence; a document whose weights are all zero gets an empty row.
struct WeighedRows {
  std::vector<uint64_t> offsets{0};
  std::vector<uint32_t> ids;
  std::vector<double> weights;
  std::vector<double> max_weight;  // by local number: largest weight in a row, -1.0 if no row holds it
};

// `doc_freq[id]` is the document frequency of local token id in the whole corpus of `n_docs`
// documents. The inputs must be consistent (offsets ascending, ids below doc_freq.size()).
WeighedRows weigh_partition_rows(std::span<const uint64_t> offsets, std::span<const uint32_t> ids,
                                 std::span<const uint32_t> counts, std::span<const uint64_t> doc_freq,
                                 uint64_t n_docs);

// Pass 3: the rows with every local number replaced by its feature's rank (`rank[id]`), entries
// sorted by rank. Same offsets.
struct RankedRows {
  std::vector<uint32_t> ranks;
  std::vector<double> weights;
};

RankedRows rank_partition_rows(std::span<const uint64_t> offsets, std::span<const uint32_t> ids,
                               std::span<const double> weights, std::span<const uint32_t> rank);

}  // namespace simsieve
