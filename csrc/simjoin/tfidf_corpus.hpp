// The TF-IDF corpus of the cosine join: one unit-length sparse row per token document, with the
// features renumbered into ranks of ascending maximum weight so that the join can index the heavy
// end of each row and bound the light end. Built once, then only read (by any number of threads).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace simsieve {

struct TfIdfCorpus {
  // Row d holds the entries row_offsets[d] .. row_offsets[d+1]-1; n_docs + 1 offsets.
  std::vector<uint64_t> row_offsets{0};
  // Per entry: the feature's rank (strictly ascending within a row) and its normalised weight.
  std::vector<uint32_t> feature_ranks;
  std::vector<double> weights;
  // Per rank: the largest weight the rank has in any row (non-decreasing in rank).
  std::vector<double> max_weight;
  uint64_t n_docs = 0;
  uint64_t n_features = 0;

  // The same rows in probe order, which the join uses to find candidates: features renumbered by
  // descending number of rows holding them (ties by rank), so that a row's rare features come
  // last and end up in the short posting lists. Same row_offsets; probe_max_weight is indexed by
  // probe number.
  std::vector<uint32_t> probe_features;
  std::vector<double> probe_weights;
  std::vector<double> probe_max_weight;

  std::span<const uint32_t> row_ranks(uint64_t d) const noexcept {
    return {feature_ranks.data() + row_offsets[d], static_cast<size_t>(row_offsets[d + 1] - row_offsets[d])};
  }
  std::span<const double> row_weights(uint64_t d) const noexcept {
    return {weights.data() + row_offsets[d], static_cast<size_t>(row_offsets[d + 1] - row_offsets[d])};
  }
  uint64_t row_size(uint64_t d) const noexcept { return row_offsets[d + 1] - row_offsets[d]; }
};

// One document: its tokens in order. Tokens are compared by their bytes only.
using TokenDocument = std::vector<std::string>;

namespace detail {

// Inverse document frequency, unsmoothed: ln(N / max(df, 1)).
inline double inverse_document_frequency(uint64_t n_docs, uint64_t doc_freq) noexcept {
  return std::log(static_cast<double>(n_docs) / static_cast<double>(std::max<uint64_t>(doc_freq, 1)));
}

// The term weight of a token that occurs `count` times: idf added up once per occurrence, in
// the order the occurrences are met (so that every build of a row gives the same bits).
inline double term_weight(uint64_t count, double idf) noexcept {
  double w = 0.0;
  for (uint64_t k = 0; k < count; ++k) w = w + idf;
  return w;
}

}  // namespace detail

// Builds the corpus of `docs` (document number = position in docs). Single-threaded; the token
// strings are only viewed, never copied, and need to live only for the duration of the call.
TfIdfCorpus build_tfidf_corpus(std::span<const TokenDocument> docs);

}  // namespace simsieve
