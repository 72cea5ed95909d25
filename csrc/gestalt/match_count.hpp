// The exact match count M of difflib's matching-block recursion (no junk), driven by the match
// index of b instead of difflib's quadratic search. 2M / (la + lb) is difflib's ratio.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "gestalt/match_index.hpp"

namespace simsieve {

// M for a against b, given b's index. Uses the calling thread's search scratch.
uint64_t count_matches(std::span<const uint32_t> a, const MatchIndex& index, std::span<const uint32_t> b);

// The ratio of two UTF-8 strings, always through the match index of b (never the sparse path);
// equal to gestalt_ratio for every pair.
double indexed_ratio(std::string_view a, std::string_view b);

}  // namespace simsieve
