#include "gestalt/common_run.hpp"

#include <algorithm>
#include <bit>

#include "common/internal_error.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SIMSIEVE_RUN_AVX2 1
#endif

namespace simsieve {
namespace {

using Bits = RunPattern::Bits;

// The byte that pads a pattern's lanes, and the one a text character absent from the pattern
// becomes: neither is ever equal to a pattern character's byte, nor the two to each other.
constexpr uint8_t kPatternPad = 0xFF;
constexpr uint8_t kTextOther = 0xFE;
constexpr size_t kMaxOtherBytes = kTextOther - 128;

// Shifts towards higher positions (left) and lower positions (right) by t < 128; with Wide false
// only the low word is in use.
template <bool Wide>
inline Bits shift_up(Bits x, size_t t) {
  if constexpr (!Wide) return {t < 64 ? x.lo << t : 0, 0};
  if (t == 0) return x;
  if (t >= 64) return {0, x.lo << (t - 64)};
  return {x.lo << t, (x.hi << t) | (x.lo >> (64 - t))};
}

template <bool Wide>
inline Bits shift_down(Bits x, size_t t) {
  if constexpr (!Wide) return {t < 64 ? x.lo >> t : 0, 0};
  if (t == 0) return x;
  if (t >= 64) return {x.hi >> (t - 64), 0};
  return {(x.lo >> t) | (x.hi << (64 - t)), x.hi >> t};
}

template <bool Wide>
inline Bits both(Bits x, Bits y) {
  if constexpr (!Wide) return {x.lo & y.lo, 0};
  return {x.lo & y.lo, x.hi & y.hi};
}

template <bool Wide>
inline bool any(Bits x) {
  if constexpr (!Wide) return x.lo != 0;
  return (x.lo | x.hi) != 0;
}

template <bool Wide>
inline size_t lowest(Bits x) {
  if (!Wide || x.lo != 0) return static_cast<size_t>(std::countr_zero(x.lo));
  return 64 + static_cast<size_t>(std::countr_zero(x.hi));
}

// Positions [lo, hi) of the pattern, lo <= hi <= 128.
inline Bits span_mask(size_t lo, size_t hi) {
  auto below = [](size_t n) -> Bits {
    if (n >= 128) return {~uint64_t{0}, ~uint64_t{0}};
    if (n >= 64) return {~uint64_t{0}, n == 64 ? 0 : (uint64_t{1} << (n - 64)) - 1};
    return {n == 0 ? 0 : (uint64_t{1} << n) - 1, 0};
  };
  const Bits h = below(hi), l = below(lo);
  return {h.lo & ~l.lo, h.hi & ~l.hi};
}

}  // namespace

void RunPattern::build(std::span<const uint32_t> pattern) {
  ensure(pattern.size() <= kRunMaxCountPattern, "run pattern longer than its bytes");
  length_ = pattern.size();
  // Longer patterns get no position sets, only their characters' bytes.
  const bool positions = pattern.size() <= kRunMaxPattern;
  ascii_.fill(Bits{});
  others_.clear();
  bytes_.fill(kPatternPad);
  for (size_t i = 0; i < pattern.size(); ++i) {
    const uint32_t c = pattern[i];
    Bits* bits;
    if (c < 128) {
      bits = &ascii_[c];
    } else {
      auto it = std::find_if(others_.begin(), others_.end(), [c](const Other& o) { return o.code_point == c; });
      if (it == others_.end()) it = others_.insert(others_.end(), Other{c, {}});
      bits = &it->bits;
    }
    if (!positions) continue;
    if (i < 64)
      bits->lo |= uint64_t{1} << i;
    else
      bits->hi |= uint64_t{1} << (i - 64);
  }
  std::sort(others_.begin(), others_.end(), [](const Other& x, const Other& y) { return x.code_point < y.code_point; });
  // Bytes for the run lengths: ASCII characters as themselves, the others by their rank among
  // the pattern's other characters, from 128 on, while those ranks stay below the two bytes that
  // stand for no pattern character.
  byte_pattern_ = others_.size() <= kMaxOtherBytes;
  if (!byte_pattern_) return;
  for (size_t i = 0; i < pattern.size(); ++i) bytes_[i] = text_byte(pattern[i]);
}

uint8_t RunPattern::text_byte(uint32_t c) const {
  if (c < 128) return static_cast<uint8_t>(c);
  auto it = std::lower_bound(others_.begin(), others_.end(), c,
                             [](const Other& o, uint32_t v) { return o.code_point < v; });
  if (it == others_.end() || it->code_point != c) return kTextOther;
  return static_cast<uint8_t>(128 + (it - others_.begin()));
}

RunPattern::Bits RunPattern::bits_of(uint32_t c) const {
  if (c < 128) return ascii_[c];
  auto it = std::lower_bound(others_.begin(), others_.end(), c,
                             [](const Other& o, uint32_t v) { return o.code_point < v; });
  return it != others_.end() && it->code_point == c ? it->bits : Bits{};
}

void RunPattern::load_text(std::span<const uint32_t> text) {
  text_bits_.resize(text.size());
  for (size_t j = 0; j < text.size(); ++j) text_bits_[j] = bits_of(text[j]);
}

bool RunPattern::countable() const {
#if defined(__SSE2__)
  if (byte_pattern_) return true;
#endif
  return length_ <= kRunMaxPattern;
}

uint64_t RunPattern::match_count(std::span<const uint32_t> text, uint64_t limit, CountPath path) {
  if (limit == 0) return 0;
  if (length_ == 0 || text.empty()) return 0;
  const bool positions = length_ <= kRunMaxPattern;
  ensure(positions || countable(), "run pattern too long to count");
#if defined(__SSE2__)
  if (byte_pattern_ && (path != CountPath::bitwise || !positions)) return count_bytes(text, limit, path == CountPath::fastest);
#endif
  return length_ > 64 ? count<true>(text, limit) : count<false>(text, limit);
}

#if defined(__SSE2__)
namespace {

// Makes `rows` hold at least `size` bytes, without clearing again what a longer text left.
inline void grow(std::vector<uint8_t>& rows, size_t size) {
  if (rows.size() < size) rows.resize(size);
}

// The largest byte of a vector.
inline uint32_t max_byte(__m128i top) {
  top = _mm_max_epu8(top, _mm_srli_si128(top, 8));
  top = _mm_max_epu8(top, _mm_srli_si128(top, 4));
  top = _mm_max_epu8(top, _mm_srli_si128(top, 2));
  top = _mm_max_epu8(top, _mm_srli_si128(top, 1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(top) & 0xFF);
}

}  // namespace

// The ranges the recursion over run lengths has still to take apart, the widest first, and the
// count they are certain to add. The ranges' counts add up whatever the order they are taken in,
// and the widest tend to hold the longest matches, so the limit is reached in fewer passes; a
// range's count is at least its common prefix and its common suffix. Only a range that starts
// where the strings start can have a common prefix, since a match is never followed by another
// common character inside its range (it would be longer), and only one that ends where they end
// a common suffix.
class RunPattern::ByteRanges {
 public:
  ByteRanges(std::vector<Range>& store, const uint8_t* rows, size_t stride, uint32_t la, uint32_t lb)
      : ranges_(store), rows_(rows), stride_(stride), la_(la), lb_(lb), suffix_(rows[(lb - 1) * stride + la - 1]) {
    ranges_.clear();
  }
  bool empty() const { return ranges_.empty(); }
  uint64_t certain() const { return certain_; }

  Range take() {
    size_t widest = 0;
    for (size_t e = 1; e < ranges_.size(); ++e)
      if (width(ranges_[e]) > width(ranges_[widest])) widest = e;
    const Range r = ranges_[widest];
    ranges_[widest] = ranges_.back();
    ranges_.pop_back();
    certain_ -= r.least;
    return r;
  }

  // Splits r around its longest match of k characters, which ends at pattern position end_i: the
  // earliest text position where it ends is read from the run lengths, and the ranges before and
  // after the match wait when not empty.
  void split(const Range& r, size_t end_i, uint32_t k) {
    size_t end_j = r.blo + k - 1;
    while (rows_[end_j * stride_ + end_i] < k) ++end_j;
    const auto i0 = static_cast<uint32_t>(end_i + 1 - k), j0 = static_cast<uint32_t>(end_j + 1 - k);
    wait({r.alo, i0, r.blo, j0});
    wait({i0 + k, r.ahi, j0 + k, r.bhi});
  }

 private:
  // The most characters the range pair can match (0 when either range is empty).
  static uint32_t width(const Range& r) {
    return r.alo < r.ahi && r.blo < r.bhi ? std::min(r.ahi - r.alo, r.bhi - r.blo) : 0;
  }
  void wait(Range r) {
    const uint32_t span = width(r);
    if (span == 0) return;
    if (r.ahi == la_ && r.bhi == lb_) {
      r.least = std::min(suffix_, span);
    } else if (r.alo == 0 && r.blo == 0) {
      if (prefix_ == UINT32_MAX) {
        prefix_ = 0;
        while (prefix_ < std::min(la_, lb_) && rows_[prefix_ * stride_ + prefix_] > prefix_) ++prefix_;
      }
      r.least = std::min(prefix_, span);
    }
    certain_ += r.least;
    ranges_.push_back(r);
  }

  std::vector<Range>& ranges_;
  const uint8_t* rows_;
  size_t stride_;
  uint32_t la_, lb_, suffix_;
  uint32_t prefix_ = UINT32_MAX;  // found when first needed
  uint64_t certain_ = 0;
};

// The gestalt recursion over the run lengths of a pattern in bytes: for every text position j, the
// byte of pattern position i holds the length of the common run that ends at (i, j), one vector
// step of 16 pattern positions at a time (the previous position's lengths moved up one lane, plus
// one, where the characters are equal). A range pair's longest match ending at (i, j) is that
// length cut at the range's starts, so the lengths serve every range the recursion visits: each
// range is one pass of minima and maxima over its rows (the whole pair's is taken while the
// lengths are made), then the earliest end in the pattern among the longest, and the earliest in
// the text at that end, as the position sets find them. V vectors cover the pattern.
template <size_t V>
uint64_t RunPattern::count_bytes(std::span<const uint32_t> text, uint64_t limit) {
  constexpr size_t stride = V * 16;
  const size_t n = text.size();
  grow(run_rows_, n * stride);
  uint8_t* rows = run_rows_.data();
  __m128i pattern[V], previous[V], best[V];
  for (size_t v = 0; v < V; ++v) {
    pattern[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes_.data() + 16 * v));
    previous[v] = best[v] = _mm_setzero_si128();
  }
  const __m128i one = _mm_set1_epi8(1);
  for (size_t j = 0; j < n; ++j) {
    const uint32_t c = text[j];
    const __m128i at = _mm_set1_epi8(static_cast<char>(c < 128 ? c : text_byte(c)));
    __m128i carry = _mm_setzero_si128();
    for (size_t v = 0; v < V; ++v) {
      const __m128i before = previous[v];
      const __m128i moved = _mm_or_si128(_mm_slli_si128(before, 1), carry);
      carry = _mm_srli_si128(before, 15);
      previous[v] = _mm_and_si128(_mm_add_epi8(moved, one), _mm_cmpeq_epi8(pattern[v], at));
      best[v] = _mm_max_epu8(best[v], previous[v]);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows + j * stride + 16 * v), previous[v]);
    }
  }
  __m128i lane_end[V];  // pattern position + 1, lane by lane
  for (size_t v = 0; v < V; ++v)
    lane_end[v] = _mm_add_epi8(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                               _mm_set1_epi8(static_cast<char>(16 * v + 1)));
  ByteRanges waiting(ranges_, rows, stride, static_cast<uint32_t>(length_), static_cast<uint32_t>(n));
  uint64_t m = 0;
  Range r{0, static_cast<uint32_t>(length_), 0, static_cast<uint32_t>(n)};
  for (bool whole = true;; whole = false) {
    if (!whole) {
      if (waiting.empty()) break;
      r = waiting.take();
      // The cut at the pattern start: i + 1 - alo inside [alo, ahi), 0 outside.
      __m128i cut[V];
      const __m128i alo = _mm_set1_epi8(static_cast<char>(r.alo)), ahi = _mm_set1_epi8(static_cast<char>(r.ahi));
      for (size_t v = 0; v < V; ++v) {
        const __m128i inside = _mm_cmpeq_epi8(_mm_min_epu8(lane_end[v], ahi), lane_end[v]);
        cut[v] = _mm_and_si128(_mm_subs_epu8(lane_end[v], alo), inside);
        best[v] = _mm_setzero_si128();
      }
      for (size_t j = r.blo; j < r.bhi; ++j) {
        const __m128i text_cut = _mm_set1_epi8(static_cast<char>(std::min<size_t>(j + 1 - r.blo, 255)));
        const uint8_t* row = rows + j * stride;
        for (size_t v = 0; v < V; ++v) {
          const __m128i run = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16 * v));
          best[v] = _mm_max_epu8(best[v], _mm_min_epu8(_mm_min_epu8(run, cut[v]), text_cut));
        }
      }
    }
    __m128i top = best[0];
    for (size_t v = 1; v < V; ++v) top = _mm_max_epu8(top, best[v]);
    const uint32_t k = max_byte(top);
    if (k == 0) continue;
    if (m + k >= limit) return m + k;
    m += k;
    size_t end_i = 0;
    const __m128i longest = _mm_set1_epi8(static_cast<char>(k));
    for (size_t v = 0; v < V; ++v) {
      const auto lanes = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(best[v], longest)));
      if (lanes != 0) {
        end_i = 16 * v + static_cast<size_t>(std::countr_zero(lanes));
        break;
      }
    }
    waiting.split(r, end_i, k);
    if (m + waiting.certain() >= limit) return m + waiting.certain();
  }
  return m;
}

#if defined(SIMSIEVE_RUN_AVX2)
// count_bytes<V> where the processor has AVX2: the same lengths, ranges and tie-breaks. The lengths
// are still made 16 lanes a vector (a move across the halves of a 32-byte vector would lengthen the
// chain from one text position to the next), each moved up a lane by one byte alignment of two
// neighbouring vectors; the ranges of the recursion are then passed over in 32-byte vectors, W of
// them, over rows padded to whole 32-byte vectors.
template <size_t V>
__attribute__((target("avx2"))) uint64_t RunPattern::count_bytes_avx2(std::span<const uint32_t> text,
                                                                        uint64_t limit) {
  constexpr size_t W = (V + 1) / 2, stride = W * 32;
  const size_t n = text.size();
  grow(run_rows_, n * stride);
  uint8_t* rows = run_rows_.data();
  __m128i pattern[V], previous[V + 1];
  previous[0] = _mm_setzero_si128();
  for (size_t v = 0; v < V; ++v) {
    pattern[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes_.data() + 16 * v));
    previous[v + 1] = _mm_setzero_si128();
  }
  const __m128i one = _mm_set1_epi8(1);
  for (size_t j = 0; j < n; ++j) {
    const uint32_t c = text[j];
    const __m128i at = _mm_set1_epi8(static_cast<char>(c < 128 ? c : text_byte(c)));
    // previous[v + 1] holds vector v; previous[0] stays zero, so the first lane moves in a zero.
    for (size_t v = V; v > 0; --v) {
      const __m128i moved = _mm_alignr_epi8(previous[v], previous[v - 1], 15);
      previous[v] = _mm_and_si128(_mm_add_epi8(moved, one), _mm_cmpeq_epi8(pattern[v - 1], at));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows + j * stride + 16 * (v - 1)), previous[v]);
    }
    if constexpr (V % 2 == 1)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rows + j * stride + 16 * V), _mm_setzero_si128());
  }
  // The whole pair's longest runs, over all rows at once.
  __m256i best[W];
  for (size_t v = 0; v < W; ++v) best[v] = _mm256_setzero_si256();
  for (size_t j = 0; j < n; ++j)
    for (size_t v = 0; v < W; ++v)
      best[v] = _mm256_max_epu8(best[v], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows + j * stride + 32 * v)));
  __m256i lane_end[W];  // pattern position + 1, lane by lane
  const __m256i lanes = _mm256_setr_epi8(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                         22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32);
  for (size_t v = 0; v < W; ++v) lane_end[v] = _mm256_add_epi8(lanes, _mm256_set1_epi8(static_cast<char>(32 * v)));
  ByteRanges waiting(ranges_, rows, stride, static_cast<uint32_t>(length_), static_cast<uint32_t>(n));
  uint64_t m = 0;
  Range r{0, static_cast<uint32_t>(length_), 0, static_cast<uint32_t>(n)};
  for (bool whole = true;; whole = false) {
    if (!whole) {
      if (waiting.empty()) break;
      r = waiting.take();
      __m256i cut[W];
      const __m256i alo = _mm256_set1_epi8(static_cast<char>(r.alo));
      const __m256i ahi = _mm256_set1_epi8(static_cast<char>(r.ahi));
      for (size_t v = 0; v < W; ++v) {
        const __m256i inside = _mm256_cmpeq_epi8(_mm256_min_epu8(lane_end[v], ahi), lane_end[v]);
        cut[v] = _mm256_and_si256(_mm256_subs_epu8(lane_end[v], alo), inside);
        best[v] = _mm256_setzero_si256();
      }
      for (size_t j = r.blo; j < r.bhi; ++j) {
        const __m256i text_cut = _mm256_set1_epi8(static_cast<char>(std::min<size_t>(j + 1 - r.blo, 255)));
        const uint8_t* row = rows + j * stride;
        for (size_t v = 0; v < W; ++v) {
          const __m256i run = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 32 * v));
          best[v] = _mm256_max_epu8(best[v], _mm256_min_epu8(_mm256_min_epu8(run, cut[v]), text_cut));
        }
      }
    }
    __m256i wide = best[0];
    for (size_t v = 1; v < W; ++v) wide = _mm256_max_epu8(wide, best[v]);
    const uint32_t k = max_byte(_mm_max_epu8(_mm256_castsi256_si128(wide), _mm256_extracti128_si256(wide, 1)));
    if (k == 0) continue;
    if (m + k >= limit) return m + k;
    m += k;
    size_t end_i = 0;
    const __m256i longest = _mm256_set1_epi8(static_cast<char>(k));
    for (size_t v = 0; v < W; ++v) {
      const auto hits = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(best[v], longest)));
      if (hits != 0) {
        end_i = 32 * v + static_cast<size_t>(std::countr_zero(hits));
        break;
      }
    }
    waiting.split(r, end_i, k);
    if (m + waiting.certain() >= limit) return m + waiting.certain();
  }
  return m;
}
#endif

uint64_t RunPattern::count_bytes(std::span<const uint32_t> text, uint64_t limit, bool wide) {
  // Pattern positions + 1 and the ranges' ends are bytes, so a pattern fits 255 lanes.
  static_assert(kRunMaxCountPattern <= 255 && kRunMaxPattern <= kRunMaxCountPattern);
  using Count = uint64_t (RunPattern::*)(std::span<const uint32_t>, uint64_t);
  // By the number of 16-lane vectors the pattern takes (1 to 16; match_count() leaves out empty ones).
  static constexpr Count kSse2[] = {
      &RunPattern::count_bytes<1>,  &RunPattern::count_bytes<2>,  &RunPattern::count_bytes<3>,
      &RunPattern::count_bytes<4>,  &RunPattern::count_bytes<5>,  &RunPattern::count_bytes<6>,
      &RunPattern::count_bytes<7>,  &RunPattern::count_bytes<8>,  &RunPattern::count_bytes<9>,
      &RunPattern::count_bytes<10>, &RunPattern::count_bytes<11>, &RunPattern::count_bytes<12>,
      &RunPattern::count_bytes<13>, &RunPattern::count_bytes<14>, &RunPattern::count_bytes<15>,
      &RunPattern::count_bytes<16>};
  const size_t vectors = (length_ + 15) / 16;
#if defined(SIMSIEVE_RUN_AVX2)
  // Patterns of more than 16 characters take fewer steps with AVX2.
  static constexpr Count kAvx2[] = {
      &RunPattern::count_bytes<1>,       &RunPattern::count_bytes_avx2<2>,  &RunPattern::count_bytes_avx2<3>,
      &RunPattern::count_bytes_avx2<4>,  &RunPattern::count_bytes_avx2<5>,  &RunPattern::count_bytes_avx2<6>,
      &RunPattern::count_bytes_avx2<7>,  &RunPattern::count_bytes_avx2<8>,  &RunPattern::count_bytes_avx2<9>,
      &RunPattern::count_bytes_avx2<10>, &RunPattern::count_bytes_avx2<11>, &RunPattern::count_bytes_avx2<12>,
      &RunPattern::count_bytes_avx2<13>, &RunPattern::count_bytes_avx2<14>, &RunPattern::count_bytes_avx2<15>,
      &RunPattern::count_bytes_avx2<16>};
  static const bool avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  if (wide && avx2) return (this->*kAvx2[vectors - 1])(text, limit);
#endif
  return (this->*kSse2[vectors - 1])(text, limit);
}
#endif

// The gestalt recursion: the longest match of a range pair, the earliest in the pattern and then
// the earliest in the text among the longest, splits the ranges in two. A level of run length k
// holds, for every text position j, the pattern positions i where a common run of k characters
// ends at (i, j). Runs of k + d characters are runs of d characters whose position pair, moved back
// by d, ends a run of k: so the levels of lengths 1, 2, 4, ... are built by doubling, and the
// longest length is then found by adding the halving powers that still leave a run. The last
// level's lowest set bit at each j gives the earliest end.
template <bool Wide>
uint64_t RunPattern::count(std::span<const uint32_t> text, uint64_t limit) {
  load_text(text);
  const Bits* x = text_bits_.data();
  const size_t n = text.size();
  back_.resize(n);
  forth_.resize(n);
  // Runs are at most min(pattern, text) long, so the powers of two below that bound the levels.
  powers_.resize(static_cast<size_t>(std::bit_width(std::min<uint64_t>(length_, n))) * n);
  ranges_.clear();
  ranges_.push_back({0, static_cast<uint32_t>(length_), 0, static_cast<uint32_t>(n)});
  uint64_t m = 0;
  while (!ranges_.empty()) {
    const Range r = ranges_.back();
    ranges_.pop_back();
    if (r.alo >= r.ahi || r.blo >= r.bhi) continue;
    const Bits mask = span_mask(r.alo, r.ahi);
    // powers_[e * n + j]: the level of run length 2^e at text position j.
    Bits* one = powers_level(0, n);
    bool found = false;
    for (size_t j = r.blo; j < r.bhi; ++j) {
      one[j] = both<Wide>(x[j], mask);
      found |= any<Wide>(one[j]);
    }
    if (!found) continue;
    // Longer runs than the ranges allow, or than the limit needs, are not looked for.
    const uint64_t longest = std::min<uint64_t>(r.ahi - r.alo, r.bhi - r.blo);
    size_t top = 0;  // the highest power level that is not empty
    while ((uint64_t{2} << top) <= longest && m + (uint64_t{1} << top) < limit) {
      const size_t d = size_t{1} << top;
      const Bits* lower = powers_level(top, n);
      Bits* upper = powers_level(top + 1, n);
      bool more = false;
      for (size_t j = r.blo; j < std::min<size_t>(r.blo + d, r.bhi); ++j) upper[j] = Bits{};
      for (size_t j = r.blo + d; j < r.bhi; ++j) {
        upper[j] = both<Wide>(lower[j], shift_up<Wide>(lower[j - d], d));
        more |= any<Wide>(upper[j]);
      }
      if (!more) break;
      ++top;
    }
    uint64_t k = uint64_t{1} << top;
    if (m + k >= limit) return m + k;
    // Grow the run by the lower powers while runs of the longer length remain.
    const Bits* cur = powers_level(top, n);
    Bits* spare[2] = {back_.data(), forth_.data()};
    int turn = 0;
    for (size_t e = top; e-- > 0;) {
      const size_t d = size_t{1} << e;
      if (k + d > longest) continue;
      const Bits* piece = powers_level(e, n);
      Bits* next = spare[turn];
      bool more = false;
      for (size_t j = r.blo; j < std::min<size_t>(r.blo + k + d - 1, r.bhi); ++j) next[j] = Bits{};
      for (size_t j = r.blo + k + d - 1; j < r.bhi; ++j) {
        next[j] = both<Wide>(piece[j], shift_up<Wide>(cur[j - d], d));
        more |= any<Wide>(next[j]);
      }
      if (!more) continue;
      cur = next;
      turn ^= 1;
      k += d;
      if (m + k >= limit) return m + k;
    }
    m += k;
    size_t best_i = SIZE_MAX, best_j = 0;
    for (size_t j = r.blo + k - 1; j < r.bhi; ++j) {
      if (!any<Wide>(cur[j])) continue;
      const size_t i = lowest<Wide>(cur[j]);
      if (i < best_i) {
        best_i = i;
        best_j = j;
      }
    }
    const auto i0 = static_cast<uint32_t>(best_i + 1 - k), j0 = static_cast<uint32_t>(best_j + 1 - k);
    const auto kk = static_cast<uint32_t>(k);
    ranges_.push_back({r.alo, i0, r.blo, j0});
    ranges_.push_back({i0 + kk, r.ahi, j0 + kk, r.bhi});
  }
  return m;
}

bool RunPattern::shares_run(std::span<const uint32_t> text, uint64_t run) { return shares_run_after(text, 0, run); }

// A run that starts at or after `start` in both lies among the pattern positions from `start` on
// and the text's rest: the scan leaves out every pattern position before it.
bool RunPattern::shares_run_after(std::span<const uint32_t> text, size_t start, uint64_t run) {
  ensure(length_ <= kRunMaxPattern, "run search on a pattern without position sets");
  if (run == 0) return true;
  if (start >= length_ || start >= text.size() || run > length_ - start || run > text.size() - start) return false;
  const Bits allowed = span_mask(start, length_);
  text = text.subspan(start);
  return length_ > 64 ? scan<true>(text, run, allowed) : scan<false>(text, run, allowed);
}

// A common run of `run` characters covers `run` consecutive text positions, so it covers one of
// the anchors run - 1, 2 run - 1, ... Around each anchor j, back[t] holds the pattern positions i
// with pattern[i - s] == text[j - s] for s = 0..t, and forth[t] those with pattern[i + s] ==
// text[j + s] for s = 0..t; a run through the anchor with u characters before it exists when
// back[u] and forth[run - 1 - u] share a position. Only the pattern positions in `allowed` count.
template <bool Wide>
bool RunPattern::scan(std::span<const uint32_t> text, size_t run, Bits allowed) {
  // Most anchors end after a step or two, so the text's position sets are looked up as needed.
  const size_t n = text.size();
  back_.resize(run);
  forth_.resize(run);
  auto allowed_bits = [&](uint32_t c) { return both<Wide>(bits_of(c), allowed); };
  for (size_t j = run - 1; j < n; j += run) {
    const Bits at = allowed_bits(text[j]);
    if (!any<Wide>(at)) continue;
    back_[0] = forth_[0] = at;
    size_t nb = 0;
    for (size_t t = 1; t < run; ++t) {
      const Bits v = both<Wide>(back_[t - 1], shift_up<Wide>(allowed_bits(text[j - t]), t));
      if (!any<Wide>(v)) break;
      back_[t] = v;
      nb = t;
    }
    if (nb + 1 == run) return true;
    size_t nf = 0;
    for (size_t t = 1; t < run && j + t < n; ++t) {
      const Bits v = both<Wide>(forth_[t - 1], shift_down<Wide>(allowed_bits(text[j + t]), t));
      if (!any<Wide>(v)) break;
      forth_[t] = v;
      nf = t;
    }
    if (nb + nf + 1 < run) continue;
    for (size_t u = run - 1 - nf; u <= nb; ++u)
      if (any<Wide>(both<Wide>(back_[u], forth_[run - 1 - u]))) return true;
  }
  return false;
}

}  // namespace simsieve
