#include "gestalt/sparse_ratio.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "gestalt/scratch.hpp"

namespace simsieve {
namespace {

struct Block {
  uint32_t i, j, k;
};

struct Range {
  uint32_t alo, ahi, blo, bhi;
};

// (b position + 1, run length) written into the row for one a position.
struct Touch {
  uint32_t slot, len;
};

struct SparseScratch : detail::ScratchArea {
  std::array<uint32_t, 129> start{};
  std::vector<uint32_t> positions;
  std::vector<uint32_t> row;
  std::vector<Touch> prev, cur;
  std::vector<Range> stack;
};

thread_local SparseScratch tls_sparse;

class SparseSearch {
 public:
  SparseSearch(SparseScratch& s, std::span<const uint32_t> a, std::span<const uint32_t> b,
               const AsciiHistogram& hist_b)
      : s_(s), a_(a) {
    s_.start[0] = 0;
    for (int c = 0; c < 128; ++c) s_.start[c + 1] = s_.start[c] + hist_b.counts[c];
    ensure(s_.start[128] == b.size(), "sparse index: histogram does not match b");
    s_.positions.resize(b.size());
    std::array<uint32_t, 128> next;
    std::copy(s_.start.begin(), s_.start.begin() + 128, next.begin());
    for (uint32_t j = 0; j < b.size(); ++j) s_.positions[next[b[j]]++] = j;
    s_.row.assign(b.size() + 1, 0);
    s_.prev.clear();
    s_.cur.clear();
  }

  // Longest common run inside the ranges; ties go to the run that ends first in a, then first
  // in b. (alo, blo, 0) when the ranges share no code point.
  Block longest_match(const Range& r) {
    Block best{r.alo, r.blo, 0};
    auto& prev = s_.prev;
    auto& cur = s_.cur;
    uint32_t* row = s_.row.data();
    const uint32_t* pos = s_.positions.data();
    for (uint32_t x = r.alo; x < r.ahi; ++x) {
      uint32_t c = a_[x];
      const uint32_t* first = pos + s_.start[c];
      const uint32_t* last = pos + s_.start[c + 1];
      const uint32_t* it = (last - first > 8) ? std::lower_bound(first, last, r.blo) : first;
      while (it != last && *it < r.blo) ++it;
      cur.clear();
      for (; it != last && *it < r.bhi; ++it) {
        uint32_t y = *it;
        uint32_t k = row[y] + 1;
        cur.push_back({y + 1, k});
        if (k > best.k) best = {x - k + 1, y - k + 1, k};
      }
      for (const Touch& t : prev) row[t.slot] = 0;
      for (const Touch& t : cur) row[t.slot] = t.len;
      std::swap(prev, cur);
    }
    for (const Touch& t : prev) row[t.slot] = 0;
    prev.clear();
    return best;
  }

 private:
  SparseScratch& s_;
  std::span<const uint32_t> a_;
};

}  // namespace

AsciiHistogram ascii_histogram(std::span<const uint32_t> s) {
  AsciiHistogram h;
  uint32_t high = 0;
  for (uint32_t c : s) {
    if (c < 128) {
      ++h.counts[c];
    } else {
      high = 1;
    }
  }
  h.non_ascii = high != 0;
  return h;
}

uint64_t sparse_match_count(std::span<const uint32_t> a, std::span<const uint32_t> b, const AsciiHistogram& hist_b) {
  detail::ScratchLease lease(tls_sparse, "sparse ratio scratch re-entered");
  SparseSearch search(*lease, a, b, hist_b);
  auto& stack = lease->stack;
  stack.clear();
  stack.push_back({0, static_cast<uint32_t>(a.size()), 0, static_cast<uint32_t>(b.size())});
  uint64_t m = 0;
  while (!stack.empty()) {
    Range r = stack.back();
    stack.pop_back();
    Block blk = search.longest_match(r);
    if (blk.k == 0) continue;
    m += blk.k;
    if (r.alo < blk.i && r.blo < blk.j) stack.push_back({r.alo, blk.i, r.blo, blk.j});
    if (blk.i + blk.k < r.ahi && blk.j + blk.k < r.bhi) stack.push_back({blk.i + blk.k, r.ahi, blk.j + blk.k, r.bhi});
  }
  return m;
}

double sparse_ratio(std::span<const uint32_t> a, std::span<const uint32_t> b, const AsciiHistogram& hist_b) {
  uint64_t m = sparse_match_count(a, b, hist_b);
  return static_cast<double>(m) * 2.0 / static_cast<double>(a.size() + b.size());
}

}  // namespace simsieve
