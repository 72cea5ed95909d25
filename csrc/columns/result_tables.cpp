#include "columns/result_tables.hpp"

#include <tuple>

namespace simsieve::columns {

std::shared_ptr<const OutputTable> clusters_table(const std::vector<Cluster>& clusters) {
  size_t rows = 0;
  for (const Cluster& c : clusters) rows += c.members.size();
  auto cluster = std::make_shared<std::vector<int64_t>>();
  auto member = std::make_shared<std::vector<int64_t>>();
  auto min_ratio = std::make_shared<std::vector<double>>();
  cluster->reserve(rows);
  member->reserve(rows);
  min_ratio->reserve(rows);
  for (size_t k = 0; k < clusters.size(); ++k) {
    for (uint64_t m : clusters[k].members) {
      cluster->push_back(static_cast<int64_t>(k));
      member->push_back(static_cast<int64_t>(m));
      min_ratio->push_back(clusters[k].min_ratio);
    }
  }
  auto table = std::make_shared<OutputTable>();
  table->rows = static_cast<int64_t>(rows);
  table->columns.push_back(output_column<int64_t>("cluster", std::move(cluster)));
  table->columns.push_back(output_column<int64_t>("member", std::move(member)));
  table->columns.push_back(output_column<double>("min_ratio", std::move(min_ratio)));
  return table;
}

namespace {

// Two int64 index columns and a float64 score column, one row per pair, from the pair's
// (first index, second index, score).
template <class Pair, class Row>
std::shared_ptr<const OutputTable> index_pairs_table(const std::vector<Pair>& pairs, const char* first,
                                                     const char* second, const char* score, Row row) {
  auto x = std::make_shared<std::vector<int64_t>>();
  auto y = std::make_shared<std::vector<int64_t>>();
  auto v = std::make_shared<std::vector<double>>();
  x->reserve(pairs.size());
  y->reserve(pairs.size());
  v->reserve(pairs.size());
  for (const Pair& p : pairs) {
    const auto [a, b, value] = row(p);
    x->push_back(static_cast<int64_t>(a));
    y->push_back(static_cast<int64_t>(b));
    v->push_back(value);
  }
  auto table = std::make_shared<OutputTable>();
  table->rows = static_cast<int64_t>(pairs.size());
  table->columns.push_back(output_column<int64_t>(first, std::move(x)));
  table->columns.push_back(output_column<int64_t>(second, std::move(y)));
  table->columns.push_back(output_column<double>(score, std::move(v)));
  return table;
}

}  // namespace

std::shared_ptr<const OutputTable> join_pairs_table(const std::vector<JoinPair>& pairs) {
  return index_pairs_table(pairs, "j", "i", "cos",
                           [](const JoinPair& p) { return std::tuple{p.j, p.i, p.cos}; });
}

std::shared_ptr<const OutputTable> search_pairs_table(const std::vector<SearchPair>& pairs) {
  return index_pairs_table(pairs, "query", "choice", "score",
                           [](const SearchPair& p) { return std::tuple{p.query, p.choice, p.score}; });
}

}  // namespace simsieve::columns
