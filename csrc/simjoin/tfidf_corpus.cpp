// Corpus build: vocabulary and document frequencies, idf, term weights by repeated addition,
// normalisation, maximum weights, feature ranking and the ranked rows.
#include "simjoin/tfidf_corpus.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <utility>

#include "simjoin/token_vocabulary.hpp"

namespace simsieve {

namespace detail {

uint64_t random_hash_key() noexcept {
  uint64_t key = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  try {
    std::random_device device;
    key ^= (static_cast<uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    // No entropy source: the clock alone will do, the key only spreads the table.
  }
  return key;
}

}  // namespace detail

namespace {

constexpr uint32_t kNoDocument = UINT32_MAX;

// Feature ids of every token occurrence, document by document, plus the vocabulary statistics.
struct TokenIds {
  std::vector<uint64_t> offsets;  // n_docs + 1
  std::vector<uint32_t> ids;      // one per token occurrence, in token order
  std::vector<uint32_t> doc_freq;  // per feature id
};

TokenIds assign_feature_ids(std::span<const TokenDocument> docs) {
  TokenIds out;
  size_t total = 0;
  for (const auto& doc : docs) total += doc.size();
  out.offsets.reserve(docs.size() + 1);
  out.offsets.push_back(0);
  out.ids.reserve(total);

  detail::TokenVocabulary vocabulary;
  // last_doc[id] is the last document that counted towards df[id]: the per-document set of ids.
  std::vector<uint32_t> last_doc;
  for (size_t d = 0; d < docs.size(); ++d) {
    const auto doc_no = static_cast<uint32_t>(d);
    for (const std::string& token : docs[d]) {
      bool inserted = false;
      const uint32_t id = vocabulary.find_or_insert(token, inserted);
      if (inserted) {
        out.doc_freq.push_back(0);
        last_doc.push_back(kNoDocument);
      }
      out.ids.push_back(id);
      if (last_doc[id] != doc_no) {
        last_doc[id] = doc_no;
        ++out.doc_freq[id];
      }
    }
    out.offsets.push_back(out.ids.size());
  }
  return out;
}

}  // namespace

TfIdfCorpus build_tfidf_corpus(std::span<const TokenDocument> docs) {
  TfIdfCorpus corpus;
  const size_t n_docs = docs.size();
  corpus.n_docs = n_docs;
  corpus.row_offsets.assign(1, 0);
  corpus.row_offsets.reserve(n_docs + 1);

  TokenIds tokens = assign_feature_ids(docs);
  const size_t n_ids = tokens.doc_freq.size();

  // Inverse document frequency, unsmoothed: ln(N / max(df, 1)).
  std::vector<double> idf(n_ids);
  for (size_t id = 0; id < n_ids; ++id) {
    idf[id] = detail::inverse_document_frequency(n_docs, tokens.doc_freq[id]);
  }
  std::vector<uint32_t>().swap(tokens.doc_freq);

  // Term weights and normalisation. The per-document weight map is a dense slot per id, valid
  // while owner[id] == d; `distinct` lists the document's ids in order of first occurrence, which
  // is also the order in which the squares are summed.
  std::vector<double> weight(n_ids, 0.0);
  std::vector<uint32_t> owner(n_ids, kNoDocument);
  std::vector<uint32_t> distinct;
  std::vector<uint32_t> entry_ids;  // becomes the ranks
  std::vector<double>& entry_weights = corpus.weights;
  entry_ids.reserve(tokens.ids.size());
  entry_weights.reserve(tokens.ids.size());
  for (size_t d = 0; d < n_docs; ++d) {
    const auto doc_no = static_cast<uint32_t>(d);
    distinct.clear();
    for (uint64_t p = tokens.offsets[d]; p < tokens.offsets[d + 1]; ++p) {
      const uint32_t id = tokens.ids[p];
      if (owner[id] != doc_no) {
        owner[id] = doc_no;
        weight[id] = 0.0;
        distinct.push_back(id);
      }
      weight[id] = weight[id] + idf[id];
    }
    double s = 0.0;
    for (uint32_t id : distinct) s += weight[id] * weight[id];
    if (s > 0.0) {
      const double norm = std::sqrt(s);
      for (uint32_t id : distinct) {
        entry_ids.push_back(id);
        entry_weights.push_back(weight[id] / norm);
      }
    }
    corpus.row_offsets.push_back(entry_ids.size());
  }
  std::vector<uint32_t>().swap(tokens.ids);
  std::vector<uint32_t>().swap(owner);
  std::vector<double>().swap(idf);

  // Maximum weight per id over all rows; -1.0 marks an id that no row holds (it gets no rank).
  std::vector<double>& max_by_id = weight;
  std::fill(max_by_id.begin(), max_by_id.end(), -1.0);
  for (size_t e = 0; e < entry_ids.size(); ++e) {
    double& m = max_by_id[entry_ids[e]];
    if (m < 0.0) m = 0.0;
    if (entry_weights[e] > m) m = entry_weights[e];
  }

  // Ranks: ascending maximum weight, ties by ascending id.
  std::vector<uint32_t> ranked;
  ranked.reserve(n_ids);
  for (uint32_t id = 0; id < n_ids; ++id) {
    if (max_by_id[id] >= 0.0) ranked.push_back(id);
  }
  std::sort(ranked.begin(), ranked.end(), [&](uint32_t a, uint32_t b) {
    if (max_by_id[a] != max_by_id[b]) return max_by_id[a] < max_by_id[b];
    return a < b;
  });
  std::vector<uint32_t>& rank_of = distinct;
  rank_of.assign(n_ids, 0);
  corpus.max_weight.resize(ranked.size());
  for (size_t r = 0; r < ranked.size(); ++r) {
    rank_of[ranked[r]] = static_cast<uint32_t>(r);
    corpus.max_weight[r] = max_by_id[ranked[r]];
  }
  corpus.n_features = ranked.size();

  // Rows in rank order.
  std::vector<std::pair<uint32_t, double>> row;
  for (size_t d = 0; d < n_docs; ++d) {
    const uint64_t begin = corpus.row_offsets[d], end = corpus.row_offsets[d + 1];
    row.clear();
    for (uint64_t e = begin; e < end; ++e) row.emplace_back(rank_of[entry_ids[e]], entry_weights[e]);
    std::sort(row.begin(), row.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (uint64_t e = begin; e < end; ++e) {
      entry_ids[e] = row[e - begin].first;
      entry_weights[e] = row[e - begin].second;
    }
  }
  corpus.feature_ranks = std::move(entry_ids);

  // Probe order: rows holding the rank, descending; ties by rank.
  const size_t n_features = ranked.size();
  std::vector<uint32_t> holders(n_features, 0);
  for (uint32_t r : corpus.feature_ranks) ++holders[r];
  std::vector<uint32_t>& by_holders = ranked;
  for (uint32_t r = 0; r < n_features; ++r) by_holders[r] = r;
  std::sort(by_holders.begin(), by_holders.end(), [&](uint32_t a, uint32_t b) {
    if (holders[a] != holders[b]) return holders[a] > holders[b];
    return a < b;
  });
  std::vector<uint32_t>& probe_of = holders;
  corpus.probe_max_weight.resize(n_features);
  for (uint32_t q = 0; q < n_features; ++q) {
    probe_of[by_holders[q]] = q;
    corpus.probe_max_weight[q] = corpus.max_weight[by_holders[q]];
  }
  corpus.probe_features.resize(corpus.feature_ranks.size());
  corpus.probe_weights.resize(corpus.weights.size());
  for (size_t d = 0; d < n_docs; ++d) {
    const uint64_t begin = corpus.row_offsets[d], end = corpus.row_offsets[d + 1];
    row.clear();
    for (uint64_t e = begin; e < end; ++e) row.emplace_back(probe_of[corpus.feature_ranks[e]], corpus.weights[e]);
    std::sort(row.begin(), row.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (uint64_t e = begin; e < end; ++e) {
      corpus.probe_features[e] = row[e - begin].first;
      corpus.probe_weights[e] = row[e - begin].second;
    }
  }
  return corpus;
}

}  // namespace simsieve
