#include "gestalt/codepoints.hpp"

#include <cstring>

namespace simsieve {

size_t decode_utf8_to(std::string_view s, uint32_t* const out) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const unsigned char* end = p + s.size();
  uint32_t* dst = out;
  while (p < end) {
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
