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

// Most runs met by the search are short: the first kScalarSteps code points of an extension are
// compared one by one, the rest four per step.
constexpr uint32_t kScalarSteps = 4;

// Length of the common run a[0 .. n) == b[0 .. n), at most limit.
inline uint32_t run_forward(const uint32_t* a, const uint32_t* b, uint32_t limit) {
  uint32_t n = 0;
  for (const uint32_t first = std::min(limit, kScalarSteps); n < first; ++n) {
    if (a[n] != b[n]) return n;
  }
#if defined(__SSE2__)
  while (n + 4 <= limit) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + n));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + n));
    const auto diff = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi32(x, y))) ^ 0xFFFFu;
    if (diff) return n + static_cast<uint32_t>(__builtin_ctz(diff)) / 4;
    n += 4;
  }
#endif
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// Length of the common run ending just before a and b: a[-n .. 0) == b[-n .. 0), at most limit.
inline uint32_t run_backward(const uint32_t* a, const uint32_t* b, uint32_t limit) {
  uint32_t n = 0;
  for (const uint32_t first = std::min(limit, kScalarSteps); n < first; ++n) {
    if (a[-static_cast<ptrdiff_t>(n) - 1] != b[-static_cast<ptrdiff_t>(n) - 1]) return n;
  }
#if defined(__SSE2__)
  while (n + 4 <= limit) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a - n - 4));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b - n - 4));
    const auto diff = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi32(x, y))) ^ 0xFFFFu;
    // The highest differing lane (of 0 .. 3) is the one nearest the end.
    if (diff) return n + 3 - (31 - static_cast<uint32_t>(__builtin_clz(diff))) / 4;
    n += 4;
  }
#endif
  while (n < limit && a[-static_cast<ptrdiff_t>(n) - 1] == b[-static_cast<ptrdiff_t>(n) - 1]) ++n;
  return n;
}

struct SparseScratch : detail::ScratchArea {
  // Run of each code point in positions; [0, 0) outside a call.
  std::array<uint32_t, 128> run_begin{}, run_end{};
  std::vector<uint32_t> positions;
  std::vector<Range> stack;
};

// Longest match by sampled seeds. Let K be the length of the best run found so far. Any longer
// run that starts after the last sampled a position g covers K + 1 consecutive positions, so it
// contains g + K + 1 or starts later still; a run that starts at or before g either passes
// through g or ended between g and the sample before it, which was at most K positions back.
// So it suffices to sample a at g = alo, then g + K + 1 after each sample (K as it stands then),
// and at each sample to extend every equal pair (g, y) of the ranges, through b's position list
// of a[g], to its maximal run in both directions. Each run is found once (the next sample lies
// beyond any run found at g), so the work is at most the equal pairs of the ranges, and in
// practice about that divided by K.
class SparseSearch {
 public:
  SparseSearch(SparseScratch& s, std::span<const uint32_t> a, std::span<const uint32_t> b,
               const AsciiHistogram& hist_b)
      : s_(s), a_(a), b_(b) {
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

  // Longest common run inside the ranges; ties go to the run that starts (and so ends) first in
  // a, then first in b. (alo, blo, 0) when the ranges share no code point.
  Block longest_match(const Range& r) const {
    Block best{r.alo, r.blo, 0};
    const uint32_t* a = a_.data();
    const uint32_t* b = b_.data();
    const uint32_t* pos = s_.positions.data();
    for (uint32_t g = r.alo; g < r.ahi; g += best.k + 1) {
      const uint32_t c = a[g];
      const uint32_t* it = pos + s_.run_begin[c];
      const uint32_t* last = pos + s_.run_end[c];
      if (r.blo > 0 && it != last && *it < r.blo) {
        it = last - it > 16 ? std::lower_bound(it, last, r.blo) : it;
        while (it != last && *it < r.blo) ++it;
      }
      const uint32_t left_room = g - r.alo;
      const uint32_t right_room = r.ahi - g;
      for (; it != last && *it < r.bhi; ++it) {
        const uint32_t y = *it;
        // Left: a[g - l .. g) == b[y - l .. y).
        const uint32_t lmax = std::min(left_room, y - r.blo);
        const uint32_t l = run_backward(a + g, b + y, lmax);
        // Right: a[g .. g + n) == b[y .. y + n), a[g] == b[y] already.
        const uint32_t rmax = std::min(right_room, r.bhi - y);
        const uint32_t n = 1 + run_forward(a + g + 1, b + y + 1, rmax - 1);
        const uint32_t k = l + n;
        if (k > best.k || (k == best.k && g - l < best.i)) best = {g - l, y - l, k};
      }
    }
    return best;
  }

 private:
  SparseScratch& s_;
  std::span<const uint32_t> a_, b_;
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
