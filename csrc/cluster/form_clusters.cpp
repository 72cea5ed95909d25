#include "cluster/form_clusters.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
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


// The member pairs of one cluster that still need a comparison, enumerated lazily: pairs of
// representative members (x < y in member order), minus pairs of two copies of one string and
// pairs whose ratio is known. The cursor lets the enumeration stop at a chunk boundary and resume.
struct TaskSource {
  uint32_t cluster = 0;
  std::vector<uint32_t> members;    // canonical indices, ascending
  std::vector<uint32_t> string_of;  // distinct string of each member
  std::vector<KnownRatio> known;    // sorted by (i, j)
  size_t x = 0, y = 1, next_known = 0;

  void rewind() { x = 0, y = 1, next_known = 0; }

  // Appends tasks to `out` until it holds `limit` tasks; true when this cluster has no more.
  bool fill(std::vector<MinRatioTask>& out, size_t limit) {
    for (; x < members.size(); ++x, y = x + 1) {
      const uint64_t a = members[x];
      for (; y < members.size(); ++y) {
        const uint64_t b = members[y];
        while (next_known < known.size() && std::tie(known[next_known].i, known[next_known].j) < std::tie(a, b))
          ++next_known;
        if (next_known < known.size() && known[next_known].i == a && known[next_known].j == b) {
          ++next_known;
          continue;
        }
        if (string_of[x] == string_of[y]) continue;  // two copies of one string: ratio 1.0
        if (out.size() == limit) return false;
        out.push_back({0.0, cluster, members[x], members[y]});
      }
    }
    return true;
  }
};

bool task_less(const MinRatioTask& x, const MinRatioTask& y) {
  auto xb = std::bit_cast<uint64_t>(x.bound), yb = std::bit_cast<uint64_t>(y.bound);
  return std::tie(x.cluster, xb, x.a, x.b) < std::tie(y.cluster, yb, y.a, y.b);
}

// Sets every task's bound and sorts the tasks by (cluster, bound, a, b): within a cluster, the
// pairs most likely to have a low ratio first.
void bound_and_sort(std::vector<MinRatioTask>& tasks, const std::vector<CharHistogram>& histograms) {
  const bool parallel = tasks.size() >= CLUSTER_PARALLEL_MIN;
  if (parallel)
    parallel_for_each(tasks.size(), [&](size_t k) {
      tasks[k].bound = histogram_bound(histograms[tasks[k].a], histograms[tasks[k].b]);
    });
  else
    for (MinRatioTask& t : tasks) t.bound = histogram_bound(histograms[t.a], histograms[t.b]);
  detail::sort_items(tasks, parallel, task_less);
}

// Builds the indexes of the distinct b of `tasks` up front, so that workers do not queue on a slot.
void warm_indexes(const std::vector<MinRatioTask>& tasks, MatchIndexTable& slots) {
  std::vector<uint32_t> indexed;
  indexed.reserve(tasks.size());
  for (const MinRatioTask& t : tasks) indexed.push_back(t.b);
  detail::sort_items(indexed, true, std::less<uint32_t>{});
  indexed.erase(std::unique(indexed.begin(), indexed.end()), indexed.end());
  detail::for_each_item(indexed, true, [&](uint32_t k) { slots.match_index_of(k); });
}

// Lowers every cluster's minimum over all its remaining pairs. The lowest-bound pair of every
// cluster goes first (a first wave), so that its minimum falls early and the limit of the other
// pairs rejects more of them cheaply. When the pairs do not fit one chunk of `task_chunk` tasks,
// they are enumerated twice, chunk by chunk: once to find each cluster's lowest-bound pair, once
// to run the rest; the result is the same, only the memory stays bounded.
void lower_all_minima(std::vector<TaskSource>& sources, uint64_t n, std::span<const CodepointView> canonicals,
                      MatchIndexTable& slots, std::span<std::atomic<uint64_t>> minima, size_t task_chunk) {
  std::vector<MinRatioTask> tasks;
  size_t source = 0;
  auto fill_chunk = [&] {
    tasks.clear();
    while (source < sources.size() && sources[source].fill(tasks, task_chunk)) ++source;
    return source == sources.size();
  };
  const bool single_chunk = fill_chunk();
  if (tasks.empty()) return;
  const bool parallel = !single_chunk || tasks.size() >= CLUSTER_PARALLEL_MIN;

  std::vector<bool> marked(n, false);
  if (single_chunk) {
    for (const MinRatioTask& t : tasks) marked[t.a] = marked[t.b] = true;
  } else {
    for (const TaskSource& s : sources)
      for (uint32_t m : s.members) marked[m] = true;
  }
  auto histograms = detail::map_indices<CharHistogram>(
      n, parallel, [&](size_t k) { return marked[k] ? char_histogram(canonicals[k]) : CharHistogram{}; });
  marked = {};
  auto lower = [&](const MinRatioTask& t) { lower_cluster_min(t, canonicals, slots, minima); };

  if (single_chunk) {
    bound_and_sort(tasks, histograms);
    std::vector<MinRatioTask> first_wave, second_wave;
    for (const MinRatioTask& t : tasks) {
      if (first_wave.empty() || first_wave.back().cluster != t.cluster)
        first_wave.push_back(t);
      else
        second_wave.push_back(t);
    }
    tasks = {};
    if (parallel) warm_indexes(second_wave, slots);
    detail::for_each_item(first_wave, parallel, lower);
    detail::for_each_item(second_wave, parallel, lower);
    return;
  }

  // Several chunks. First pass: the lowest-bound pair of every cluster.
  std::vector<std::optional<MinRatioTask>> lowest(minima.size());
  for (bool exhausted = false;;) {
    bound_and_sort(tasks, histograms);
    for (size_t k = 0; k < tasks.size(); ++k) {
      if (k > 0 && tasks[k].cluster == tasks[k - 1].cluster) continue;
      auto& low = lowest[tasks[k].cluster];
      if (!low || task_less(tasks[k], *low)) low = tasks[k];
    }
    if (exhausted) break;
    exhausted = fill_chunk();
  }
  std::vector<MinRatioTask> first_wave;
  for (const auto& low : lowest)
    if (low) first_wave.push_back(*low);
  detail::for_each_item(first_wave, true, lower);

  // Second pass: everything else, chunk by chunk.
  for (TaskSource& s : sources) s.rewind();
  source = 0;
  for (bool exhausted = false; !exhausted;) {
    exhausted = fill_chunk();
    std::erase_if(tasks, [&](const MinRatioTask& t) {
      const auto& low = lowest[t.cluster];
      return low && low->a == t.a && low->b == t.b;
    });
    bound_and_sort(tasks, histograms);
    warm_indexes(tasks, slots);
    detail::for_each_item(tasks, true, lower);
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

namespace detail {

std::vector<Cluster> form_clusters_chunked(uint64_t n, std::span<const ClusterEdge> edges,
                                           std::span<const CodepointView> canonicals, MatchIndexTable& slots,
                                           size_t task_chunk) {
  ensure(task_chunk > 0, "task chunk must not be empty");
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
  cluster_of = {};

  // Minimum from the known ratios; the clusters with pairs still to compare.
  std::vector<std::atomic<uint64_t>> minima(clusters.size());
  std::vector<TaskSource> sources;
  for (uint32_t c = 0; c < clusters.size(); ++c) {
    auto& list = known[c];
    std::sort(list.begin(), list.end(),
              [](const KnownRatio& x, const KnownRatio& y) { return std::tie(x.i, x.j) < std::tie(y.i, y.j); });
    double low = 1.0;
    for (const KnownRatio& k : list)
      if (k.ratio < low) low = k.ratio;  // a NaN ratio is ignored
    minima[c].store(std::bit_cast<uint64_t>(low));
    const auto& members = clusters[c].members;
    uint64_t m = members.size();
    if (list.size() == m * (m - 1) / 2) continue;  // complete: every pair known
    TaskSource& source = sources.emplace_back();
    source.cluster = c;
    source.known = std::move(list);
    std::vector<uint32_t> kept;
    representative_members(members, canonicals, kept, source.string_of);
    for (uint32_t position : kept) source.members.push_back(static_cast<uint32_t>(members[position]));
  }
  known = {};

  lower_all_minima(sources, n, canonicals, slots, minima, task_chunk);

  for (size_t c = 0; c < clusters.size(); ++c)
    clusters[c].min_ratio = std::bit_cast<double>(minima[c].load(std::memory_order_acquire));
  std::stable_sort(clusters.begin(), clusters.end(),
                   [](const Cluster& x, const Cluster& y) { return x.members.front() < y.members.front(); });
  return clusters;
}

}  // namespace detail

std::vector<Cluster> form_clusters(uint64_t n, std::span<const ClusterEdge> edges,
                                   std::span<const CodepointView> canonicals, MatchIndexTable& slots) {
  return detail::form_clusters_chunked(n, edges, canonicals, slots, MIN_RATIO_TASK_CHUNK);
}

}  // namespace simsieve
