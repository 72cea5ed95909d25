#include "cluster/batch_kernels.hpp"

#include <algorithm>
#include <atomic>
#include <bit>

#include "cluster/block_minimum.hpp"
#include "cluster/char_histogram.hpp"
#include "cluster/form_clusters.hpp"
#include "cluster/lazy_match_index.hpp"
#include "cluster/lsh_banding.hpp"
#include "cluster/lsh_verify.hpp"
#include "cluster/minhash.hpp"
#include "common/internal_error.hpp"
#include "gestalt/codepoints.hpp"
#include "pool/parallel.hpp"

namespace simsieve {
namespace {

// Below this many items a step runs on the calling thread.
constexpr size_t kParallelMin = 32;

// Code points of the strings flagged in `used`, empty for the others.
std::vector<std::vector<uint32_t>> decode_used(std::span<const std::string> texts, const std::vector<uint8_t>& used) {
  auto decode = [&](size_t k) { return used[k] ? decode_utf8(texts[k]) : std::vector<uint32_t>{}; };
  if (texts.size() < kParallelMin) {
    std::vector<std::vector<uint32_t>> out;
    for (size_t k = 0; k < texts.size(); ++k) out.push_back(decode(k));
    return out;
  }
  return parallel_map_collect<std::vector<uint32_t>>(texts.size(), decode, with_min_len(64));
}

// One oriented pair of a member block (a scanned against b's index) and its histogram bound.
struct MinRatioTask {
  double bound = 0.0;
  uint32_t cluster = 0;
  uint32_t a = 0;
  uint32_t b = 0;
};

// Lowers the minimum (the bit pattern of a double in minima[task.cluster]) to the task's ratio
// when that is below it.
void lower_cluster_min(const MinRatioTask& task, std::span<const CodepointView> canonicals, MatchIndexTable& slots,
                       std::span<std::atomic<uint64_t>> minima) {
  std::atomic<uint64_t>& cell = minima[task.cluster];
  const double r = std::bit_cast<double>(cell.load(std::memory_order_acquire));
  const uint64_t bits = std::bit_cast<uint64_t>(ratio_below(canonicals, slots, task.a, task.b, r));
  uint64_t current = cell.load(std::memory_order_relaxed);
  while (bits < current && !cell.compare_exchange_weak(current, bits, std::memory_order_acq_rel)) {
  }
}

}  // namespace

uint64_t batch_band_count(uint64_t num_perm, uint64_t band_rows) { return band_count(1, num_perm, band_rows); }

std::vector<uint64_t> batch_band_hashes(std::span<const std::string> texts, uint64_t num_perm, uint64_t band_rows) {
  const uint64_t bands = batch_band_count(num_perm, band_rows);
  const size_t n = texts.size();
  if (bands == 0 || n == 0) return {};
  const MinHashParams params = minhash_params(bands * band_rows);
  std::vector<uint64_t> out(n * bands);
  auto piece = [&](size_t begin, size_t end) {
    std::vector<uint64_t> shingles;
    for (size_t k = begin; k < end; ++k) {
      shingle_hashes(texts[k], shingles);
      minhash_band_hashes(shingles, params, band_rows, out.data() + k * bands, 1);
    }
  };
  if (n < kParallelMin)
    piece(0, n);
  else
    parallel_for_each_range(n, piece, with_min_len(16));
  return out;
}

std::vector<Reach> batch_verify_pairs(std::span<const std::string> texts, std::span<const uint32_t> lo,
                                      std::span<const uint32_t> hi, double t) {
  ensure(lo.size() == hi.size(), "pair lists of different lengths");
  const size_t n = texts.size(), m = lo.size();
  std::vector<uint8_t> used(n, 0), indexed(n, 0);
  for (size_t k = 0; k < m; ++k) {
    ensure(lo[k] < n && hi[k] < n, "pair names a string out of range");
    used[lo[k]] = used[hi[k]] = 1;
    indexed[hi[k]] = 1;
  }
  const std::vector<std::vector<uint32_t>> code_points = decode_used(texts, used);
  const std::vector<CodepointView> text = codepoint_views(code_points);
  auto histogram = [&](size_t k) { return used[k] ? char_histogram(text[k]) : CharHistogram{}; };
  auto build = [&](size_t k) { return indexed[k] ? build_match_index(text[k]) : MatchIndex{}; };
  std::vector<CharHistogram> histograms;
  std::vector<MatchIndex> indexes;
  if (n < kParallelMin) {
    for (size_t k = 0; k < n; ++k) histograms.push_back(histogram(k));
    for (size_t k = 0; k < n; ++k) indexes.push_back(build(k));
  } else {
    histograms = parallel_map_collect<CharHistogram>(n, histogram, with_min_len(64));
    indexes = parallel_map_collect<MatchIndex>(n, build, with_min_len(8));
  }
  auto verdict = [&](size_t k) -> Reach {
    const uint32_t a = lo[k], b = hi[k];
    if (!may_reach(text[a], histograms[a], text[b], histograms[b], t)) return {false, 0.0};
    return verify_pair(text[a], indexes[b], text[b], t);
  };
  if (m < kParallelMin) {
    std::vector<Reach> out;
    for (size_t k = 0; k < m; ++k) out.push_back(verdict(k));
    return out;
  }
  return parallel_map_collect<Reach>(m, verdict, with_min_len(64));
}

double block_min_ratio(const MemberBlock& block, double upper) {
  const size_t n = block.texts.size();
  ensure(block.first.size() == n && block.last.size() == n, "member tables of different lengths");
  ensure(block.row_begin <= block.row_end && block.row_end <= n && block.col_begin <= block.col_end &&
             block.col_end <= n,
         "member block out of range");
  // The meetings of the block as tasks of one cluster, each with the lower position first.
  std::vector<MinRatioTask> tasks;
  for (uint64_t s = block.row_begin; s < block.row_end; ++s)
    for (uint64_t t = std::max(block.col_begin, s + 1); t < block.col_end; ++t) {
      tasks.push_back({0.0, 0, static_cast<uint32_t>(s), static_cast<uint32_t>(t)});
      if (block.first[t] < block.last[s]) tasks.push_back({0.0, 0, static_cast<uint32_t>(t), static_cast<uint32_t>(s)});
    }
  std::atomic<uint64_t> cell{std::bit_cast<uint64_t>(upper < 1.0 ? std::max(upper, 0.0) : 1.0)};
  if (tasks.empty()) return std::bit_cast<double>(cell.load());
  std::vector<uint8_t> used(n, 0);
  for (const MinRatioTask& task : tasks) used[task.a] = used[task.b] = 1;
  const std::vector<std::vector<uint32_t>> code_points = decode_used(block.texts, used);
  const std::vector<CodepointView> text = codepoint_views(code_points);
  // Lowest histogram bound first, so that the minimum falls early and later pairs stop at the cap.
  {
    std::vector<CharHistogram> histograms(n);
    for (size_t k = 0; k < n; ++k)
      if (used[k]) histograms[k] = char_histogram(text[k]);
    for (MinRatioTask& task : tasks) task.bound = histogram_bound(histograms[task.a], histograms[task.b]);
    std::sort(tasks.begin(), tasks.end(), [](const MinRatioTask& x, const MinRatioTask& y) {
      if (x.bound != y.bound) return x.bound < y.bound;
      return x.a != y.a ? x.a < y.a : x.b < y.b;
    });
  }
  MatchIndexTable slots(text);
  std::span<std::atomic<uint64_t>> minima(&cell, 1);
  lower_cluster_min(tasks.front(), text, slots, minima);
  const size_t rest = tasks.size() - 1;
  auto lower = [&](size_t k) { lower_cluster_min(tasks[k + 1], text, slots, minima); };
  if (rest < kParallelMin) {
    for (size_t k = 0; k < rest; ++k) lower(k);
  } else {
    parallel_for_each(rest, lower, with_min_len(16));
  }
  return std::bit_cast<double>(cell.load());
}

}  // namespace simsieve
