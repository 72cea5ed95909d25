// Index build (split point, postings, prefix records) and the probe of every row: dense
// accumulation over the earlier rows' postings, the two Cauchy-Schwarz bounds, exact verification.
#include "simjoin/cosine_join.hpp"

#include <algorithm>
#include <cmath>

#include "pool/cancel.hpp"
#include "pool/parallel.hpp"
#include "pool/phase_progress.hpp"

namespace simsieve {

namespace detail {

namespace {

JoinIndex build_rank_index(const TfIdfCorpus& corpus, double t, bool with_postings) {
  JoinIndex index;
  index.corpus = &corpus;
  index.threshold = t;
  const uint64_t n_docs = corpus.n_docs;
  index.prefixes.assign(n_docs, IndexPrefix{});
  std::vector<uint64_t>& offsets = index.posting_offsets;
  offsets.assign(corpus.n_features + 1, 0);

  // Split points: the first entry at which the running bound sum(w_p * max_weight[r_p]) reaches t.
  // The entries before it are the prefix, which alone cannot reach t with any row.
  for (uint64_t d = 0; d < n_docs; ++d) {
    const auto ranks = corpus.row_ranks(d);
    const auto weights = corpus.row_weights(d);
    const size_t m = ranks.size();
    IndexPrefix& prefix = index.prefixes[d];
    double b = 0.0;
    size_t k = m;
    for (size_t p = 0; p < m; ++p) {
      b = b + weights[p] * corpus.max_weight[ranks[p]];
      if (t <= b) {
        k = p;
        break;
      }
    }
    double s = 0.0;
    for (size_t p = 0; p < k; ++p) s = s + weights[p] * weights[p];
    prefix.prefix_norm = std::sqrt(s);
    prefix.prefix_len = static_cast<uint32_t>(k);
    if (k < m) {
      prefix.boundary = static_cast<int32_t>(ranks[k]);
      for (size_t p = k; p < m; ++p) ++offsets[ranks[p] + 1];
    }
  }
  if (!with_postings) {
    offsets.clear();
    return index;
  }
  for (uint64_t r = 0; r < corpus.n_features; ++r) offsets[r + 1] += offsets[r];

  index.postings.resize(offsets[corpus.n_features]);
  std::vector<uint64_t> fill(offsets.begin(), offsets.end() - 1);
  for (uint64_t d = 0; d < n_docs; ++d) {
    const auto ranks = corpus.row_ranks(d);
    const auto weights = corpus.row_weights(d);
    for (size_t p = index.prefixes[d].prefix_len; p < ranks.size(); ++p) {
      index.postings[fill[ranks[p]]++] = Posting{static_cast<uint32_t>(d), weights[p]};
    }
  }
  return index;
}

}  // namespace

JoinIndex build_join_index(const TfIdfCorpus& corpus, double t) { return build_rank_index(corpus, t, true); }

ProbeIndex build_probe_index(const TfIdfCorpus& corpus, double t) {
  ProbeIndex index;
  index.ranked = build_rank_index(corpus, t, false);
  const uint64_t n_docs = corpus.n_docs;
  const double cut = -BOUND_SLACK + t;
  index.prefixes.assign(n_docs, IndexPrefix{});
  std::vector<uint64_t>& offsets = index.posting_offsets;
  offsets.assign(corpus.n_features + 1, 0);
  for (uint64_t d = 0; d < n_docs; ++d) {
    const uint32_t* f = corpus.probe_features.data() + corpus.row_offsets[d];
    const double* w = corpus.probe_weights.data() + corpus.row_offsets[d];
    const size_t m = static_cast<size_t>(corpus.row_size(d));
    // Longest prefix whose product with any row is provably below cut: by the maximum weights,
    // and by Cauchy-Schwarz with a unit row.
    double b = 0.0, s = 0.0, prefix_s = 0.0;
    size_t k = m;
    for (size_t p = 0; p < m; ++p) {
      b = b + w[p] * corpus.probe_max_weight[f[p]];
      s = s + w[p] * w[p];
      if (std::min(b, std::sqrt(s)) >= cut) {
        k = p;
        break;
      }
      prefix_s = s;
    }
    IndexPrefix& prefix = index.prefixes[d];
    prefix.prefix_norm = std::sqrt(prefix_s);
    prefix.prefix_len = static_cast<uint32_t>(k);
    if (k < m) {
      prefix.boundary = static_cast<int32_t>(f[k]);
      for (size_t p = k; p < m; ++p) ++offsets[f[p] + 1];
    }
  }
  for (uint64_t q = 0; q < corpus.n_features; ++q) offsets[q + 1] += offsets[q];
  index.postings.resize(offsets[corpus.n_features]);
  std::vector<uint64_t> fill(offsets.begin(), offsets.end() - 1);
  for (uint64_t d = 0; d < n_docs; ++d) {
    const uint32_t* f = corpus.probe_features.data() + corpus.row_offsets[d];
    const double* w = corpus.probe_weights.data() + corpus.row_offsets[d];
    const size_t m = static_cast<size_t>(corpus.row_size(d));
    for (size_t p = index.prefixes[d].prefix_len; p < m; ++p) {
      index.postings[fill[f[p]]++] = Posting{static_cast<uint32_t>(d), w[p]};
    }
  }
  return index;
}

JoinScratch::JoinScratch(uint64_t n_docs) : acc(n_docs, -1.0), touched(n_docs) {}

namespace {

// Adds row `row`'s products with the indexed suffixes of the earlier rows into the dense
// accumulator (untouched slots hold -1.0) and lists every document touched for the first time;
// returns how many. The list is appended branch-free: the slot is always written, the count only
// advances on first touch.
inline size_t accumulate(const uint32_t* features, const double* weights, size_t m, uint32_t row,
                         const Posting* postings, const uint64_t* offsets, double* acc, uint32_t* touched) {
  size_t n_touched = 0;
  for (size_t p = 0; p < m; ++p) {
    const double w = weights[p];
    const Posting* it = postings + offsets[features[p]];
    const Posting* end = postings + offsets[features[p] + 1];
    for (; it != end && it->doc < row; ++it) {
      const uint32_t d = it->doc;
      const double old = acc[d];
      acc[d] = it->weight * w + std::max(old, 0.0);
      touched[n_touched] = d;
      n_touched += old < 0.0;
    }
  }
  return n_touched;
}

// pn[p] = the norm of the first p weights, for p = 0 .. m.
inline void prefix_norms(const double* weights, size_t m, std::vector<double>& pn) {
  pn.resize(m + 1);
  pn[0] = 0.0;
  double s = 0.0;
  for (size_t p = 1; p <= m; ++p) {
    s = s + weights[p - 1] * weights[p - 1];
    pn[p] = std::sqrt(s);
  }
}

// Sum of aw[p] * bw[q] over the ranks the two sorted lists share, in ascending rank, added to c.
inline double merge_dot(const uint32_t* ar, const double* aw, size_t an, const uint32_t* br, const double* bw,
                        size_t bn, double c) {
  size_t a = 0, b = 0;
  while (a < an && b < bn) {
    const uint32_t ra = ar[a], rb = br[b];
    if (ra == rb) c = c + aw[a] * bw[b];
    a += ra <= rb;
    b += rb <= ra;
  }
  return c;
}

}  // namespace

void probe_row(uint64_t i, const JoinIndex& index, JoinScratch& scratch) {
  const TfIdfCorpus& corpus = *index.corpus;
  const uint32_t* xr = corpus.feature_ranks.data() + corpus.row_offsets[i];
  const double* xw = corpus.weights.data() + corpus.row_offsets[i];
  const size_t m = static_cast<size_t>(corpus.row_size(i));
  if (m == 0) return;  // touches nothing
  const double t = index.threshold;

  // 1. Accumulate the products with the indexed suffixes of the earlier rows.
  double* acc = scratch.acc.data();
  uint32_t* touched = scratch.touched.data();
  const size_t n_touched = accumulate(xr, xw, m, static_cast<uint32_t>(i), index.postings.data(),
                                      index.posting_offsets.data(), acc, touched);
  if (n_touched == 0) return;

  // 2. Prefix norms of x: pn[p] is the norm of its first p entries.
  std::vector<double>& pn = scratch.prefix_norms;
  prefix_norms(xw, m, pn);
  const double nx = pn[m];
  const double bound_min = -BOUND_SLACK + t;
  const bool cheap_bound = m >= EARLY_BOUND_MIN_ENTRIES;

  for (size_t k = 0; k < n_touched; ++k) {
    const uint32_t d = touched[k];
    const double o = acc[d];
    acc[d] = -1.0;
    const IndexPrefix& prefix = index.prefixes[d];
    const double pd = prefix.prefix_norm;
    if (cheap_bound && bound_min > nx * pd + o) continue;
    // Entries of x ranked below d's first indexed rank: only these can meet d's prefix.
    const auto q = static_cast<uint32_t>(prefix.boundary);
    const size_t r = static_cast<size_t>(std::lower_bound(xr, xr + m, q) - xr);
    if (!(o + pd * pn[r] >= bound_min)) continue;

    // Exact dot product, by merge in ascending rank. The ranks below q (x's first r entries
    // against d's prefix) come first; when they contribute exactly 0.0 the remaining sum equals
    // the accumulated o bit for bit (same products, same order), so that part need not be redone.
    const uint32_t* yr = corpus.feature_ranks.data() + corpus.row_offsets[d];
    const double* yw = corpus.weights.data() + corpus.row_offsets[d];
    const size_t ym = static_cast<size_t>(corpus.row_size(d));
    const size_t yk = prefix.prefix_len;
    double c = merge_dot(xr, xw, r, yr, yw, yk, 0.0);
    if (c == 0.0) {
      c = o;
    } else {
      c = merge_dot(xr + r, xw + r, m - r, yr + yk, yw + yk, ym - yk, c);
    }
    if (t <= c) scratch.out.push_back(JoinPair{d, i, c});
  }
}

void probe_row_fast(uint64_t i, const ProbeIndex& index, ProbeScratch& scratch) {
  const TfIdfCorpus& corpus = *index.ranked.corpus;
  const uint64_t row_begin = corpus.row_offsets[i];
  const size_t m = static_cast<size_t>(corpus.row_size(i));
  if (m == 0) return;
  const double t = index.ranked.threshold;
  const double bound_min = -BOUND_SLACK + t;

  // Candidates: products with the probe-order indexed suffixes of the earlier rows.
  const uint32_t* xf = corpus.probe_features.data() + row_begin;
  const double* xv = corpus.probe_weights.data() + row_begin;
  double* acc = scratch.base.acc.data();
  uint32_t* touched = scratch.base.touched.data();
  const size_t n_touched = accumulate(xf, xv, m, static_cast<uint32_t>(i), index.postings.data(),
                                      index.posting_offsets.data(), acc, touched);
  if (n_touched == 0) return;

  std::vector<double>& pn = scratch.base.prefix_norms;  // probe order
  prefix_norms(xv, m, pn);
  const double nx_probe = pn[m];

  const uint32_t* xr = corpus.feature_ranks.data() + row_begin;
  const double* xw = corpus.weights.data() + row_begin;
  std::vector<double>& rn = scratch.rank_norms;  // rank order, filled on first need
  rn.clear();
  std::vector<RowHit>& hits = scratch.hits;
  hits.clear();
  const bool cheap_bound = m >= EARLY_BOUND_MIN_ENTRIES;

  constexpr size_t kLookahead = 16;  // candidates whose prefix records are fetched ahead
  for (size_t k = 0; k < n_touched; ++k) {
    if (k + kLookahead < n_touched) __builtin_prefetch(&index.prefixes[touched[k + kLookahead]]);
    const uint32_t d = touched[k];
    const double o_probe = acc[d];
    acc[d] = -1.0;
    const IndexPrefix& pp = index.prefixes[d];
    if (bound_min > nx_probe * pp.prefix_norm + o_probe) continue;
    const auto qp = static_cast<uint32_t>(pp.boundary);
    const size_t rp = static_cast<size_t>(std::lower_bound(xf, xf + m, qp) - xf);
    if (!(o_probe + pp.prefix_norm * pn[rp] >= bound_min)) continue;

    // Decide as the rank-order search would: merge in rank order for the exact dot product c,
    // the part o of it over d's rank-order indexed suffix (summed in the same order as that
    // search accumulates it) and the rank at which that search first reaches d.
    const IndexPrefix& pr = index.ranked.prefixes[d];
    const auto q = static_cast<uint32_t>(pr.boundary);
    const uint32_t* yr = corpus.feature_ranks.data() + corpus.row_offsets[d];
    const double* yw = corpus.weights.data() + corpus.row_offsets[d];
    const size_t ym = static_cast<size_t>(corpus.row_size(d));
    double c = 0.0, o = 0.0;
    uint32_t reach = UINT32_MAX;
    for (size_t a = 0, b = 0; a < m && b < ym;) {
      const uint32_t ra = xr[a], rb = yr[b];
      if (ra == rb) {
        const double prod = xw[a] * yw[b];
        c = c + prod;
        if (ra >= q) {
          if (reach == UINT32_MAX) reach = ra;
          o = o + prod;
        }
      }
      a += ra <= rb;
      b += rb <= ra;
    }
    if (reach == UINT32_MAX) continue;  // never reached through d's rank-order index
    if (rn.empty()) prefix_norms(xw, m, rn);
    if (cheap_bound && bound_min > rn[m] * pr.prefix_norm + o) continue;
    const size_t r = static_cast<size_t>(std::lower_bound(xr, xr + m, q) - xr);
    if (!(o + pr.prefix_norm * rn[r] >= bound_min)) continue;
    if (t <= c) hits.push_back(RowHit{reach, d, c});
  }
  // First-reach order: by the rank through which d was first reached, then by d (posting lists
  // are in ascending document order).
  std::sort(hits.begin(), hits.end(), [](const RowHit& a, const RowHit& b) {
    return a.reach != b.reach ? a.reach < b.reach : a.j < b.j;
  });
  for (const RowHit& h : hits) scratch.base.out.push_back(JoinPair{h.j, i, h.cos});
}

std::vector<JoinPair> probe_rows(const JoinIndex& index, uint64_t begin, uint64_t end) {
  JoinScratch scratch(index.corpus->n_docs);
  for (uint64_t i = begin; i < end; ++i) {
    check_cancelled_every(i - begin + 1);
    probe_row(i, index, scratch);
  }
  return std::move(scratch.out);
}

}  // namespace detail

namespace {

// Order-preserving flat map over the rows: every piece probes its rows in order with a scratch of
// its own, and neighbouring pieces' outputs are joined left before right.
template <class Piece>
std::vector<JoinPair> probe_in_pieces(uint64_t n_docs, Piece piece) {
  if (n_docs == 0) return {};
  auto join = [](std::vector<JoinPair> left, std::vector<JoinPair> right) {
    return detail::concat(std::move(left), std::move(right));
  };
  return detail::split_reduce<std::vector<JoinPair>>(0, static_cast<size_t>(n_docs), false,
                                                     detail::Splitter(JOIN_MIN_ROWS_PER_PIECE), piece, join);
}

}  // namespace

std::vector<JoinPair> join_corpus_direct(const TfIdfCorpus& corpus, double t) {
  const detail::JoinIndex index = detail::build_join_index(corpus, t);
  return probe_in_pieces(corpus.n_docs, [&](size_t begin, size_t end) { return detail::probe_rows(index, begin, end); });
}

std::vector<JoinPair> join_corpus(const TfIdfCorpus& corpus, double t) {
  // A NaN threshold splits no row: nothing is indexed, nothing is reported.
  if (std::isnan(t)) return {};
  PhaseProgress* progress = current_phase_progress();
  const detail::ProbeIndex index = detail::build_probe_index(corpus, t);
  PhaseCounter rows(progress, "join", corpus.n_docs);
  auto pairs = probe_in_pieces(corpus.n_docs, [&](size_t begin, size_t end) {
    detail::ProbeScratch scratch(corpus.n_docs);
    for (size_t i = begin; i < end; ++i) {
      check_cancelled_every(i - begin + 1);
      detail::probe_row_fast(i, index, scratch);
      if (((i - begin) & 63) == 63) rows.add(64);
    }
    rows.add((end - begin) & 63);
    return std::move(scratch.base.out);
  });
  rows.finish();
  return pairs;
}

}  // namespace simsieve
