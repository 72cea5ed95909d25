// Which members of a block share a run of q characters with a given member, for all of them at
// once. The cluster minimum settles a pair as "not below r" when a common run of L characters is
// certain (the longest matching block is at least that long); with a small running minimum L is a
// few characters, and one member's sharers over the whole block cost a few bitset unions instead
// of one bit-parallel scan per pair.
//
// Only runs of ASCII characters are indexed: a run with another code point is never reported, so
// a reported sharer always has the common run, and a pair not reported is merely left to the exact
// tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cluster/cluster_types.hpp"

namespace simsieve {

// Longest run the index takes: q ASCII characters of 7 bits each fit two 64-bit words.
inline constexpr uint32_t kMaxSharedGram = 18;

class SharedGrams {
 public:
  // Indexes the q-character runs of every member (`members` names canonicals).
  SharedGrams(std::span<const uint32_t> members, std::span<const CodepointView> canonicals, uint32_t q, bool parallel);

  uint32_t q() const { return q_; }
  size_t words() const { return words_; }

  // Fills `bits` (words() words) with a set that holds, among the members y > x, exactly those
  // that share a run of q characters with member x; bits of members up to x mean nothing.
  void sharers_after(size_t x, std::vector<uint64_t>& bits) const;

 private:
  template <class Key>
  void index(std::span<const uint32_t> members, std::span<const CodepointView> canonicals, bool parallel);

  uint32_t q_ = 0;
  size_t words_ = 0;
  // Each member's distinct runs as gram ids, and each gram's members in ascending order.
  std::vector<uint32_t> member_begin_, member_grams_;
  std::vector<uint32_t> gram_begin_, gram_members_;
  // The grams held by many members also as bitsets (frequent_[gram] indexes `bitsets_` in
  // words_-word rows, or is UINT32_MAX): one word operation per 64 members instead of one store
  // per member.
  std::vector<uint32_t> frequent_;
  std::vector<uint64_t> bitsets_;
};

}  // namespace simsieve
