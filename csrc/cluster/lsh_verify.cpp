#include "cluster/lsh_verify.hpp"

#include <algorithm>
#include <optional>

#include "cluster/lsh_banding.hpp"
#include "gestalt/lcs_bound.hpp"
#include "pool/parallel.hpp"

namespace simsieve {
namespace {

// Below this many candidates verification runs on the calling thread.
constexpr size_t kParallelMin = 32;
// Candidates per piece of the parallel verification.
constexpr size_t kPieceMin = 64;

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
  auto verdict = [&](size_t k) -> std::optional<PairVerdict> {
    if (progress && (k & 63) == 63) progress->add(64);
    const uint32_t s = CandidateSet::lo_of(candidates[k]);
    const uint32_t t = CandidateSet::hi_of(candidates[k]);
    PairVerdict v;
    v.s = s;
    v.t = t;
    const CodepointView a = strings.text[s], b = strings.text[t];
    Reach fwd = verify_pair(a, strings.index[t], b, threshold);
    v.forward = fwd.reached;
    v.forward_ratio = fwd.ratio;
    if (strings.first[t] < strings.last[s]) {
      // With one side empty the verdict does not depend on the orientation.
      Reach bwd = (a.empty() || b.empty()) ? fwd : verify_pair(b, strings.index[s], a, threshold);
      v.backward = bwd.reached;
      v.backward_ratio = bwd.ratio;
    }
    if (!v.forward && !v.backward) return std::nullopt;
    return v;
  };
  if (candidates.size() < kParallelMin) {
    std::vector<PairVerdict> out;
    for (size_t k = 0; k < candidates.size(); ++k)
      if (auto v = verdict(k)) out.push_back(*v);
    return out;
  }
  return parallel_filter_map<PairVerdict>(candidates.size(), verdict, with_min_len(kPieceMin));
}

}  // namespace simsieve
