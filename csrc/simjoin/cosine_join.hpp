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
//
// The result is defined by the rank-order index (JoinIndex, probe_row below): a pair is reported
// when the probe of row i reaches j through j's indexed suffix, both bounds keep it and its
// merged dot product reaches t; within a row, pairs come in the order of their first reach.
// join_corpus finds the same pairs, with the same cosines and in the same order, through a
// second index over the probe-order rows, whose posting lists hold only each row's rarest
// features (ProbeIndex, probe_row_fast): every pair it could miss has a dot product below
// t - BOUND_SLACK, and each candidate is then decided by the rank-order rules.
std::vector<JoinPair> join_corpus(const TfIdfCorpus& corpus, double t);

// The rank-order search run directly (every row probes the rank-order postings). Same result as
// join_corpus; kept to check it against.
std::vector<JoinPair> join_corpus_direct(const TfIdfCorpus& corpus, double t);

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

// Candidate index over the probe-order rows: a row's prefix stays unindexed while both
// sum(w * probe_max_weight) and the prefix's norm stay below t - BOUND_SLACK. `ranked` holds the
// rank-order prefix records that decide each candidate.
struct ProbeIndex {
  JoinIndex ranked;  // prefixes only: no rank-order postings
  std::vector<uint64_t> posting_offsets;  // n_features + 1, by probe number
  std::vector<Posting> postings;
  std::vector<IndexPrefix> prefixes;  // probe-order prefix of every row
};

ProbeIndex build_probe_index(const TfIdfCorpus& corpus, double t);

// A kept pair before ordering: its first reach is at rank `reach` of row i.
struct RowHit {
  uint32_t reach;
  uint32_t j;
  double cos;
};

struct ProbeScratch {
  JoinScratch base;
  std::vector<double> rank_norms;  // prefix norms of x in rank order
  std::vector<RowHit> hits;

  explicit ProbeScratch(uint64_t n_docs) : base(n_docs) {}
};

// Same output as probe_row on index.ranked with full postings.
void probe_row_fast(uint64_t i, const ProbeIndex& index, ProbeScratch& scratch);

}  // namespace detail

}  // namespace simsieve
