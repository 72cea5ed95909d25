// The first screen of the exact candidate search: character counts summed over 16 groups of
// characters, one byte per group, and the L1 distance between two such vectors. Summing counts
// over groups can only lower the L1 distance between two character-count vectors, so a group
// distance above the limit for the pair's total length rules the pair out exactly. The window
// screen runs with AVX2 where the processor has it (chosen at run time) and with SSE2 otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace simsieve {

inline constexpr size_t kCharGroups = 16;

// Character counts summed over groups of characters.
struct alignas(16) GroupCounts {
  uint8_t count[kCharGroups] = {};
};

// Character counts summed over 32 finer groups (each of the 16 groups split in two: group g holds
// fine groups g and g + 16), for canonicals of at most 255 code points, so that every count and
// every overlap fits a byte.
inline constexpr size_t kFineGroups = 2 * kCharGroups;
inline constexpr uint32_t kMaxFineLength = 255;
struct alignas(32) FineGroupCounts {
  uint8_t count[kFineGroups] = {};
};

// The fine group counts of `a` folded to `groups` columns (32, 16 or 8): column g sums the fine
// groups f with f % groups == g; the first `groups` entries are used.
FineGroupCounts fold_groups(const FineGroupCounts& a, size_t groups);

// The fine group counts of many rows, folded to `groups` columns (32, 16 or 8: column g sums the
// fine groups f with f % groups == g), 32 rows a block and column by column inside a block, so
// that one probe is compared with 32 rows per vector step. Fewer columns cost less per row and
// let more rows through.
class GroupColumns {
 public:
  static constexpr size_t kBlock = 32;
  // With `parallel`, the blocks are filled on the caller's pool.
  explicit GroupColumns(std::span<const FineGroupCounts> rows, size_t groups = kFineGroups, bool parallel = false);
  size_t groups() const { return groups_; }
  const uint8_t* block(size_t b) const { return bytes_.data() + offset_ + b * kBlock * groups_; }
  // The counts of `a` folded the same way (the first groups() entries).
  FineGroupCounts fold(const FineGroupCounts& a) const;

 private:
  std::vector<uint8_t> bytes_;
  size_t offset_ = 0;
  size_t groups_ = kFineGroups;
};

// Writes to `out` (room for end - begin + GroupColumns::kBlock entries), ascending, every q in
// [begin, end) whose group overlap with `a` (the sum over the columns of the smaller count) is at
// least `need`, and returns how many it wrote. `a` is already folded by columns.fold, once per
// probe rather than once per call. The group overlap is never below the character overlap, so a
// row below `need` has a character overlap below it too.
size_t screen_columns(const FineGroupCounts& a, const GroupColumns& columns, uint8_t need, size_t begin, size_t end,
                      uint32_t* out);

// screen_columns for `count` (at most kTileProbes) probes, already folded, at once over the same
// rows, each row block loaded once for all of them: probe k writes to out[k] and its count to kept[k].
inline constexpr size_t kTileProbes = 4;
void screen_columns_tile(const FineGroupCounts* const* probes, const uint8_t* needs, size_t count,
                         const GroupColumns& columns, size_t begin, size_t end, uint32_t* const* out, size_t* kept);

// The overlap of two rows over all 32 fine groups.
uint32_t fine_overlap(const FineGroupCounts& a, const FineGroupCounts& b);

// Sum over the groups of |x - y|.
uint32_t group_distance(const GroupCounts& x, const GroupCounts& y);

// Writes to `out` (room for end - begin entries), ascending, every q in [begin, end) with
// group_distance(a, groups[q]) <= limit[key[q]], and returns how many it wrote.
size_t screen_window(const GroupCounts& a, const GroupCounts* groups, const uint32_t* key, const int32_t* limit,
                     size_t begin, size_t end, uint32_t* out);

}  // namespace simsieve
