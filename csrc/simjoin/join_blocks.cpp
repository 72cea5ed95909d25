#include "simjoin/join_blocks.hpp"

#include <algorithm>
#include <cmath>

#include "common/internal_error.hpp"
#include "pool/parallel.hpp"
#include "simjoin/cosine_join.hpp"
#include "simjoin/tfidf_corpus.hpp"

namespace simsieve {
namespace {

void append_rows(TfIdfCorpus& corpus, const RowBlock& block, uint64_t n_features) {
  ensure(block.offsets.size() == block.docs.size() + 1, "row block offsets do not match its documents");
  ensure(block.offsets.back() <= block.ranks.size() && block.ranks.size() == block.weights.size(),
         "row block entries out of range");
  for (size_t k = 0; k < block.docs.size(); ++k) {
    ensure(block.offsets[k] <= block.offsets[k + 1], "row block offsets not ascending");
    for (uint64_t e = block.offsets[k]; e < block.offsets[k + 1]; ++e) {
      ensure(block.ranks[e] < n_features, "row block rank out of range");
      ensure(e == block.offsets[k] || block.ranks[e - 1] < block.ranks[e], "row ranks not ascending");
      corpus.feature_ranks.push_back(block.ranks[e]);
      corpus.weights.push_back(block.weights[e]);
    }
    corpus.row_offsets.push_back(corpus.feature_ranks.size());
    if (k > 0) ensure(block.docs[k - 1] < block.docs[k], "row block documents not ascending");
  }
  corpus.n_docs += block.docs.size();
}

// The rank through which the probe of x first reaches d: the smallest rank x shares with d's
// indexed suffix.
uint32_t first_reach(std::span<const uint32_t> x, std::span<const uint32_t> suffix) {
  size_t a = 0, b = 0;
  while (a < x.size() && b < suffix.size()) {
    if (x[a] == suffix[b]) return x[a];
    if (x[a] < suffix[b])
      ++a;
    else
      ++b;
  }
  ensure(false, "a joined pair shares no indexed rank");
  return 0;
}

}  // namespace

std::vector<BlockPair> join_row_blocks(const RowBlock& probe, const RowBlock& indexed, bool same_block,
                                       std::span<const double> max_weight, double t) {
  if (std::isnan(t)) return {};
  // A local corpus: the indexed rows, then (for two blocks) the probe rows.
  TfIdfCorpus corpus;
  corpus.max_weight.assign(max_weight.begin(), max_weight.end());
  corpus.n_features = max_weight.size();
  append_rows(corpus, indexed, corpus.n_features);
  const uint64_t n_indexed = corpus.n_docs;
  uint64_t probe_begin = 0;
  if (!same_block) {
    ensure(indexed.docs.empty() || probe.docs.empty() || indexed.docs.back() < probe.docs.front(),
           "indexed block does not come before the probe block");
    append_rows(corpus, probe, corpus.n_features);
    probe_begin = n_indexed;
  }
  std::span<const uint64_t> local_doc = indexed.docs;
  std::vector<uint64_t> all_docs;
  if (!same_block) {
    all_docs.assign(indexed.docs.begin(), indexed.docs.end());
    all_docs.insert(all_docs.end(), probe.docs.begin(), probe.docs.end());
    local_doc = all_docs;
  }

  detail::JoinIndex index = detail::build_join_index(corpus, t);
  if (!same_block) {
    // Only the indexed block's rows may be reached.
    std::vector<uint64_t> offsets(corpus.n_features + 1, 0);
    std::vector<detail::Posting> kept;
    for (uint64_t r = 0; r < corpus.n_features; ++r) {
      for (uint64_t p = index.posting_offsets[r]; p < index.posting_offsets[r + 1]; ++p)
        if (index.postings[p].doc < n_indexed) kept.push_back(index.postings[p]);
      offsets[r + 1] = kept.size();
    }
    index.postings = std::move(kept);
    index.posting_offsets = std::move(offsets);
  }

  const uint64_t n_probe = corpus.n_docs - probe_begin;
  auto rows = [&](size_t begin, size_t end) {
    detail::JoinScratch scratch(corpus.n_docs);
    std::vector<BlockPair> out;
    for (size_t k = begin; k < end; ++k) {
      const uint64_t i = probe_begin + k;
      scratch.out.clear();
      detail::probe_row(i, index, scratch);
      const size_t first = out.size();
      for (const JoinPair& p : scratch.out) {
        const uint64_t d = p.j;
        const auto ranks = corpus.row_ranks(d);
        const uint32_t reach = first_reach(corpus.row_ranks(i), ranks.subspan(index.prefixes[d].prefix_len));
        out.push_back(BlockPair{local_doc[d], local_doc[i], p.cos, reach});
      }
      std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(), [](const BlockPair& a, const BlockPair& b) {
        return a.reach != b.reach ? a.reach < b.reach : a.j < b.j;
      });
    }
    return out;
  };
  auto join = [](std::vector<BlockPair> left, std::vector<BlockPair> right) {
    return detail::concat(std::move(left), std::move(right));
  };
  if (n_probe == 0) return {};
  return detail::split_reduce<std::vector<BlockPair>>(0, static_cast<size_t>(n_probe), false,
                                                      detail::Splitter(JOIN_MIN_ROWS_PER_PIECE), rows, join);
}

}  // namespace simsieve
