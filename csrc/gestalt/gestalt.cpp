#include "gestalt/gestalt.hpp"

#include <algorithm>
#include <vector>

#include "gestalt/codepoints.hpp"
#include "gestalt/match_count.hpp"
#include "gestalt/match_index.hpp"
#include "gestalt/scratch.hpp"
#include "gestalt/sparse_ratio.hpp"
#include "gestalt/work_factor.hpp"

namespace simsieve {
namespace {

// Decoded code points of the two strings of one call. The buffers only grow, so that a call
// neither allocates nor clears anything once they are large enough.
struct PairBuffers : detail::ScratchArea {
  std::vector<uint32_t> a_buffer, b_buffer;
  std::span<const uint32_t> a, b;

  void decode(std::string_view as, std::string_view bs) {
    if (a_buffer.size() < as.size()) a_buffer.resize(std::max(as.size(), 2 * a_buffer.size()));
    if (b_buffer.size() < bs.size()) b_buffer.resize(std::max(bs.size(), 2 * b_buffer.size()));
    a = {a_buffer.data(), decode_utf8_to(as, a_buffer.data())};
    b = {b_buffer.data(), decode_utf8_to(bs, b_buffer.data())};
  }
};

double ratio_of(uint64_t m, size_t total) { return static_cast<double>(m + m) / static_cast<double>(total); }

// The index of b for one comparison, rebuilt in place call after call.
struct IndexArea : detail::ScratchArea {
  MatchIndex index;
};

double index_path(std::span<const uint32_t> a, std::span<const uint32_t> b) {
  if (a.empty() || b.empty()) return 0.0;
  detail::ScratchLease lease(detail::thread_area<IndexArea>(), "ratio index re-entered");
  build_match_index_into(b, lease->index);
  return ratio_of(count_matches(a, lease->index, b), a.size() + b.size());
}

uint64_t saturating_mul(uint64_t x, uint64_t y) {
  uint64_t r;
  return __builtin_mul_overflow(x, y, &r) ? UINT64_MAX : r;
}

}  // namespace

double gestalt_ratio(std::string_view as, std::string_view bs) {
  detail::ScratchLease lease(detail::thread_area<PairBuffers>(), "ratio buffers re-entered");
  lease->decode(as, bs);
  const std::span<const uint32_t> a = lease->a, b = lease->b;
  const size_t total = a.size() + b.size();
  if (total == 0) return 1.0;
  // UTF-8 spends one byte on a code point exactly when it is ASCII.
  if (a.size() != as.size() || b.size() != bs.size()) return index_path(a, b);
  const uint64_t budget = saturating_mul(work_factor(), total);
  if (b.size() <= kShortSparse && uint64_t{a.size()} * b.size() <= budget) {
    // Equal-code-point pairs cannot exceed la * lb, so the sparse path is the choice without
    // counting them; a short b needs no position index either.
    if (a.empty() || b.empty()) return 0.0;
    return ratio_of(sparse_match_count_short(a, b), total);
  }
  AsciiHistogram hb;
  for (uint32_t c : b) ++hb.counts[c];
  // Equal-code-point position pairs (the sparse search's cost per recursion level): the sum over
  // c of count_a(c) * count_b(c), summed here position by position over a.
  uint64_t pairs = 0;
  for (uint32_t c : a) pairs += hb.counts[c];
  if (pairs <= budget) {
    if (a.empty() || b.empty()) return 0.0;
    return sparse_ratio(a, b, hb);
  }
  return index_path(a, b);
}

// Declared in match_count.hpp; lives here to share the per-thread decode buffers.
double indexed_ratio(std::string_view as, std::string_view bs) {
  detail::ScratchLease lease(detail::thread_area<PairBuffers>(), "ratio buffers re-entered");
  lease->decode(as, bs);
  if (lease->a.empty() && lease->b.empty()) return 1.0;
  return index_path(lease->a, lease->b);
}

}  // namespace simsieve
