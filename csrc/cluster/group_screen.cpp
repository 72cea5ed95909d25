#include "cluster/group_screen.hpp"

#include <algorithm>
#include <bit>

#include "cluster/parallel_steps.hpp"
#include "common/internal_error.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SIMSIEVE_X86 1
#endif

namespace simsieve {
namespace {

#if defined(SIMSIEVE_X86)
inline uint32_t sad16(__m128i a, const GroupCounts& y) {
  __m128i sad = _mm_sad_epu8(a, _mm_load_si128(reinterpret_cast<const __m128i*>(y.count)));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(sad) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sad, sad)));
}

size_t screen_sse2(const GroupCounts& a, const GroupCounts* groups, const uint32_t* key, const int32_t* limit,
                   size_t begin, size_t end, uint32_t* out) {
  const __m128i va = _mm_load_si128(reinterpret_cast<const __m128i*>(a.count));
  size_t n = 0;
  for (size_t q = begin; q < end; ++q) {
    out[n] = static_cast<uint32_t>(q);
    n += static_cast<int32_t>(sad16(va, groups[q])) <= limit[key[q]];
  }
  return n;
}

__attribute__((target("avx2"))) size_t screen_avx2(const GroupCounts& a, const GroupCounts* groups,
                                                   const uint32_t* key, const int32_t* limit, size_t begin,
                                                   size_t end, uint32_t* out) {
  const __m128i va = _mm_load_si128(reinterpret_cast<const __m128i*>(a.count));
  const __m256i va2 = _mm256_broadcastsi128_si256(va);
  size_t n = 0, q = begin;
  for (; q + 4 <= end; q += 4) {
    // Two vectors of two group-count rows each; per row, the two 64-bit halves of its distance.
    __m256i s0 = _mm256_sad_epu8(va2, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(groups + q)));
    __m256i s1 = _mm256_sad_epu8(va2, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(groups + q + 2)));
    s0 = _mm256_add_epi32(s0, _mm256_shuffle_epi32(s0, 0x4E));
    s1 = _mm256_add_epi32(s1, _mm256_shuffle_epi32(s1, 0x4E));
    const int32_t d0 = _mm256_extract_epi32(s0, 0), d1 = _mm256_extract_epi32(s0, 4);
    const int32_t d2 = _mm256_extract_epi32(s1, 0), d3 = _mm256_extract_epi32(s1, 4);
    out[n] = static_cast<uint32_t>(q);
    n += d0 <= limit[key[q]];
    out[n] = static_cast<uint32_t>(q + 1);
    n += d1 <= limit[key[q + 1]];
    out[n] = static_cast<uint32_t>(q + 2);
    n += d2 <= limit[key[q + 2]];
    out[n] = static_cast<uint32_t>(q + 3);
    n += d3 <= limit[key[q + 3]];
  }
  for (; q < end; ++q) {
    out[n] = static_cast<uint32_t>(q);
    n += static_cast<int32_t>(sad16(va, groups[q])) <= limit[key[q]];
  }
  return n;
}

// The lanes of block `b` inside [begin, end), as a bit mask.
inline uint32_t lanes_inside(size_t b, size_t begin, size_t end) {
  const size_t first = b * GroupColumns::kBlock;
  uint64_t mask = 0xFFFFFFFFull;
  if (begin > first) mask &= ~((uint64_t{1} << (begin - first)) - 1);
  if (end < first + GroupColumns::kBlock) mask &= (uint64_t{1} << (end - first)) - 1;
  return static_cast<uint32_t>(mask);
}

inline size_t write_lanes(size_t b, uint32_t mask, uint32_t* out) {
  size_t n = 0;
  const auto first = static_cast<uint32_t>(b * GroupColumns::kBlock);
  while (mask) {
    out[n++] = first + static_cast<uint32_t>(std::countr_zero(mask));
    mask &= mask - 1;
  }
  return n;
}

template <size_t G>
size_t columns_sse2(const FineGroupCounts& folded, const GroupColumns& columns, uint8_t need, size_t begin, size_t end,
                    uint32_t* out) {
  __m128i va[G];
  for (size_t g = 0; g < G; ++g) va[g] = _mm_set1_epi8(static_cast<char>(folded.count[g]));
  const __m128i floor = _mm_set1_epi8(static_cast<char>(need));
  size_t n = 0;
  for (size_t b = begin / GroupColumns::kBlock; b * GroupColumns::kBlock < end; ++b) {
    const auto* rows = reinterpret_cast<const __m128i*>(columns.block(b));
    __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128();
    for (size_t g = 0; g < G; ++g) {
      lo = _mm_add_epi8(lo, _mm_min_epu8(_mm_load_si128(rows + 2 * g), va[g]));
      hi = _mm_add_epi8(hi, _mm_min_epu8(_mm_load_si128(rows + 2 * g + 1), va[g]));
    }
    const auto pass_lo = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(lo, floor), lo)));
    const auto pass_hi = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(hi, floor), hi)));
    n += write_lanes(b, (pass_lo | (pass_hi << 16)) & lanes_inside(b, begin, end), out + n);
  }
  return n;
}

// Four probes against every block of rows: each column of a block is loaded once and taken by the
// four running sums, which stay in registers; the probes' broadcast counts are read from memory.
template <size_t G>
__attribute__((target("avx2"))) void tile_avx2(const FineGroupCounts* const* probes, const uint8_t* needs,
                                               size_t count, const GroupColumns& columns, size_t begin, size_t end,
                                               uint32_t* const* out, size_t* kept) {
  static_assert(kTileProbes == 4);
  __m256i va[G][kTileProbes];
  __m256i floor[kTileProbes];
  for (size_t k = 0; k < kTileProbes; ++k) {
    // Missing probes repeat the first one; their lanes are never written.
    const FineGroupCounts& a = *probes[k < count ? k : 0];
    for (size_t g = 0; g < G; ++g) va[g][k] = _mm256_set1_epi8(static_cast<char>(a.count[g]));
    floor[k] = _mm256_set1_epi8(static_cast<char>(needs[k < count ? k : 0]));
    if (k < count) kept[k] = 0;
  }
  for (size_t b = begin / GroupColumns::kBlock; b * GroupColumns::kBlock < end; ++b) {
    const auto* rows = reinterpret_cast<const __m256i*>(columns.block(b));
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
#pragma GCC unroll 32
    for (size_t g = 0; g < G; ++g) {
      const __m256i x = _mm256_load_si256(rows + g);
      a0 = _mm256_add_epi8(a0, _mm256_min_epu8(x, va[g][0]));
      a1 = _mm256_add_epi8(a1, _mm256_min_epu8(x, va[g][1]));
      a2 = _mm256_add_epi8(a2, _mm256_min_epu8(x, va[g][2]));
      a3 = _mm256_add_epi8(a3, _mm256_min_epu8(x, va[g][3]));
      // Keeps the compiler from hoisting all the minima ahead of the sums, which spills them.
      asm("" : "+x"(a0), "+x"(a1), "+x"(a2), "+x"(a3));
    }
    // Lanes at least their probe's floor; most blocks have none for any probe.
    const __m256i r0 = _mm256_cmpeq_epi8(_mm256_max_epu8(a0, floor[0]), a0);
    const __m256i r1 = _mm256_cmpeq_epi8(_mm256_max_epu8(a1, floor[1]), a1);
    const __m256i r2 = _mm256_cmpeq_epi8(_mm256_max_epu8(a2, floor[2]), a2);
    const __m256i r3 = _mm256_cmpeq_epi8(_mm256_max_epu8(a3, floor[3]), a3);
    const __m256i any = _mm256_or_si256(_mm256_or_si256(r0, r1), _mm256_or_si256(r2, r3));
    if (_mm256_testz_si256(any, any)) continue;
    const __m256i reached[kTileProbes] = {r0, r1, r2, r3};
    const uint32_t inside = lanes_inside(b, begin, end);
    for (size_t k = 0; k < count; ++k) {
      const uint32_t pass = static_cast<uint32_t>(_mm256_movemask_epi8(reached[k])) & inside;
      if (pass) kept[k] += write_lanes(b, pass, out[k] + kept[k]);
    }
  }
}

using ScreenFn = size_t (*)(const GroupCounts&, const GroupCounts*, const uint32_t*, const int32_t*, size_t, size_t,
                            uint32_t*);

ScreenFn pick_screen() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? screen_avx2 : screen_sse2;
}
#endif

}  // namespace

GroupColumns::GroupColumns(std::span<const FineGroupCounts> rows, size_t groups, bool parallel) : groups_(groups) {
  ensure(groups == 8 || groups == 16 || groups == kFineGroups, "group columns of an unsupported width");
  const size_t blocks = (rows.size() + kBlock - 1) / kBlock;
  // One spare block of alignment slack: the vector loads want 32-byte alignment.
  bytes_.assign((blocks + 1) * kBlock * groups_, 0);
  const size_t skew = (32 - reinterpret_cast<uintptr_t>(bytes_.data()) % 32) % 32;
  offset_ = skew;
  auto fill = [&](size_t b) {
    for (size_t q = b * kBlock; q < std::min(rows.size(), (b + 1) * kBlock); ++q) {
      const FineGroupCounts folded = fold(rows[q]);
      for (size_t g = 0; g < groups_; ++g) bytes_[offset_ + b * kBlock * groups_ + g * kBlock + q % kBlock] = folded.count[g];
    }
  };
  detail::for_each_index(blocks, parallel, fill, with_min_len(32));
}

FineGroupCounts fold_groups(const FineGroupCounts& a, size_t groups) {
  FineGroupCounts folded;
  // Saturating: only rows longer than kMaxFineLength, which the screen never takes, get there.
  for (size_t f = 0; f < kFineGroups; ++f) {
    const uint32_t sum = folded.count[f % groups] + a.count[f];
    folded.count[f % groups] = static_cast<uint8_t>(std::min<uint32_t>(sum, 255));
  }
  return folded;
}

FineGroupCounts GroupColumns::fold(const FineGroupCounts& a) const { return fold_groups(a, groups_); }

size_t screen_columns(const FineGroupCounts& a, const GroupColumns& columns, uint8_t need, size_t begin, size_t end,
                      uint32_t* out) {
  if (begin >= end) return 0;
#if defined(SIMSIEVE_X86)
  switch (columns.groups()) {
    case 8:
      return columns_sse2<8>(a, columns, need, begin, end, out);
    case 16:
      return columns_sse2<16>(a, columns, need, begin, end, out);
    default:
      return columns_sse2<kFineGroups>(a, columns, need, begin, end, out);
  }
#else
  const FineGroupCounts& folded = a;
  const size_t groups = columns.groups();
  size_t n = 0;
  for (size_t q = begin; q < end; ++q) {
    const uint8_t* block = columns.block(q / GroupColumns::kBlock);
    uint32_t overlap = 0;
    for (size_t g = 0; g < groups; ++g)
      overlap += std::min(block[g * GroupColumns::kBlock + q % GroupColumns::kBlock], folded.count[g]);
    out[n] = static_cast<uint32_t>(q);
    n += overlap >= need;
  }
  return n;
#endif
}

void screen_columns_tile(const FineGroupCounts* const* probes, const uint8_t* needs, size_t count,
                         const GroupColumns& columns, size_t begin, size_t end, uint32_t* const* out, size_t* kept) {
#if defined(SIMSIEVE_X86)
  static const bool avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  if (avx2 && begin < end) {
    switch (columns.groups()) {
      case 8:
        tile_avx2<8>(probes, needs, count, columns, begin, end, out, kept);
        return;
      case 16:
        tile_avx2<16>(probes, needs, count, columns, begin, end, out, kept);
        return;
      default:
        tile_avx2<kFineGroups>(probes, needs, count, columns, begin, end, out, kept);
        return;
    }
  }
#endif
  for (size_t k = 0; k < count; ++k) kept[k] = screen_columns(*probes[k], columns, needs[k], begin, end, out[k]);
}

uint32_t fine_overlap(const FineGroupCounts& a, const FineGroupCounts& b) {
#if defined(SIMSIEVE_X86)
  const __m128i zero = _mm_setzero_si128();
  const auto* x = reinterpret_cast<const __m128i*>(a.count);
  const auto* y = reinterpret_cast<const __m128i*>(b.count);
  const __m128i sum = _mm_add_epi64(_mm_sad_epu8(_mm_min_epu8(_mm_load_si128(x), _mm_load_si128(y)), zero),
                                    _mm_sad_epu8(_mm_min_epu8(_mm_load_si128(x + 1), _mm_load_si128(y + 1)), zero));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(sum) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sum, sum)));
#else
  uint32_t sum = 0;
  for (size_t g = 0; g < kFineGroups; ++g) sum += std::min(a.count[g], b.count[g]);
  return sum;
#endif
}

uint32_t group_distance(const GroupCounts& x, const GroupCounts& y) {
#if defined(SIMSIEVE_X86)
  return sad16(_mm_load_si128(reinterpret_cast<const __m128i*>(x.count)), y);
#else
  uint32_t sum = 0;
  for (size_t k = 0; k < kCharGroups; ++k) sum += x.count[k] > y.count[k] ? x.count[k] - y.count[k] : y.count[k] - x.count[k];
  return sum;
#endif
}

size_t screen_window(const GroupCounts& a, const GroupCounts* groups, const uint32_t* key, const int32_t* limit,
                     size_t begin, size_t end, uint32_t* out) {
#if defined(SIMSIEVE_X86)
  static const ScreenFn screen = pick_screen();
  return screen(a, groups, key, limit, begin, end, out);
#else
  size_t n = 0;
  for (size_t q = begin; q < end; ++q) {
    out[n] = static_cast<uint32_t>(q);
    n += static_cast<int32_t>(group_distance(a, groups[q])) <= limit[key[q]];
  }
  return n;
#endif
}

}  // namespace simsieve
