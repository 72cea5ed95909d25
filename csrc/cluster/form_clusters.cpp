#include "cluster/form_clusters.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <tuple>
#include <unordered_map>

#include "cluster/char_histogram.hpp"
#include "cluster/cluster_exact.hpp"
#include "cluster/copies.hpp"
#include "cluster/parallel_steps.hpp"
#include "common/internal_error.hpp"
#include "gestalt/bounded.hpp"

namespace simsieve {
namespace {

uint64_t find_root(std::vector<uint64_t>& parent, uint64_t x) {
  while (parent[x] != x) {
    parent[x] = parent[parent[x]];
    x = parent[x];
  }
  return x;
}

// floor(x) as an unsigned 64-bit count: NaN and negative values give 0, too large values saturate.
uint64_t saturating_floor(double x) {
  x = std::floor(x);
  if (!(x > 0.0)) return 0;
  if (x >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(x);
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

}  // namespace

void lower_cluster_min(const MinRatioTask& task, std::span<const CodepointView> canonicals, MatchIndexTable& slots,
                       std::span<std::atomic<uint64_t>> minima) {
  std::atomic<uint64_t>& cell = minima[task.cluster];
  double f = std::bit_cast<double>(cell.load(std::memory_order_acquire));
  const MatchIndex& index = slots.match_index_of(task.b);
  CodepointView a = canonicals[task.a], b = canonicals[task.b];
  uint64_t la = a.size(), lb = b.size(), total = la + lb;
  double v;
  if (total == 0) {
    v = 1.0;
  } else if (la == 0 || lb == 0) {
    v = 0.0;
  } else {
    uint64_t limit = saturating_floor(static_cast<double>(total) * f * 0.5) + 1;
    uint64_t shorter = std::min(la, lb);
    uint64_t p = 0;
    while (p < shorter && a[p] == b[p]) ++p;
    uint64_t quick = p;
    if (p < shorter) {
      uint64_t s = 0;
      while (s < shorter - p && a[la - 1 - s] == b[lb - 1 - s]) ++s;
      quick = std::max(p, s);
    }
    v = quick >= limit ? 2.0 : capped_ratio(a, index, b, limit);
  }
  uint64_t bits = std::bit_cast<uint64_t>(v);
  uint64_t current = cell.load(std::memory_order_relaxed);
  while (bits < current && !cell.compare_exchange_weak(current, bits, std::memory_order_acq_rel)) {
  }
}

std::vector<Cluster> form_clusters(uint64_t n, std::span<const ClusterEdge> edges,
                                   std::span<const CodepointView> canonicals, MatchIndexTable& slots) {
  ensure(canonicals.size() == n && slots.size() == n, "cluster formation got tables of different sizes");
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
  std::vector<uint64_t> by_root(n);
  for (uint64_t k = 0; k < n; ++k) by_root[k] = k;
  std::sort(by_root.begin(), by_root.end(),
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

  // Minimum from the known ratios, and the pairs still to compare.
  std::vector<double> start_min(clusters.size(), 1.0);
  std::vector<MinRatioTask> tasks;
  std::vector<uint32_t> kept, string_of;
  for (uint32_t c = 0; c < clusters.size(); ++c) {
    auto& list = known[c];
    std::sort(list.begin(), list.end(),
              [](const KnownRatio& x, const KnownRatio& y) { return std::tie(x.i, x.j) < std::tie(y.i, y.j); });
    for (const KnownRatio& k : list)
      if (k.ratio < start_min[c]) start_min[c] = k.ratio;
    const auto& members = clusters[c].members;
    uint64_t m = members.size();
    if (list.size() == m * (m - 1) / 2) continue;
    representative_members(members, canonicals, kept, string_of);
    size_t next = 0;
    for (size_t x = 0; x < kept.size(); ++x) {
      uint64_t a = members[kept[x]];
      for (size_t y = x + 1; y < kept.size(); ++y) {
        uint64_t b = members[kept[y]];
        while (next < list.size() && std::tie(list[next].i, list[next].j) < std::tie(a, b)) ++next;
        if (next < list.size() && list[next].i == a && list[next].j == b) {
          ++next;
          continue;
        }
        if (string_of[x] == string_of[y]) continue;  // two copies of one string: ratio 1.0
        tasks.push_back({0.0, c, static_cast<uint32_t>(a), static_cast<uint32_t>(b)});
      }
    }
  }
  known = {};

  std::vector<std::atomic<uint64_t>> minima(clusters.size());
  for (size_t c = 0; c < clusters.size(); ++c) minima[c].store(std::bit_cast<uint64_t>(start_min[c]));

  if (!tasks.empty()) {
    const bool parallel = tasks.size() >= CLUSTER_PARALLEL_MIN;
    // Bounds: histograms of the canonicals that take part, then the lowest bounds first per cluster.
    std::vector<bool> marked(n, false);
    for (const MinRatioTask& t : tasks) marked[t.a] = marked[t.b] = true;
    auto histograms = detail::map_indices<CharHistogram>(
        n, parallel, [&](size_t k) { return marked[k] ? char_histogram(canonicals[k]) : CharHistogram{}; });
    for (MinRatioTask& t : tasks) t.bound = histogram_bound(histograms[t.a], histograms[t.b]);
    histograms = {};
    detail::sort_items(tasks, parallel, [](const MinRatioTask& x, const MinRatioTask& y) {
      auto xb = std::bit_cast<uint64_t>(x.bound), yb = std::bit_cast<uint64_t>(y.bound);
      return std::tie(x.cluster, xb, x.a, x.b) < std::tie(y.cluster, yb, y.a, y.b);
    });

    // Two waves: the lowest-bound task of every cluster first, then all the others.
    std::vector<MinRatioTask> first_wave, second_wave;
    for (const MinRatioTask& t : tasks) {
      if (first_wave.empty() || first_wave.back().cluster != t.cluster)
        first_wave.push_back(t);
      else
        second_wave.push_back(t);
    }
    tasks = {};
    auto lower = [&](const MinRatioTask& t) { lower_cluster_min(t, canonicals, slots, minima); };
    if (parallel) {
      std::vector<uint32_t> indexed;
      indexed.reserve(second_wave.size());
      for (const MinRatioTask& t : second_wave) indexed.push_back(t.b);
      detail::sort_items(indexed, true, std::less<uint32_t>{});
      indexed.erase(std::unique(indexed.begin(), indexed.end()), indexed.end());
      detail::for_each_item(indexed, true, [&](uint32_t k) { slots.match_index_of(k); });
    }
    detail::for_each_item(first_wave, parallel, lower);
    detail::for_each_item(second_wave, parallel, lower);
  }

  for (size_t c = 0; c < clusters.size(); ++c)
    clusters[c].min_ratio = std::bit_cast<double>(minima[c].load(std::memory_order_acquire));
  std::stable_sort(clusters.begin(), clusters.end(),
                   [](const Cluster& x, const Cluster& y) { return x.members.front() < y.members.front(); });
  return clusters;
}

}  // namespace simsieve
