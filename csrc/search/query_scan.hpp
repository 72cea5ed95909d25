// One query prepared for scanning many choices: its code points, its match index, and its
// character counts; and the exact per-choice test that a scan runs, cheapest bound first.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "gestalt/lcs_bound.hpp"
#include "gestalt/match_index.hpp"
#include "search/choice_set.hpp"

namespace simsieve {

// The smallest match count M with (2M) / total >= t as doubles (the exact comparison of the
// ratio with t); kNeverReached when no M does (t above 1, NaN, or total = 0 with t above 1).
inline constexpr uint64_t kNeverReached = UINT64_MAX;
uint64_t exact_need(double t, uint64_t total);

// The ratio 2M / total as the ratio engine computes it (1.0 for two empty strings).
inline double score_of(uint64_t m, uint64_t total) {
  return total == 0 ? 1.0 : static_cast<double>(m + m) / static_cast<double>(total);
}

// The code point lengths of the window of choices that the length bound allows at cutoff t for
// a query of lq code points: [lo, hi], empty when lo > hi.
std::pair<uint64_t, uint64_t> length_window(uint64_t lq, double t);

// Character counts folded into 16 buckets (code point mod 16). The sum over buckets of the
// smaller of two strings' counts bounds their matches from above like the full histogram does,
// only less tightly, and costs 16 operations: many-query scans test it before the exact
// histogram bound. A string with a bucket above 65535 gets the all-0xFFFF signature, which
// rules nothing out.
struct BucketSignature {
  static constexpr size_t kBuckets = 16;
  std::array<uint16_t, kBuckets> counts{};
};
BucketSignature bucket_signature(std::string_view utf8, bool ascii);
// sum over buckets of min(x, y).
inline uint32_t bucket_overlap(const BucketSignature& x, const BucketSignature& y) {
  uint32_t sum = 0;
  for (size_t b = 0; b < BucketSignature::kBuckets; ++b) sum += x.counts[b] < y.counts[b] ? x.counts[b] : y.counts[b];
  return sum;
}

class PreparedQuery {
 public:
  explicit PreparedQuery(std::string_view utf8);

  uint32_t length() const { return static_cast<uint32_t>(cps_.size()); }
  std::span<const uint32_t> code_points() const { return cps_; }
  const MatchIndex& index() const { return index_; }
  const LcsPattern& lcs_pattern() const { return lcs_; }

  // Character slots: ASCII code points are their own slot, the query's other code points follow
  // from 128 in ascending order; a code point absent from the query has no slot.
  size_t slot_count() const { return counts_.size(); }
  const std::vector<uint32_t>& counts() const { return counts_; }
  std::optional<uint32_t> slot_of(uint32_t cp) const;
  const BucketSignature& signature() const { return signature_; }
  // 1 for every byte value that is no ASCII character of the query, 0 for those that are: the
  // characters of an ASCII choice that can match nothing.
  const std::array<uint8_t, 256>& foreign_bytes() const { return foreign_; }

 private:
  std::vector<uint32_t> cps_;
  MatchIndex index_;
  LcsPattern lcs_;
  std::vector<uint32_t> counts_;
  std::vector<uint32_t> wide_;  // the query's code points >= 128, ascending, one per slot from 128
  BucketSignature signature_;
  std::array<uint8_t, 256> foreign_;
};

// Per-thread working state of a scan of one query: runs the bounds and the ratio on one choice.
class QueryScanner {
 public:
  explicit QueryScanner(const PreparedQuery& query);

  // The match count M of the choice when M >= need, otherwise nullopt. The caller passes
  // need = exact_need(t, lq + lc) for its cutoff t (the same for every choice of one length),
  // after its own length bound: need is no kNeverReached and at most min(lq, lc).
  std::optional<uint64_t> reaches(std::string_view text, uint32_t length, bool ascii, uint64_t need);

 private:
  std::span<const uint32_t> decode(std::string_view text, bool ascii);

  const PreparedQuery& query_;
  std::vector<uint32_t> counts_;     // the query's counts per slot, then 0 for the absent slot
  std::vector<uint32_t> remaining_;  // the same, used up by one choice and restored after it
  uint32_t absent_slot_ = 0;
  std::vector<uint32_t> cps_;        // the current choice's code points
  std::vector<uint32_t> slots_;      // the current choice's slots (kNoSlot when absent from the query)
  std::vector<uint64_t> lcs_scratch_;
};

}  // namespace simsieve
