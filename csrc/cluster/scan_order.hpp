// The order of the exact candidate scan: canonicals by length and, within one length, by a key, the
// number of their characters that fall in one half of the fine character groups. Two canonicals of
// lengths la <= lb whose keys differ by d have character counts at an L1 distance of at least
// |d| + |lb - la - d| (the two halves summed separately), so for each length of a probe's window
// the rows that can still reach the histogram bound form one contiguous run of keys. The half is
// chosen on a sample as the direction along which the groups' shares vary most, so that the runs
// are short. Only the set of rows scanned depends on it, never the candidates.
#pragma once

#include <array>
#include <cstdint>
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
  // The key of the canonical at position p (0 for canonicals longer than kMaxFineLength).
  uint32_t key(size_t p) const { return key_[p]; }
  // The first position of length `length` (at most kMaxFineLength) whose key is at least `key`;
  // keys past the length give the end of that length's positions.
  uint32_t key_begin(uint32_t length, int64_t key) const;

 private:
  std::vector<uint32_t> order_;
  std::vector<uint8_t> key_;
  // The first position of every length up to kMaxFineLength, then of all longer ones.
  std::vector<uint32_t> class_begin_;
  bool keyed_ = false;
};

}  // namespace simsieve
