// The order of the exact candidate scan: canonicals by length and, within one length, by two keys,
// the numbers of their characters that fall in two of three parts of the fine character groups.
// Two canonicals of lengths la <= lb whose counts in the three parts differ by da, db and dc
// (da + db + dc = lb - la) have character counts at an L1 distance of at least |da| + |db| + |dc|,
// so for each length of a probe's window and each first key the rows that can still reach the
// histogram bound form one contiguous run of second keys. The parts are arcs of the groups' angles
// in the plane of the two directions along which the groups' shares vary most over a sample, so
// that the runs are short. Only the set of rows scanned depends on them, never the candidates.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "cluster/char_histogram.hpp"
#include "cluster/group_screen.hpp"

namespace simsieve {

// Which fine group each character belongs to: ASCII characters by their frequency over the input,
// heaviest first into the lightest group, so that the groups hold about the same number of
// occurrences; other code points by a hash.
struct CharGroups {
  std::array<uint8_t, 128> ascii{};
  uint8_t of(uint32_t c) const {
    return c < 128 ? ascii[c] : static_cast<uint8_t>((c * 2654435761u) >> 27);
  }
};

CharGroups balanced_groups(const std::vector<CharHistogram>& histograms);

class ScanOrder {
 public:
  // With `keyed` false, the order is by length alone (stable), as the plain scan has it. With
  // `parallel`, the keys and the sort are spread over the caller's pool; the order is the same.
  ScanOrder(const std::vector<CharHistogram>& histograms, const CharGroups& groups, bool keyed, bool parallel);

  const std::vector<uint32_t>& order() const { return order_; }
  bool keyed() const { return keyed_; }
  // The keys of the canonical at position p (0 for canonicals longer than kMaxFineLength).
  uint32_t key(size_t p) const { return key_[p]; }
  uint32_t second(size_t p) const { return second_[p]; }
  // The positions [begin, end) of length `length` (at most kMaxFineLength) whose first key is `key`
  // (0 to length) and whose second key lies in [least, most]; empty when none does.
  std::pair<uint32_t, uint32_t> second_run(uint32_t length, int64_t key, int64_t least, int64_t most) const;

 private:
  std::vector<uint32_t> order_;
  std::vector<uint8_t> key_, second_;
  // The first position of every length up to kMaxFineLength, then of all longer ones.
  std::vector<uint32_t> class_begin_;
  // The run of each first key of each length, at cells_[cell_base_[length] + key] (with one entry
  // past the length's keys for the end): its first position (the next entry's is its end), the
  // least and largest second key in it, and where in second_begin_ the first position of each
  // second key from the least on is listed.
  struct Cell {
    uint32_t begin = 0, base = 0;
    uint8_t least = 0, most = 0;
  };
  std::vector<uint32_t> cell_base_;
  std::vector<Cell> cells_;
  std::vector<uint32_t> second_begin_;
  bool keyed_ = false;
};

}  // namespace simsieve
