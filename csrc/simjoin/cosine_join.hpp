// The exact all-pairs cosine join over a TF-IDF corpus: every pair of rows whose dot product
// reaches a threshold, found through a partial inverted index (only the heavy suffix of each row
// is indexed), pruned by Cauchy-Schwarz bounds and verified by an exact sparse dot product.
#pragma once

#include <cstdint>
#include <vector>

#include "simjoin/tfidf_corpus.hpp"

namespace simsieve {

// One result: documents j < i with cosine cos >= the threshold.
struct JoinPair {
  uint64_t j;
  uint64_t i;
  double cos;
};

// Slack subtracted from the threshold in the pruning bounds (never in the final test).
inline constexpr double BOUND_SLACK = 1e-9;
// Rows with fewer entries skip the cheap bound.
inline constexpr uint64_t EARLY_BOUND_MIN_ENTRIES = 24;
// Smallest number of rows a parallel piece of the probe phase is split down to.
inline constexpr uint64_t JOIN_MIN_ROWS_PER_PIECE = 256;

// All pairs with cosine >= t, in ascending i and, within one i, in the order their j was first
// reached by the probe. Runs its parallel phase on the current worker pool. A NaN t gives nothing.
std::vector<JoinPair> join_corpus(const TfIdfCorpus& corpus, double t);

namespace detail {

struct Posting {
  uint32_t doc;
  double weight;
};

// Per document: the norm of its unindexed prefix, the rank of its first indexed entry (-1 when
// nothing of the row is indexed) and the number of entries in the prefix.
struct IndexPrefix {
  double prefix_norm = 0.0;
  int32_t boundary = -1;
  uint32_t prefix_len = 0;
};

// The threshold-dependent index of one join: posting lists by rank (ascending document number)
// and the prefix record of every row. Read-only once built.
struct JoinIndex {
  const TfIdfCorpus* corpus = nullptr;
  double threshold = 0.0;
  std::vector<uint64_t> posting_offsets;  // n_features + 1
  std::vector<Posting> postings;
  std::vector<IndexPrefix> prefixes;  // n_docs
};

JoinIndex build_join_index(const TfIdfCorpus& corpus, double t);

// Private working area of one piece of rows. The accumulator is all -1.0 ("not touched by the
// current row") between rows.
struct JoinScratch {
  std::vector<double> acc;
  std::vector<uint32_t> touched;
  std::vector<double> prefix_norms;
  std::vector<JoinPair> out;

  explicit JoinScratch(uint64_t n_docs);
};

// Appends the pairs (j, i, cos) with j < i of row i to scratch.out.
void probe_row(uint64_t i, const JoinIndex& index, JoinScratch& scratch);

// The pairs of rows begin .. end-1, in row order, with a scratch of their own.
std::vector<JoinPair> probe_rows(const JoinIndex& index, uint64_t begin, uint64_t end);

}  // namespace detail

}  // namespace simsieve
