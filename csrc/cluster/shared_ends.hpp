// Which members of a block begin (or end) with the same L characters as a given member, for any
// L. A common start or end of L characters is a common run of L, so such a pair matches at least
// L characters; in blocks of paths, addresses or keys under shared directories most pairs are
// settled that way, and the sets settle a row's pairs a word of members at a time.
//
// The members are ordered by their characters (read from the end for ends), with the length of
// the common start of each with the one before: those sharing L characters with a member are its
// neighbours in that order, up to the first pair whose common start is shorter. The classes of
// one length are made when a row first needs them, the large ones also as bitsets.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "cluster/cluster_types.hpp"

namespace simsieve {

// The longest common start or end the classes are made for; longer ones are left to the other tests.
inline constexpr uint32_t kMaxSharedEnd = 4096;

class SharedEnds {
 public:
  // Orders the members (`members` names canonicals), by their last characters first with `from_end`.
  SharedEnds(std::span<const uint32_t> members, std::span<const CodepointView> canonicals, bool from_end,
             bool parallel);

  size_t words() const { return words_; }

  // Fills `bits` (words() words) with a set that holds, among the members y > x, exactly those
  // whose first (last) `length` characters are x's; bits of members up to x mean nothing. False,
  // with `bits` untouched, when `length` is 0 or past kMaxSharedEnd, or when the classes of that
  // length no longer fit the block's memory. Safe to call from several threads at once.
  bool sharers_after(size_t x, uint32_t length, std::vector<uint64_t>& bits);

 private:
  struct Classes {
    std::vector<uint32_t> class_of;        // per member: its class, or kNone alone
    std::vector<uint32_t> begin, members;  // each class's members, ascending
    std::vector<uint32_t> bitset_of;       // per class: its row in `bitsets`, or kNone
    std::vector<uint64_t> bitsets;
  };
  static constexpr uint32_t kNone = UINT32_MAX;
  // The classes of one length, made by the first caller that needs them; null once the block's
  // classes have used up their memory.
  const Classes* classes(uint32_t length);

  size_t words_ = 0;
  std::vector<uint32_t> order_;   // member positions in the order of their characters
  std::vector<uint32_t> common_;  // common_[k]: common start of order_[k - 1] and order_[k]
  std::vector<std::unique_ptr<Classes>> by_length_;
  std::unique_ptr<std::once_flag[]> built_;
  // Member entries and bitset words the classes of all lengths may still take.
  std::atomic<uint64_t> entries_left_, words_left_;
};

}  // namespace simsieve
