#include "search/search.hpp"

#include <algorithm>
#include <atomic>
#include <limits>

#include "pool/cancel.hpp"
#include "pool/parallel.hpp"
#include "search/query_scan.hpp"
#include "search/top_keeper.hpp"

namespace simsieve {
namespace detail {

void TopKeeper::prune(std::vector<SearchHit>& local) {
  auto kth = local.begin() + static_cast<std::ptrdiff_t>(limit_ - 1);
  std::nth_element(local.begin(), kth, local.end(), better);
  const double score = kth->score;
  if (keep_ties_) {
    local.erase(std::remove_if(local.begin(), local.end(), [&](const SearchHit& h) { return h.score < score; }),
                local.end());
  } else {
    local.resize(limit_);
  }
  raise(score);
}

void TopKeeper::raise(double score) {
  double current = bar_.load(std::memory_order_relaxed);
  while (score > current && !bar_.compare_exchange_weak(current, score, std::memory_order_relaxed)) {
  }
}

std::vector<SearchHit> TopKeeper::finish() {
  std::vector<SearchHit> out = std::move(kept_);
  std::sort(out.begin(), out.end(), better);
  if (limit_ != kNoLimit && out.size() > limit_) {
    size_t keep = static_cast<size_t>(limit_);
    if (keep_ties_) {
      const double score = out[keep - 1].score;
      while (keep < out.size() && out[keep].score == score) ++keep;
    }
    out.resize(keep);
  }
  return out;
}

}  // namespace detail

namespace {

// Pieces of a scan are never smaller than this many choices.
constexpr size_t kScanMinLen = 512;

// Entries [begin, end) of the length order that the length bound allows at cutoff t.
std::pair<size_t, size_t> window_of(const PreparedQuery& q, const ChoiceSet& choices, double t) {
  if (!choices.sorted()) return {0, choices.size()};  // every entry checks its length itself
  auto [lo, hi] = length_window(q.length(), t);
  const auto& lengths = choices.lengths();
  if (lo > hi) return {0, 0};
  auto first = std::lower_bound(lengths.begin(), lengths.end(), lo, [](uint32_t l, uint64_t v) { return l < v; });
  auto last = std::upper_bound(first, lengths.end(), hi, [](uint64_t v, uint32_t l) { return v < l; });
  return {static_cast<size_t>(first - lengths.begin()), static_cast<size_t>(last - lengths.begin())};
}

// Bucket signatures of the entries of a choice set, by entry (empty: none; one query does
// not repay the pass over every choice that computing them takes).
using Signatures = std::vector<BucketSignature>;

Signatures signatures_of(const ChoiceSet& choices) {
  return parallel_map_collect<BucketSignature>(
      choices.size(), [&](size_t k) { return bucket_signature(choices.text(k), choices.ascii(k)); },
      with_min_len(kScanMinLen));
}

// Runs the per-choice test over entries [begin, end) with the keeper's current bar, calling
// found(k, score) for every entry that reaches it.
template <class Choices, class Bar, class Found>
void scan_entries(const PreparedQuery& q, const Choices& choices, const Signatures& sigs, size_t begin,
                  size_t end, Bar&& bar, Found&& found) {
  QueryScanner scanner(q);
  const uint64_t lq = q.length();
  // need by choice length for the bar in force; lengths beyond the table are computed each time.
  constexpr uint64_t kUnset = kNeverReached - 1;
  constexpr size_t kTableMax = 1 << 16;
  std::vector<uint64_t> needs;
  double needs_bar = std::numeric_limits<double>::quiet_NaN();
  // Texts read in input order are fetched a few entries ahead, those of lengths that can pass.
  constexpr size_t kFetchAhead = 8;
  const auto [fetch_lo, fetch_hi] = choices.sorted() ? std::pair<uint64_t, uint64_t>{1, 0} : length_window(lq, bar());
  for (size_t k = begin; k < end; ++k) {
    check_cancelled_every(k - begin + 1);
    if (k + kFetchAhead < end) {
      const uint32_t ahead = choices.length(k + kFetchAhead);
      if (ahead >= fetch_lo && ahead <= fetch_hi) choices.prefetch(k + kFetchAhead);
    }
    const uint32_t lc = choices.length(k);
    const double t = bar();
    if (!(t == needs_bar)) {
      std::fill(needs.begin(), needs.end(), kUnset);
      needs_bar = t;
    }
    uint64_t need;
    if (lc < kTableMax) {
      if (lc >= needs.size()) needs.resize(lc + 1, kUnset);
      if (needs[lc] == kUnset) needs[lc] = exact_need(t, lq + lc);
      need = needs[lc];
    } else {
      need = exact_need(t, lq + lc);
    }
    // The length bound, here rather than in reaches(): in input order most entries fail it.
    if (need == kNeverReached || std::min<uint64_t>(lq, lc) < need) continue;
    if (!sigs.empty() && bucket_overlap(q.signature(), sigs[k]) < need) continue;
    if (auto m = scanner.reaches(choices.text(k), lc, choices.ascii(k), need)) found(k, score_of(*m, lq + lc));
  }
}

// The hits of one prepared query; the window is split across the pool when `parallel`.
std::vector<SearchHit> top_of(const PreparedQuery& q, const ChoiceSet& choices, const Signatures& sigs,
                              double cutoff, uint64_t limit, bool keep_ties, bool parallel) {
  auto [begin, end] = window_of(q, choices, cutoff);
  detail::TopKeeper keeper(cutoff, limit, keep_ties);
  auto piece = [&](size_t b, size_t e) {
    std::vector<SearchHit> local;
    scan_entries(
        q, choices, sigs, begin + b, begin + e, [&] { return keeper.bar(); },
        [&](size_t k, double score) { keeper.add(local, {choices.index(k), score}); });
    keeper.merge(local);
  };
  if (parallel)
    parallel_for_each_range(end - begin, piece, with_min_len(kScanMinLen));
  else if (end > begin)
    piece(0, end - begin);
  return keeper.finish();
}

// Whether each query of a list should also split its own window: when there are too few queries
// to keep every worker busy.
bool split_each_query(size_t queries) { return queries < 4 * current_worker_count(); }

// Entries of a feed are scanned in blocks of this many, each by whichever thread claims it first.
constexpr size_t kFeedBlock = 1024;

}  // namespace

std::vector<SearchHit> search_top_fed(const std::string& query, const ChoiceFeed& feed, double cutoff, uint64_t limit,
                                      bool keep_ties) {
  if (limit == 0) return {};
  PreparedQuery q(query);
  detail::TopKeeper keeper(cutoff, limit, keep_ties);
  std::atomic<size_t> next_block{0};
  // One claimant per worker, each taking the next block as soon as it has been published.
  parallel_for_each(current_worker_count(), [&](size_t) {
    std::vector<SearchHit> local;
    for (;;) {
      check_cancelled();
      const size_t begin = next_block.fetch_add(kFeedBlock, std::memory_order_relaxed);
      const size_t end = feed.wait_for(begin + kFeedBlock);
      if (feed.aborted() || begin >= end) break;
      scan_entries(
          q, feed, {}, begin, end, [&] { return keeper.bar(); },
          [&](size_t k, double score) { keeper.add(local, {feed.index(k), score}); });
    }
    keeper.merge(local);
  });
  return keeper.finish();
}

std::vector<SearchHit> search_top(const std::string& query, const ChoiceSet& choices, double cutoff, uint64_t limit,
                                  bool keep_ties) {
  if (limit == 0) return {};
  PreparedQuery q(query);
  return top_of(q, choices, {}, cutoff, limit, keep_ties, true);
}

std::vector<SearchPair> search_pairs(QueryViews queries, const ChoiceSet& choices, double cutoff, uint64_t limit) {
  if (limit == 0) return {};
  const bool nested = split_each_query(queries.size());
  const Signatures sigs = queries.size() > 1 ? signatures_of(choices) : Signatures{};
  auto per_query = parallel_map_collect<std::vector<SearchHit>>(queries.size(), [&](size_t i) {
    if (!queries[i]) return std::vector<SearchHit>{};
    PreparedQuery q(*queries[i]);
    return top_of(q, choices, sigs, cutoff, limit, false, nested);
  });
  size_t total = 0;
  for (const auto& hits : per_query) total += hits.size();
  std::vector<SearchPair> out;
  out.reserve(total);
  for (size_t i = 0; i < per_query.size(); ++i)
    for (const SearchHit& h : per_query[i]) out.push_back({i, h.index, h.score});
  return out;
}

std::vector<double> search_dense(QueryViews queries, const ChoiceSet& choices, double cutoff) {
  const size_t cols = static_cast<size_t>(choices.input_size());
  std::vector<double> out(queries.size() * cols, 0.0);
  const bool nested = split_each_query(queries.size());
  const Signatures sigs = queries.size() > 1 && cutoff > 0.0 ? signatures_of(choices) : Signatures{};
  parallel_for_each(queries.size(), [&](size_t i) {
    if (!queries[i]) return;
    PreparedQuery q(*queries[i]);
    auto [begin, end] = window_of(q, choices, cutoff);
    double* row = out.data() + i * cols;
    auto piece = [&](size_t b, size_t e) {
      scan_entries(
          q, choices, sigs, begin + b, begin + e, [&] { return cutoff; },
          [&](size_t k, double score) { row[choices.index(k)] = score; });
    };
    if (nested)
      parallel_for_each_range(end - begin, piece, with_min_len(kScanMinLen));
    else if (end > begin)
      piece(0, end - begin);
  });
  return out;
}

}  // namespace simsieve
