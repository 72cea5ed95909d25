#include "gestalt/gestalt.hpp"

#include <vector>

#include "gestalt/codepoints.hpp"
#include "gestalt/match_count.hpp"
#include "gestalt/match_index.hpp"
#include "gestalt/scratch.hpp"
#include "gestalt/sparse_ratio.hpp"
#include "gestalt/work_factor.hpp"

namespace simsieve {
namespace {

// Decoded code points of the two strings of one call.
struct PairBuffers : detail::ScratchArea {
  std::vector<uint32_t> a, b;
};

double ratio_of(uint64_t m, size_t total) { return static_cast<double>(m + m) / static_cast<double>(total); }

double index_path(std::span<const uint32_t> a, std::span<const uint32_t> b) {
  if (a.empty() || b.empty()) return 0.0;
  const MatchIndex index = build_match_index(b);
  return ratio_of(count_matches(a, index, b), a.size() + b.size());
}

uint64_t saturating_mul(uint64_t x, uint64_t y) {
  uint64_t r;
  return __builtin_mul_overflow(x, y, &r) ? UINT64_MAX : r;
}

}  // namespace

double gestalt_ratio(std::string_view as, std::string_view bs) {
  detail::ScratchLease lease(detail::thread_area<PairBuffers>(), "ratio buffers re-entered");
  decode_utf8_into(as, lease->a);
  decode_utf8_into(bs, lease->b);
  const std::span<const uint32_t> a = lease->a, b = lease->b;
  const size_t total = a.size() + b.size();
  if (total == 0) return 1.0;
  // UTF-8 spends one byte on a code point exactly when it is ASCII.
  if (a.size() != as.size() || b.size() != bs.size()) return index_path(a, b);
  AsciiHistogram hb;
  for (uint32_t c : b) ++hb.counts[c];
  // Equal-code-point position pairs (the sparse search's cost per recursion level): the sum over
  // c of count_a(c) * count_b(c), summed here position by position over a.
  uint64_t pairs = 0;
  for (uint32_t c : a) pairs += hb.counts[c];
  if (pairs <= saturating_mul(work_factor(), total)) {
    if (a.empty() || b.empty()) return 0.0;
    return sparse_ratio(a, b, hb);
  }
  return index_path(a, b);
}

// Declared in match_count.hpp; lives here to share the per-thread decode buffers.
double indexed_ratio(std::string_view as, std::string_view bs) {
  detail::ScratchLease lease(detail::thread_area<PairBuffers>(), "ratio buffers re-entered");
  decode_utf8_into(as, lease->a);
  decode_utf8_into(bs, lease->b);
  if (lease->a.empty() && lease->b.empty()) return 1.0;
  return index_path(lease->a, lease->b);
}

}  // namespace simsieve
