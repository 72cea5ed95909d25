// Search by the exact gestalt ratio: the best matches of one query among many choices (top-k with
// a rising cutoff), every pair of a query list and a choice list at or above a cutoff (sparse),
// and the dense query x choice matrix of ratios.
//
// Direction: the choice is the first sequence (a) and the query the second (b), as in
// difflib.get_close_matches; each query is indexed once and every choice is compared against
// that index. A score is the exact ratio 2M / (la + lb); "score >= cutoff" is decided exactly as
// the double comparison of that ratio with the cutoff.
//
// Every choice passes exact, cheap bounds before any ratio work: the length bound, then the
// character-count (histogram) bound, then the early-exit threshold test against the query's
// index; only the survivors get their ratio counted. Results never depend on `threads` or on
// scheduling: everything kept is sorted by (score descending, index ascending) at the end.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "search/choice_feed.hpp"
#include "search/choice_set.hpp"

namespace simsieve {

// One choice with its score; index is the choice's input position.
struct SearchHit {
  uint64_t index = 0;
  double score = 0.0;
};

// One pair of the many-to-many search.
struct SearchPair {
  uint64_t query = 0;
  uint64_t choice = 0;
  double score = 0.0;
};

// No limit on the number of hits.
inline constexpr uint64_t kNoLimit = UINT64_MAX;

// The `limit` best choices (score >= cutoff) for `query`, best first, ties by ascending index.
// With keep_ties, every choice whose score equals the limit-th best score is kept as well (so the
// result may be longer than limit). Parallel steps run on the caller's pool.
std::vector<SearchHit> search_top(const std::string& query, const ChoiceSet& choices, double cutoff, uint64_t limit,
                                  bool keep_ties = false);

// The same, over choices that are still arriving: the scan reads each block of the feed as soon
// as it is published, until the feed is closed. An aborted feed gives a result that means nothing.
std::vector<SearchHit> search_top_fed(const std::string& query, const ChoiceFeed& feed, double cutoff, uint64_t limit,
                                      bool keep_ties = false);

// The queries of a many-to-many search: UTF-8 views (the caller keeps them alive), nullopt for
// an absent query, which matches nothing.
using QueryViews = std::span<const std::optional<std::string_view>>;

// Every (query, choice) with score >= cutoff, at most the `limit` best per query; ordered by
// query index, then score descending, then choice index.
std::vector<SearchPair> search_pairs(QueryViews queries, const ChoiceSet& choices, double cutoff, uint64_t limit);

// The row-major matrix of ratios, queries.size() rows by choices.input_size() columns; entries
// below the cutoff, absent queries and absent choices are 0.
std::vector<double> search_dense(QueryViews queries, const ChoiceSet& choices, double cutoff);

}  // namespace simsieve
