#include "gestalt/sparse_ratio.hpp"

#include <algorithm>
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

// The rows of run lengths are stamped instead of reset: entry y + 1 holds (stamp << 32 | length)
// of the run ending at b position y, valid only when its stamp is the one of the previous a
// position of the current search. Stamps grow across searches and calls, so a search costs the
// position pairs it visits and never clears the row.
struct SparseScratch : detail::ScratchArea {
  // Run of each code point in positions; [0, 0) outside a call.
  std::array<uint32_t, 128> run_begin{}, run_end{};
  std::vector<uint32_t> positions;
  std::vector<uint64_t> rows[2];  // alternate by a position: read the previous, write the current
  std::vector<Range> stack;
  uint64_t clock = 0;
};

class SparseSearch {
 public:
  SparseSearch(SparseScratch& s, std::span<const uint32_t> a, std::span<const uint32_t> b,
               const AsciiHistogram& hist_b)
      : s_(s), a_(a) {
    // Counting sort of b's positions by code point, in one pass: a code point gets its run of
    // slots when first seen. Runs of code points absent from b stay empty ([0, 0)), and only the
    // runs that were used are cleared again afterwards, so the cost is O(lb) whatever the
    // alphabet.
    if (s_.positions.size() < b.size()) s_.positions.resize(b.size());
    uint32_t* pos = s_.positions.data();
    uint32_t* begin = s_.run_begin.data();
    uint32_t* end = s_.run_end.data();
    uint32_t cursor = 0;
    const auto lb = static_cast<uint32_t>(b.size());
    for (uint32_t j = 0; j < lb; ++j) {
      const uint32_t c = b[j];
      const uint64_t bit = uint64_t{1} << (c & 63);
      if (!(seen_[c >> 6] & bit)) {
        seen_[c >> 6] |= bit;
        begin[c] = cursor;
        end[c] = cursor;
        cursor += hist_b.counts[c];
      }
      pos[end[c]++] = j;
    }
    ensure(cursor == lb, "sparse index: histogram does not match b");
    for (auto& row : s_.rows) {
      if (row.size() < b.size() + 1) row.resize(b.size() + 1, 0);
    }
  }

  ~SparseSearch() {
    for (int half = 0; half < 2; ++half) {
      for (uint64_t m = seen_[half]; m; m &= m - 1) {
        const int c = half * 64 + __builtin_ctzll(m);
        s_.run_begin[c] = 0;
        s_.run_end[c] = 0;
      }
    }
  }
  SparseSearch(const SparseSearch&) = delete;
  SparseSearch& operator=(const SparseSearch&) = delete;

  // Longest common run inside the ranges; ties go to the run that ends first in a, then first
  // in b. (alo, blo, 0) when the ranges share no code point.
  Block longest_match(const Range& r) {
    Block best{r.alo, r.blo, 0};
    uint64_t* rows[2] = {s_.rows[0].data(), s_.rows[1].data()};
    const uint32_t* pos = s_.positions.data();
    const uint32_t* run_begin = s_.run_begin.data();
    const uint32_t* run_end = s_.run_end.data();
    // Stamp of a position x is base + (x - alo) + 1; base itself was never handed out.
    if (s_.clock + (r.ahi - r.alo) + 3 >= 0xFFFFFFFFull) {
      // Stamps are 32-bit: start over with a clean row (between searches nothing in it is live).
      for (auto& row : s_.rows) std::fill(row.begin(), row.end(), 0);
      s_.clock = 0;
    }
    const uint64_t base = s_.clock + 1;
    s_.clock = base + (r.ahi - r.alo) + 1;
    uint64_t prev_stamp = base << 32;
    for (uint32_t x = r.alo; x < r.ahi; ++x) {
      const uint64_t stamp = prev_stamp + (uint64_t{1} << 32);
      const uint64_t* prev = rows[(x + 1) & 1];
      uint64_t* cur = rows[x & 1];
      const uint32_t c = a_[x];
      const uint32_t* it = pos + run_begin[c];
      const uint32_t* last = pos + run_end[c];
      if (r.blo > 0 && it != last && *it < r.blo) {
        it = last - it > 16 ? std::lower_bound(it, last, r.blo) : it;
        while (it != last && *it < r.blo) ++it;
      }
      for (; it != last && *it < r.bhi; ++it) {
        const uint32_t y = *it;
        const uint64_t before = prev[y];
        const uint32_t k = ((before & 0xFFFFFFFF00000000ull) == prev_stamp ? static_cast<uint32_t>(before) : 0) + 1;
        cur[y + 1] = stamp | k;
        if (k > best.k) best = {x - k + 1, y - k + 1, k};
      }
      prev_stamp = stamp;
    }
    return best;
  }

 private:
  SparseScratch& s_;
  std::span<const uint32_t> a_;
  uint64_t seen_[2] = {0, 0};  // code points of b
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
  detail::ScratchLease lease(detail::thread_area<SparseScratch>(), "sparse ratio scratch re-entered");
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
