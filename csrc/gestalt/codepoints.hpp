// Code points: the comparison units of every ratio. Strings arrive as UTF-8 and are compared as
// sequences of Unicode scalar values, one 32-bit unsigned integer each.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace simsieve {

// Decodes valid UTF-8 (the binding only ever hands over valid text) into code points.
std::vector<uint32_t> decode_utf8(std::string_view s);

// Same, into a caller-owned buffer that keeps its capacity between calls (the buffer is replaced).
void decode_utf8_into(std::string_view s, std::vector<uint32_t>& out);

// Same, into out, which has room for s.size() code points; returns how many were written.
size_t decode_utf8_to(std::string_view s, uint32_t* out);

}  // namespace simsieve
