#include "cluster/group_screen.hpp"

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

using ScreenFn = size_t (*)(const GroupCounts&, const GroupCounts*, const uint32_t*, const int32_t*, size_t, size_t,
                            uint32_t*);

ScreenFn pick_screen() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? screen_avx2 : screen_sse2;
}
#endif

}  // namespace

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
