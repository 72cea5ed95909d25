// The first screen of the exact candidate search: character counts summed over 16 groups of
// characters, one byte per group, and the L1 distance between two such vectors. Summing counts
// over groups can only lower the L1 distance between two character-count vectors, so a group
// distance above the limit for the pair's total length rules the pair out exactly. The window
// screen runs with AVX2 where the processor has it (chosen at run time) and with SSE2 otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace simsieve {

inline constexpr size_t kCharGroups = 16;

// Character counts summed over groups of characters.
struct alignas(16) GroupCounts {
  uint8_t count[kCharGroups] = {};
};

// Sum over the groups of |x - y|.
uint32_t group_distance(const GroupCounts& x, const GroupCounts& y);

// Writes to `out` (room for end - begin entries), ascending, every q in [begin, end) with
// group_distance(a, groups[q]) <= limit[key[q]], and returns how many it wrote.
size_t screen_window(const GroupCounts& a, const GroupCounts* groups, const uint32_t* key, const int32_t* limit,
                     size_t begin, size_t end, uint32_t* out);

}  // namespace simsieve
