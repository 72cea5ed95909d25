// The longest common subsequence of two strings as an upper bound of the gestalt match count: the
// matching blocks of any alignment form a common subsequence, so M <= LCS and a ratio reaches t
// only when the LCS reaches the match count t demands. Computed bit-parallel over the shorter
// string, 64 positions a machine word, in a few operations per character of the longer one; far
// cheaper than the exact test, and on near-duplicate candidates nearly as selective.
#pragma once

#include <cstdint>
#include <span>

namespace simsieve {

// Length of the longest common subsequence of a and b.
uint64_t lcs_length(std::span<const uint32_t> a, std::span<const uint32_t> b);

// False when the ratio of (a, b), in either orientation, is certainly below t; true otherwise.
bool lcs_allows(std::span<const uint32_t> a, std::span<const uint32_t> b, double t);

}  // namespace simsieve
