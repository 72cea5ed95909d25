#include "gestalt/sparse_ratio.hpp"

#include <algorithm>
#include <vector>

#include "gestalt/scratch.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
  std::vector<uint32_t> cap;  // per a position: bound on a run ending there in later searches
  std::vector<uint64_t> grams;  // hashed bitmap of b's q-grams
  uint64_t clock = 0;
};

class SparseSearch {
 public:
  static constexpr uint32_t kGram = 6;
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
    seed_caps(b);
    for (auto& row : s_.rows) {
      if (row.size() < b.size() + 1) row.resize(b.size() + 1, 0);
    }
  }

  // Initial caps from the q-grams of b: a common run of length L ending at x makes each of the
  // L - kGram + 1 q-grams that end at x, x - 1, ... occur in b, so the number g of consecutive
  // q-grams ending at x that b may hold (by a hashed bitmap, whose collisions only loosen the
  // bound) gives L <= g + kGram - 1. Near an edit, or where a strays from everything in b, this is
  // close to the true run, and the search skips what cannot beat the best run found.
  void seed_caps(std::span<const uint32_t> b) {
    const auto la = static_cast<uint32_t>(a_.size());
    const auto lb = static_cast<uint32_t>(b.size());
    s_.cap.assign(la, 0xFFFFFFFFu);
    if (la < 2 * kGram || lb < kGram) return;
    unsigned bits = 12;
    while (bits < 22 && (uint64_t{1} << bits) < uint64_t{8} * lb) ++bits;
    const size_t words = size_t{1} << (bits - 6);
    if (s_.grams.size() < words) s_.grams.resize(words);
    uint64_t* map = s_.grams.data();
    std::fill(map, map + words, 0);
    const unsigned shift = 64 - bits;
    uint64_t w = 0;
    constexpr uint64_t kMask = (uint64_t{1} << (7 * kGram)) - 1;
    for (uint32_t j = 0; j < lb; ++j) {
      w = ((w << 7) | b[j]) & kMask;
      if (j + 1 >= kGram) {
        const uint64_t h = (w * 0x9E3779B97F4A7C15ull) >> shift;
        map[h >> 6] |= uint64_t{1} << (h & 63);
      }
    }
    uint32_t* cap = s_.cap.data();
    uint32_t run = 0;
    w = 0;
    for (uint32_t x = 0; x < la; ++x) {
      w = ((w << 7) | a_[x]) & kMask;
      if (x + 1 < kGram) continue;
      const uint64_t h = (w * 0x9E3779B97F4A7C15ull) >> shift;
      run = (map[h >> 6] >> (h & 63)) & 1 ? run + 1 : 0;
      cap[x] = run + (kGram - 1);
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
    uint32_t* cap = s_.cap.data();
    // Positions from exact_from on have exact row values (no skipped position right before them).
    uint32_t exact_from = r.alo;
    uint32_t dense_until = r.alo;  // positions before this are processed without a skip check
    uint32_t x = r.alo;
    while (x < r.ahi) {
      if (x >= dense_until && std::min(cap[x], x - r.alo + 1) <= best.k) {
        // No run ending at x .. x1 - 1 can beat best. Skipping them leaves the rows empty there,
        // so the scan resumes best.k positions before x1: a run through the gap that ends at or
        // after x1 is then counted in full, since the part of it ending at x1 - 1 is at most
        // best.k long.
        uint32_t x1 = x + 1;
        while (x1 < r.ahi && std::min(cap[x1], x1 - r.alo + 1) <= best.k) ++x1;
        if (x1 == r.ahi) break;
        const uint32_t resume = x1 - best.k;
        if (resume > x) {
          x = resume;
          exact_from = x1;
        }
        dense_until = x1;
      }
      const uint64_t stamp = (base + (x - r.alo) + 1) << 32;
      const uint64_t prev_stamp = stamp - (uint64_t{1} << 32);
      const uint64_t* prev = rows[(x + 1) & 1];
      uint64_t* cur = rows[x & 1];
      const uint32_t c = a_[x];
      const uint32_t* it = pos + run_begin[c];
      const uint32_t* last = pos + run_end[c];
      if (r.blo > 0 && it != last && *it < r.blo) {
        it = last - it > 16 ? std::lower_bound(it, last, r.blo) : it;
        while (it != last && *it < r.blo) ++it;
      }
      uint32_t longest = 0;
      for (; it != last && *it < r.bhi; ++it) {
        const uint32_t y = *it;
        const uint64_t before = prev[y];
        const uint32_t k = ((before & 0xFFFFFFFF00000000ull) == prev_stamp ? static_cast<uint32_t>(before) : 0) + 1;
        cur[y + 1] = stamp | k;
        longest = std::max(longest, k);
        if (k > best.k) best = {x - k + 1, y - k + 1, k};
      }
      // The longest run ending at x inside these ranges bounds it in every later sub-problem,
      // which lies inside them.
      if (x >= exact_from && longest < cap[x]) cap[x] = longest;
      ++x;
    }
    return best;
  }

 private:
  SparseScratch& s_;
  std::span<const uint32_t> a_;
  uint64_t seen_[2] = {0, 0};  // code points of b
};


#if defined(__SSE2__)
// Short b (at most 16 * W code points, all ASCII): the whole row of run lengths lives in W SSE
// registers, one byte per b position, and one a position costs a handful of vector operations
// however many positions of b match. Since a run grows by at most one per a position and best
// holds the longest run seen so far, any lane above best.k holds exactly best.k + 1, and the
// lowest such lane is the run that ends first in b.
template <int W>
class ByteRowSearch {
 public:
  ByteRowSearch(std::span<const uint32_t> a, std::span<const uint32_t> b) : a_(a) {
    alignas(16) uint8_t bytes[16 * W];
    for (int i = 0; i < 16 * W; ++i) bytes[i] = 0x80;  // never equal to an ASCII code point
    for (size_t j = 0; j < b.size(); ++j) bytes[j] = static_cast<uint8_t>(b[j]);
    for (int w = 0; w < W; ++w) b_[w] = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes + 16 * w));
  }

  Block longest_match(const Range& r) const {
    // Lanes blo .. bhi - 1 (lane numbers and bounds are below 128, so signed compares work).
    const __m128i lo = _mm_set1_epi8(static_cast<char>(r.blo - 1));
    const __m128i hi = _mm_set1_epi8(static_cast<char>(r.bhi));
    __m128i range[W], prev[W];
    for (int w = 0; w < W; ++w) {
      const __m128i lane = _mm_add_epi8(
          _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), _mm_set1_epi8(static_cast<char>(16 * w)));
      range[w] = _mm_and_si128(_mm_cmpgt_epi8(lane, lo), _mm_cmpgt_epi8(hi, lane));
      prev[w] = _mm_setzero_si128();
    }
    const __m128i one = _mm_set1_epi8(1);
    Block best{r.alo, r.blo, 0};
    __m128i bar = _mm_setzero_si128();
    for (uint32_t x = r.alo; x < r.ahi; ++x) {
      const __m128i c = _mm_shuffle_epi32(_mm_cvtsi32_si128(static_cast<int>(a_[x] * 0x01010101u)), 0);
      __m128i cur[W];
      uint32_t hit = 0;
      int hit_w = 0;
      for (int w = 0; w < W; ++w) {
        __m128i shifted = _mm_slli_si128(prev[w], 1);
        if (w > 0) shifted = _mm_or_si128(shifted, _mm_srli_si128(prev[w - 1], 15));
        const __m128i eq = _mm_and_si128(_mm_cmpeq_epi8(b_[w], c), range[w]);
        cur[w] = _mm_and_si128(_mm_add_epi8(shifted, one), eq);
        const auto m = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpgt_epi8(cur[w], bar)));
        if (m && !hit) {
          hit = m;
          hit_w = w;
        }
      }
      if (hit) {
        const uint32_t k = best.k + 1;
        const uint32_t y = static_cast<uint32_t>(16 * hit_w + __builtin_ctz(hit));
        best = {x - k + 1, y - k + 1, k};
        bar = _mm_set1_epi8(static_cast<char>(k));
      }
      for (int w = 0; w < W; ++w) prev[w] = cur[w];
    }
    return best;
  }

 private:
  std::span<const uint32_t> a_;
  __m128i b_[W];
};
#endif

#if defined(__SSE2__)
// Longest match of a sub-problem whose b range holds at most 64 code points, on the register
// rows of that range alone.
Block short_range_match(std::span<const uint32_t> a, std::span<const uint32_t> b, const Range& r) {
  const uint32_t m = r.bhi - r.blo;
  const std::span<const uint32_t> sub = b.subspan(r.blo, m);
  const Range local{r.alo, r.ahi, 0, m};
  Block blk;
  if (m <= 16) {
    blk = ByteRowSearch<1>(a, sub).longest_match(local);
  } else if (m <= 32) {
    blk = ByteRowSearch<2>(a, sub).longest_match(local);
  } else {
    blk = ByteRowSearch<4>(a, sub).longest_match(local);
  }
  blk.j += r.blo;
  return blk;
}
#endif

// The position-index search for long b, handing sub-problems with a short b range to the
// register rows, which cost a few vector operations per a position instead of a search in each
// code point's run.
class MixedSearch {
 public:
  MixedSearch(SparseScratch& s, std::span<const uint32_t> a, std::span<const uint32_t> b, const AsciiHistogram& hist_b)
      : wide_(s, a, b, hist_b), a_(a), b_(b) {}

  Block longest_match(const Range& r) {
#if defined(__SSE2__)
    if (r.bhi - r.blo <= 64) return short_range_match(a_, b_, r);
#endif
    return wide_.longest_match(r);
  }

 private:
  SparseSearch wide_;
  std::span<const uint32_t> a_, b_;
};

// Pending sub-problems of a b of at most kShortSparse code points: they are disjoint and each
// holds at least one position of b, so there are never more than lb + 1 of them.
class ShortStack {
 public:
  void clear() { n_ = 0; }
  bool empty() const { return n_ == 0; }
  void push_back(const Range& r) { items_[n_++] = r; }
  const Range& back() const { return items_[n_ - 1]; }
  void pop_back() { --n_; }

 private:
  Range items_[kShortSparse + 2];
  size_t n_ = 0;
};

template <class Search, class Stack>
uint64_t run_recursion(Search& search, Stack& stack, uint32_t la, uint32_t lb) {
  stack.clear();
  stack.push_back({0, la, 0, lb});
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

uint64_t sparse_match_count_short(std::span<const uint32_t> a, std::span<const uint32_t> b) {
  const auto la = static_cast<uint32_t>(a.size());
  const auto lb = static_cast<uint32_t>(b.size());
  ensure(lb <= kShortSparse, "short sparse search: b too long");
#if defined(__SSE2__)
  ShortStack stack;
  if (lb <= 16) {
    ByteRowSearch<1> search(a, b);
    return run_recursion(search, stack, la, lb);
  }
  if (lb <= 32) {
    ByteRowSearch<2> search(a, b);
    return run_recursion(search, stack, la, lb);
  }
  ByteRowSearch<4> search(a, b);
  return run_recursion(search, stack, la, lb);
#else
  return sparse_match_count(a, b, ascii_histogram(b));
#endif
}

uint64_t sparse_match_count(std::span<const uint32_t> a, std::span<const uint32_t> b, const AsciiHistogram& hist_b) {
#if defined(__SSE2__)
  if (b.size() <= kShortSparse) return sparse_match_count_short(a, b);
#endif
  detail::ScratchLease lease(detail::thread_area<SparseScratch>(), "sparse ratio scratch re-entered");
  MixedSearch search(*lease, a, b, hist_b);
  return run_recursion(search, lease->stack, static_cast<uint32_t>(a.size()), static_cast<uint32_t>(b.size()));
}

double sparse_ratio(std::span<const uint32_t> a, std::span<const uint32_t> b, const AsciiHistogram& hist_b) {
  uint64_t m = sparse_match_count(a, b, hist_b);
  return static_cast<double>(m) * 2.0 / static_cast<double>(a.size() + b.size());
}

}  // namespace simsieve
