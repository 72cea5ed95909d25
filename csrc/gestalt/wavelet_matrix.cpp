#include "gestalt/wavelet_matrix.hpp"

#include "common/internal_error.hpp"

namespace simsieve::detail {

WaveletMatrix::WaveletMatrix(std::span<const uint32_t> values, uint32_t bits)
    : bits_(bits), size_(static_cast<uint32_t>(values.size())) {
  ensure(bits >= 1 && bits <= 32, "wavelet matrix: bit width out of range");
  std::vector<uint32_t> cur(values.begin(), values.end());
  std::vector<uint32_t> next(cur.size());
  levels_.resize(bits);
  const size_t nblocks = cur.size() / 64 + 1;
  for (uint32_t level = 0; level < bits; ++level) {
    const uint32_t shift = bits - 1 - level;
    Level& lv = levels_[level];
    lv.blocks.assign(nblocks, Block{0, 0});
    uint32_t zeros = 0;
    for (size_t i = 0; i < cur.size(); ++i) {
      if ((cur[i] >> shift) & 1u) {
        lv.blocks[i >> 6].bits |= uint64_t{1} << (i & 63);
      } else {
        ++zeros;
      }
    }
    uint64_t ones = 0;
    for (Block& b : lv.blocks) {
      b.rank = ones;
      ones += static_cast<uint64_t>(__builtin_popcountll(b.bits));
    }
    lv.zeros = zeros;
    // Stable partition: zeros first, then ones, each keeping its order.
    size_t z = 0, o = zeros;
    for (uint32_t v : cur) {
      if ((v >> shift) & 1u) {
        next[o++] = v;
      } else {
        next[z++] = v;
      }
    }
    cur.swap(next);
  }
}

uint32_t WaveletMatrix::count_less(uint32_t l, uint32_t r, uint32_t v) const {
  if (bits_ < 32 && v >= (uint32_t{1} << bits_)) return r - l;
  uint32_t result = 0;
  for (uint32_t level = 0; level < bits_; ++level) {
    const Level& lv = levels_[level];
    const uint32_t l1 = lv.rank1(l), r1 = lv.rank1(r);
    if ((v >> (bits_ - 1 - level)) & 1u) {
      result += (r - r1) - (l - l1);
      l = lv.zeros + l1;
      r = lv.zeros + r1;
    } else {
      l -= l1;
      r -= r1;
    }
  }
  return result;
}

uint32_t WaveletMatrix::kth_smallest(uint32_t l, uint32_t r, uint32_t k) const {
  uint32_t value = 0;
  for (uint32_t level = 0; level < bits_; ++level) {
    const Level& lv = levels_[level];
    const uint32_t l1 = lv.rank1(l), r1 = lv.rank1(r);
    const uint32_t zeros_here = (r - r1) - (l - l1);
    if (k < zeros_here) {
      l -= l1;
      r -= r1;
    } else {
      k -= zeros_here;
      value |= uint32_t{1} << (bits_ - 1 - level);
      l = lv.zeros + l1;
      r = lv.zeros + r1;
    }
  }
  return value;
}

}  // namespace simsieve::detail
