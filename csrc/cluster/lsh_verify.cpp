#include "cluster/lsh_verify.hpp"

#include <algorithm>
#include <memory>
#include <optional>

#include "cluster/lsh_banding.hpp"
#include "gestalt/lcs_bound.hpp"
#include "pool/parallel.hpp"

namespace simsieve {
namespace {

// Below this many candidates verification runs on the calling thread.
constexpr size_t kParallelMin = 32;

}  // namespace

Reach verify_pair(CodepointView a, const MatchIndex& index, CodepointView b, double t) {
  const uint64_t total = a.size() + b.size();
  if (total == 0) return {true, 1.0};
  if (a.empty() || b.empty()) {
    if (need_for(t, total) == 0) return {true, 0.0};
    return {false, 0.0};
  }
  return ratio_reaches(a, index, b, t);
}

bool may_reach(CodepointView a, const CharHistogram& ha, CodepointView b, const CharHistogram& hb, double t) {
  if (a.empty() || b.empty()) return true;
  const uint64_t need = need_for(t, a.size() + b.size());
  return std::min<uint64_t>(a.size(), b.size()) >= need && histogram_overlap(ha, hb) >= need &&
         lcs_may_reach(a, b, need);
}

std::vector<uint64_t> plausible_candidates(std::span<const uint64_t> candidates, std::span<const CodepointView> text,
                                           std::span<const CharHistogram> histogram, double threshold) {
  auto keep = [&](uint64_t key) {
    const uint32_t s = CandidateSet::lo_of(key), t = CandidateSet::hi_of(key);
    return may_reach(text[s], histogram[s], text[t], histogram[t], threshold);
  };
  std::vector<uint64_t> out;
  if (candidates.size() < kParallelMin) {
    for (uint64_t key : candidates)
      if (keep(key)) out.push_back(key);
    return out;
  }
  return parallel_filter_map<uint64_t>(
      candidates.size(), [&](size_t k) -> std::optional<uint64_t> {
        if (keep(candidates[k])) return candidates[k];
        return std::nullopt;
      },
      with_min_len(1024));
}

std::vector<PairVerdict> verify_candidates(std::span<const uint64_t> candidates, const DistinctStrings& strings,
                                           double threshold, PhaseCounter* progress) {
  // The candidates by their later string, so that each string's match index is built once for all
  // its pairs, into the worker's own storage, and dropped afterwards: kept for every string, the
  // indexes would take many times the memory of the strings themselves.
  std::vector<uint64_t> by_later(candidates.size());
  for (size_t k = 0; k < candidates.size(); ++k)
    by_later[k] = (uint64_t{CandidateSet::hi_of(candidates[k])} << 32) | CandidateSet::lo_of(candidates[k]);
  const bool parallel = candidates.size() >= kParallelMin;
  if (parallel)
    parallel_sort(by_later);
  else
    std::sort(by_later.begin(), by_later.end());
  std::vector<size_t> runs;
  for (size_t k = 0; k < by_later.size(); ++k)
    if (k == 0 || (by_later[k] >> 32) != (by_later[k - 1] >> 32)) runs.push_back(k);
  runs.push_back(by_later.size());
  const size_t run_count = runs.size() - 1;

  auto verify_run = [&](size_t r) {
    // Held through pointers: whole indexes in thread-local storage would take the loader's small
    // static TLS block of a module loaded at run time.
    thread_local std::unique_ptr<MatchIndex> later_index, earlier_index;
    if (!later_index) later_index = std::make_unique<MatchIndex>();
    if (!earlier_index) earlier_index = std::make_unique<MatchIndex>();
    std::vector<PairVerdict> out;
    const auto t = static_cast<uint32_t>(by_later[runs[r]] >> 32);
    const CodepointView b = strings.text[t];
    build_match_index_into(b, *later_index);
    for (size_t k = runs[r]; k < runs[r + 1]; ++k) {
      const auto s = static_cast<uint32_t>(by_later[k]);
      PairVerdict v;
      v.s = s;
      v.t = t;
      const CodepointView a = strings.text[s];
      Reach fwd = verify_pair(a, *later_index, b, threshold);
      v.forward = fwd.reached;
      v.forward_ratio = fwd.ratio;
      if (strings.first[t] < strings.last[s]) {
        // With one side empty the verdict does not depend on the orientation.
        Reach bwd = fwd;
        if (!a.empty() && !b.empty()) {
          build_match_index_into(a, *earlier_index);
          bwd = verify_pair(b, *earlier_index, a, threshold);
        }
        v.backward = bwd.reached;
        v.backward_ratio = bwd.ratio;
      }
      if (v.forward || v.backward) out.push_back(v);
    }
    if (progress) progress->add(runs[r + 1] - runs[r]);
    return out;
  };
  std::vector<PairVerdict> verdicts;
  if (!parallel || run_count < 2) {
    for (size_t r = 0; r < run_count; ++r) {
      std::vector<PairVerdict> part = verify_run(r);
      verdicts.insert(verdicts.end(), part.begin(), part.end());
    }
  } else {
    std::vector<std::vector<PairVerdict>> parts = parallel_map_collect<std::vector<PairVerdict>>(run_count, verify_run);
    size_t total = 0;
    for (const auto& part : parts) total += part.size();
    verdicts.reserve(total);
    for (auto& part : parts) {
      verdicts.insert(verdicts.end(), part.begin(), part.end());
      part = {};
    }
  }
  // Back to key order.
  auto key_less = [](const PairVerdict& x, const PairVerdict& y) { return x.s != y.s ? x.s < y.s : x.t < y.t; };
  if (verdicts.size() >= kParallelMin)
    parallel_sort(verdicts, key_less);
  else
    std::sort(verdicts.begin(), verdicts.end(), key_less);
  return verdicts;
}

}  // namespace simsieve
