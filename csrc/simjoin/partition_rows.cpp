#include "simjoin/partition_rows.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/internal_error.hpp"
#include "simjoin/token_vocabulary.hpp"

namespace simsieve {

PartitionTokens count_partition_tokens(std::span<const TokenDocument> docs) {
  PartitionTokens out;
  out.offsets.reserve(docs.size() + 1);
  detail::TokenVocabulary vocabulary;  // views into docs, copied into out.tokens on insertion
  // slot[id] is the entry of id in the current document while owner[id] is that document.
  std::vector<uint32_t> owner;
  std::vector<uint64_t> slot;
  for (size_t d = 0; d < docs.size(); ++d) {
    const auto doc_no = static_cast<uint32_t>(d);
    for (const std::string& token : docs[d]) {
      bool inserted = false;
      const uint32_t id = vocabulary.find_or_insert(token, inserted);
      if (inserted) {
        out.tokens.push_back(token);
        out.doc_freq.push_back(0);
        owner.push_back(UINT32_MAX);
        slot.push_back(0);
      }
      if (owner[id] != doc_no) {
        owner[id] = doc_no;
        ++out.doc_freq[id];
        slot[id] = out.ids.size();
        out.ids.push_back(id);
        out.counts.push_back(0);
      }
      ++out.counts[slot[id]];
    }
    out.offsets.push_back(out.ids.size());
  }
  return out;
}

WeighedRows weigh_partition_rows(std::span<const uint64_t> offsets, std::span<const uint32_t> ids,
                                 std::span<const uint32_t> counts, std::span<const uint64_t> doc_freq,
                                 uint64_t n_docs) {
  ensure(!offsets.empty() && offsets.back() <= ids.size() && ids.size() == counts.size(),
         "partition rows out of range");
  WeighedRows out;
  out.offsets.reserve(offsets.size());
  out.max_weight.assign(doc_freq.size(), -1.0);
  std::vector<double> idf(doc_freq.size());
  for (size_t id = 0; id < doc_freq.size(); ++id) idf[id] = detail::inverse_document_frequency(n_docs, doc_freq[id]);
  std::vector<double> row;
  for (size_t k = 0; k + 1 < offsets.size(); ++k) {
    ensure(offsets[k] <= offsets[k + 1], "partition row offsets not ascending");
    const auto entries_ids = ids.subspan(offsets[k], offsets[k + 1] - offsets[k]);
    const auto entries_counts = counts.subspan(offsets[k], offsets[k + 1] - offsets[k]);
    row.clear();
    double s = 0.0;
    for (size_t e = 0; e < entries_ids.size(); ++e) {
      ensure(entries_ids[e] < idf.size(), "partition row token out of range");
      row.push_back(detail::term_weight(entries_counts[e], idf[entries_ids[e]]));
    }
    for (double w : row) s += w * w;
    if (s > 0.0) {
      const double norm = std::sqrt(s);
      for (size_t e = 0; e < row.size(); ++e) {
        const double w = row[e] / norm;
        double& m = out.max_weight[entries_ids[e]];
        if (m < 0.0) m = 0.0;
        if (w > m) m = w;
        out.ids.push_back(entries_ids[e]);
        out.weights.push_back(w);
      }
    }
    out.offsets.push_back(out.ids.size());
  }
  return out;
}

RankedRows rank_partition_rows(std::span<const uint64_t> offsets, std::span<const uint32_t> ids,
                               std::span<const double> weights, std::span<const uint32_t> rank) {
  ensure(!offsets.empty() && offsets.back() <= ids.size() && ids.size() == weights.size(),
         "partition rows out of range");
  RankedRows out;
  out.ranks.resize(offsets.back());
  out.weights.resize(offsets.back());
  std::vector<std::pair<uint32_t, double>> row;
  for (size_t k = 0; k + 1 < offsets.size(); ++k) {
    ensure(offsets[k] <= offsets[k + 1], "partition row offsets not ascending");
    row.clear();
    for (uint64_t e = offsets[k]; e < offsets[k + 1]; ++e) {
      ensure(ids[e] < rank.size(), "partition row token out of range");
      row.emplace_back(rank[ids[e]], weights[e]);
    }
    std::sort(row.begin(), row.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t e = 0; e < row.size(); ++e) {
      out.ranks[offsets[k] + e] = row[e].first;
      out.weights[offsets[k] + e] = row[e].second;
    }
  }
  return out;
}

}  // namespace simsieve
