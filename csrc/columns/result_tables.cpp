#include "columns/result_tables.hpp"

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

std::shared_ptr<const OutputTable> join_pairs_table(const std::vector<JoinPair>& pairs) {
  auto j = std::make_shared<std::vector<int64_t>>();
  auto i = std::make_shared<std::vector<int64_t>>();
  auto cos = std::make_shared<std::vector<double>>();
  j->reserve(pairs.size());
  i->reserve(pairs.size());
  cos->reserve(pairs.size());
  for (const JoinPair& p : pairs) {
    j->push_back(static_cast<int64_t>(p.j));
    i->push_back(static_cast<int64_t>(p.i));
    cos->push_back(p.cos);
  }
  auto table = std::make_shared<OutputTable>();
  table->rows = static_cast<int64_t>(pairs.size());
  table->columns.push_back(output_column<int64_t>("j", std::move(j)));
  table->columns.push_back(output_column<int64_t>("i", std::move(i)));
  table->columns.push_back(output_column<double>("cos", std::move(cos)));
  return table;
}

std::shared_ptr<const OutputTable> search_pairs_table(const std::vector<SearchPair>& pairs) {
  auto query = std::make_shared<std::vector<int64_t>>();
  auto choice = std::make_shared<std::vector<int64_t>>();
  auto score = std::make_shared<std::vector<double>>();
  query->reserve(pairs.size());
  choice->reserve(pairs.size());
  score->reserve(pairs.size());
  for (const SearchPair& p : pairs) {
    query->push_back(static_cast<int64_t>(p.query));
    choice->push_back(static_cast<int64_t>(p.choice));
    score->push_back(p.score);
  }
  auto table = std::make_shared<OutputTable>();
  table->rows = static_cast<int64_t>(pairs.size());
  table->columns.push_back(output_column<int64_t>("query", std::move(query)));
  table->columns.push_back(output_column<int64_t>("choice", std::move(choice)));
  table->columns.push_back(output_column<double>("score", std::move(score)));
  return table;
}

}  // namespace simsieve::columns
