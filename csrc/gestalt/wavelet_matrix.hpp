// A wavelet matrix over an array of 32-bit unsigned values: one rank-supported bit vector per
// value bit. It answers, for any index range [l, r) of the array, how many values are below a
// bound and which value has a given rank, each in O(bits) time, with about 1.5 * bits bits of
// memory per element. The match index uses it to find the nearest end position on either side
// of a bound inside the end-position slice of one automaton state.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace simsieve::detail {

class WaveletMatrix {
 public:
  WaveletMatrix() = default;
  // Every value must be below 2^bits (1 <= bits <= 32).
  WaveletMatrix(std::span<const uint32_t> values, uint32_t bits);

  bool empty() const { return levels_.empty(); }
  uint32_t size() const { return size_; }

  // Number of values below v among positions [l, r).
  uint32_t count_less(uint32_t l, uint32_t r, uint32_t v) const;
  // The k-th smallest value (0-based) among positions [l, r); requires k < r - l.
  uint32_t kth_smallest(uint32_t l, uint32_t r, uint32_t k) const;

 private:
  struct Block {
    uint64_t bits;
    uint64_t rank;  // ones before this block
  };
  struct Level {
    std::vector<Block> blocks;
    uint32_t zeros = 0;
    uint32_t rank1(uint32_t i) const {
      const Block& b = blocks[i >> 6];
      uint64_t mask = (uint64_t{1} << (i & 63)) - 1;
      return static_cast<uint32_t>(b.rank) + static_cast<uint32_t>(__builtin_popcountll(b.bits & mask));
    }
  };
  std::vector<Level> levels_;  // most significant bit first
  uint32_t bits_ = 0;
  uint32_t size_ = 0;
};

}  // namespace simsieve::detail
