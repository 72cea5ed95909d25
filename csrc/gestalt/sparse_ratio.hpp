// The sparse algorithm for all-ASCII strings: difflib's matching-block recursion with a position
// index of b per code point and a dense, lazily reset row of run lengths. Its cost is about the
// number of equal-code-point position pairs per recursion level, so it is the fast choice for
// short or dissimilar strings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace simsieve {

// Occurrence count of each code point 0..127, plus whether any code point is 128 or above.
struct AsciiHistogram {
  std::array<uint32_t, 128> counts{};
  bool non_ascii = false;
};

AsciiHistogram ascii_histogram(std::span<const uint32_t> s);

// Total size M of the matching blocks of two non-empty all-ASCII strings, given b's histogram.
uint64_t sparse_match_count(std::span<const uint32_t> a, std::span<const uint32_t> b, const AsciiHistogram& hist_b);

// b lengths up to which sparse_match_count_short applies.
inline constexpr size_t kShortSparse = 64;

// The same M when lb <= kShortSparse: the whole row of run lengths of b fits in vector registers,
// so neither b's histogram nor any per-thread scratch is needed.
uint64_t sparse_match_count_short(std::span<const uint32_t> a, std::span<const uint32_t> b);

// 2M / (la + lb) for two non-empty all-ASCII strings.
double sparse_ratio(std::span<const uint32_t> a, std::span<const uint32_t> b, const AsciiHistogram& hist_b);

}  // namespace simsieve
