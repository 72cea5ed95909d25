#include "cluster/form_clusters.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
#include <tuple>
#include <unordered_map>

#include "cluster/block_minimum.hpp"
#include "cluster/cluster_exact.hpp"
#include "cluster/copies.hpp"
#include "cluster/parallel_steps.hpp"
#include "common/internal_error.hpp"
#include "pool/phase_progress.hpp"

namespace simsieve {
namespace {

uint64_t find_root(std::vector<uint64_t>& parent, uint64_t x) {
  while (parent[x] != x) {
    parent[x] = parent[parent[x]];
    x = parent[x];
  }
  return x;
}

struct KnownRatio {
  uint64_t i, j;
  double ratio;
};

// Positions (into `members`) that need comparing to find the cluster's minimum. A copy of a string
// that is neither the first nor the last copy of it within the cluster adds no new ordered pair of
// strings (comparisons are oriented by index), so only the first and last copy of each distinct
// string take part; `string_of` names the distinct string of each kept position.
void representative_members(const std::vector<uint64_t>& members, std::span<const CodepointView> canonicals,
                            std::vector<uint32_t>& kept, std::vector<uint32_t>& string_of) {
  kept.clear();
  string_of.clear();
  std::unordered_map<CodepointView, uint32_t, detail::CodepointHash, detail::CodepointEqual> first;
  first.reserve(members.size());
  std::vector<uint32_t> group(members.size()), last_of;
  for (uint32_t p = 0; p < members.size(); ++p) {
    auto [it, inserted] = first.try_emplace(canonicals[members[p]], static_cast<uint32_t>(last_of.size()));
    if (inserted) last_of.push_back(p);
    group[p] = it->second;
    last_of[it->second] = p;
  }
  std::vector<bool> seen(last_of.size(), false);
  for (uint32_t p = 0; p < members.size(); ++p) {
    uint32_t g = group[p];
    if (!seen[g] || last_of[g] == p) {
      seen[g] = true;
      kept.push_back(p);
      string_of.push_back(g);
    }
  }
}


// The member pairs of one cluster that still need a comparison: pairs of representative members
// (x < y in member order), minus pairs of two copies of one string and pairs whose ratio is known.
struct PairSource {
  uint32_t cluster = 0;
  std::vector<uint32_t> members;    // canonical indices, ascending
  std::vector<uint32_t> string_of;  // distinct string of each member
  std::vector<KnownPair> known;     // sorted by (i, j)

  uint64_t pair_count() const { return uint64_t{members.size()} * (members.size() - 1) / 2; }
};

// Lowers every cluster's minimum over all its remaining pairs. Clusters with at most
// `parallel_pairs` pairs run one per worker; larger ones one after another, each spread over all
// workers.
void lower_all_minima(std::vector<PairSource>& sources, std::span<const CodepointView> canonicals,
                      MatchIndexTable& slots, std::span<std::atomic<uint64_t>> minima, size_t parallel_pairs) {
  uint64_t total = 0;
  for (const PairSource& s : sources) total += s.pair_count();
  PhaseCounter progress(current_phase_progress(), "minima", total);
  auto lower = [&](PairSource& s, bool parallel) {
    MinimumBlock block{s.members, s.string_of, s.known};
    const double start = std::bit_cast<double>(minima[s.cluster].load(std::memory_order_relaxed));
    const double low = block_minimum(block, canonicals, slots, start, parallel, &progress);
    minima[s.cluster].store(std::bit_cast<uint64_t>(low), std::memory_order_relaxed);
    // Clusters share no member, so no other comparison needs these indexes again; over many
    // clusters they would add up to far more memory than the strings.
    for (uint32_t m : s.members) slots.slot(m).release();
  };
  std::vector<uint32_t> small;
  for (uint32_t k = 0; k < sources.size(); ++k) {
    if (sources[k].pair_count() > parallel_pairs)
      lower(sources[k], true);
    else
      small.push_back(k);
  }
  detail::for_each_item(small, small.size() >= 2, [&](uint32_t k) { lower(sources[k], false); });
  progress.finish();
}

// Inputs from this many canonicals up group and prepare their clusters on the pool.
constexpr uint64_t kParallelFormation = uint64_t{1} << 14;

}  // namespace

namespace detail {

std::vector<Cluster> form_clusters_chunked(uint64_t n, std::span<const ClusterEdge> edges,
                                           std::span<const CodepointView> canonicals, MatchIndexTable& slots,
                                           size_t parallel_pairs) {
  ensure(canonicals.size() == n && slots.size() == n, "cluster formation got tables of different sizes");
  ensure(n <= UINT32_MAX, "too many canonicals for cluster formation");
  // Components.
  std::vector<uint64_t> parent(n);
  for (uint64_t k = 0; k < n; ++k) parent[k] = k;
  for (const ClusterEdge& e : edges) {
    ensure(e.i < n && e.j < n, "cluster edge names a canonical out of range");
    uint64_t ri = find_root(parent, e.i), rj = find_root(parent, e.j);
    if (ri != rj) parent[ri] = rj;
  }
  std::vector<uint64_t> root(n);
  for (uint64_t k = 0; k < n; ++k) root[k] = find_root(parent, k);
  parent = {};

  // Grouping: indices sorted by (root, index); runs of two or more are the clusters.
  const bool parallel = n >= kParallelFormation;
  std::vector<uint64_t> by_root(n);
  for (uint64_t k = 0; k < n; ++k) by_root[k] = k;
  detail::sort_items(by_root, parallel,
                     [&](uint64_t x, uint64_t y) { return root[x] != root[y] ? root[x] < root[y] : x < y; });
  constexpr uint32_t kNone = UINT32_MAX;
  std::vector<uint32_t> cluster_of(n, kNone);
  std::vector<Cluster> clusters;
  for (uint64_t s = 0; s < n;) {
    uint64_t e = s + 1;
    while (e < n && root[by_root[e]] == root[by_root[s]]) ++e;
    if (e - s >= 2) {
      auto c = static_cast<uint32_t>(clusters.size());
      Cluster& cluster = clusters.emplace_back();
      cluster.members.assign(by_root.begin() + static_cast<ptrdiff_t>(s), by_root.begin() + static_cast<ptrdiff_t>(e));
      for (uint64_t m : cluster.members) cluster_of[m] = c;
    }
    s = e;
  }
  root = {};
  by_root = {};
  if (clusters.empty()) return {};

  // Known ratios, per cluster.
  std::vector<std::vector<KnownRatio>> known(clusters.size());
  for (const ClusterEdge& e : edges)
    if (e.known_ratio) known[cluster_of[e.i]].push_back({e.i, e.j, *e.known_ratio});
  cluster_of = {};

  // Minimum from the known ratios; the clusters with pairs still to compare, each prepared on its
  // own (their members' copies are found through a table per cluster).
  std::vector<std::atomic<uint64_t>> minima(clusters.size());
  auto prepare = [&](size_t c) -> std::optional<PairSource> {
    auto& list = known[c];
    std::sort(list.begin(), list.end(),
              [](const KnownRatio& x, const KnownRatio& y) { return std::tie(x.i, x.j) < std::tie(y.i, y.j); });
    double low = 1.0;
    for (const KnownRatio& k : list)
      if (k.ratio < low) low = k.ratio;  // a NaN ratio is ignored
    minima[c].store(std::bit_cast<uint64_t>(low), std::memory_order_relaxed);
    const auto& members = clusters[c].members;
    uint64_t m = members.size();
    if (list.size() == m * (m - 1) / 2) return std::nullopt;  // complete: every pair known
    PairSource source;
    source.cluster = static_cast<uint32_t>(c);
    source.known.reserve(list.size());
    for (const KnownRatio& k : list) source.known.push_back({k.i, k.j});
    std::vector<uint32_t> kept;
    representative_members(members, canonicals, kept, source.string_of);
    for (uint32_t position : kept) source.members.push_back(static_cast<uint32_t>(members[position]));
    list = {};
    return source;
  };
  auto prepared = detail::map_indices<std::optional<PairSource>>(clusters.size(), parallel, prepare);
  known = {};
  std::vector<PairSource> sources;
  for (auto& source : prepared)
    if (source) sources.push_back(std::move(*source));
  prepared = {};

  lower_all_minima(sources, canonicals, slots, minima, parallel_pairs);

  for (size_t c = 0; c < clusters.size(); ++c)
    clusters[c].min_ratio = std::bit_cast<double>(minima[c].load(std::memory_order_acquire));
  std::stable_sort(clusters.begin(), clusters.end(),
                   [](const Cluster& x, const Cluster& y) { return x.members.front() < y.members.front(); });
  return clusters;
}

}  // namespace detail

std::vector<Cluster> form_clusters(uint64_t n, std::span<const ClusterEdge> edges,
                                   std::span<const CodepointView> canonicals, MatchIndexTable& slots) {
  return detail::form_clusters_chunked(n, edges, canonicals, slots, MIN_RATIO_PARALLEL_PAIRS);
}

}  // namespace simsieve
