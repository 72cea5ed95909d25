#include "gestalt/codepoints.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace simsieve {

size_t decode_utf8_to(std::string_view s, uint32_t* const out) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const unsigned char* end = p + s.size();
  uint32_t* dst = out;
  while (p < end) {
#if defined(__SSE2__)
    // Runs of ASCII sixteen bytes at a time, widened in registers.
    while (end - p >= 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      if (_mm_movemask_epi8(bytes)) break;
      const __m128i zero = _mm_setzero_si128();
      const __m128i lo = _mm_unpacklo_epi8(bytes, zero);
      const __m128i hi = _mm_unpackhi_epi8(bytes, zero);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi16(lo, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4), _mm_unpackhi_epi16(lo, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8), _mm_unpacklo_epi16(hi, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 12), _mm_unpackhi_epi16(hi, zero));
      p += 16;
      dst += 16;
    }
#endif
    // Runs of ASCII eight bytes at a time.
    while (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      if (word & 0x8080808080808080ULL) break;
      for (int i = 0; i < 8; ++i) dst[i] = p[i];
      p += 8;
      dst += 8;
    }
    if (p == end) break;
    unsigned c = *p;
    if (c < 0x80) {
      *dst++ = c;
      p += 1;
    } else if (c < 0xE0) {
      *dst++ = ((c & 0x1Fu) << 6) | (p[1] & 0x3Fu);
      p += 2;
    } else if (c < 0xF0) {
      *dst++ = ((c & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
      p += 3;
    } else {
      *dst++ = ((c & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
      p += 4;
    }
  }
  return static_cast<size_t>(dst - out);
}

void decode_utf8_into(std::string_view s, std::vector<uint32_t>& out) {
  // One code point never takes less than one byte, so s.size() bounds the output.
  out.resize(s.size());
  out.resize(decode_utf8_to(s, out.data()));
}

std::vector<uint32_t> decode_utf8(std::string_view s) {
  std::vector<uint32_t> out;
  decode_utf8_into(s, out);
  return out;
}

}  // namespace simsieve
