#include "gestalt/lcs_bound.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <vector>

#include "gestalt/bounded.hpp"

namespace simsieve {
namespace {

// The positions of each character of the pattern as a bit vector of `words` words. ASCII
// characters find their row through a table, others by binary search among the pattern's
// non-ASCII characters. Reused per thread, so a call allocates only when a longer pattern comes.
class PatternMasks {
 public:
  void build(std::span<const uint32_t> pattern) {
    words_ = (pattern.size() + 63) / 64;
    ascii_row_.fill(-1);
    others_.clear();
    rows_ = 1;  // row 0 stays all zero: characters absent from the pattern
    for (uint32_t c : pattern) {
      if (c < 128) {
        if (ascii_row_[c] < 0) ascii_row_[c] = static_cast<int32_t>(rows_++);
      } else {
        others_.push_back({c, 0});
      }
    }
    std::sort(others_.begin(), others_.end(), [](const Other& x, const Other& y) { return x.code_point < y.code_point; });
    others_.erase(std::unique(others_.begin(), others_.end(),
                              [](const Other& x, const Other& y) { return x.code_point == y.code_point; }),
                  others_.end());
    for (Other& o : others_) o.row = rows_++;
    masks_.assign(rows_ * words_, 0);
    for (size_t i = 0; i < pattern.size(); ++i) masks_[row_of(pattern[i]) * words_ + i / 64] |= uint64_t{1} << (i % 64);
  }

  const uint64_t* mask(uint32_t c) const { return masks_.data() + row_of(c) * words_; }
  size_t words() const { return words_; }

 private:
  struct Other {
    uint32_t code_point;
    size_t row;
  };

  size_t row_of(uint32_t c) const {
    if (c < 128) return ascii_row_[c] < 0 ? 0 : static_cast<size_t>(ascii_row_[c]);
    auto it = std::lower_bound(others_.begin(), others_.end(), c,
                               [](const Other& o, uint32_t v) { return o.code_point < v; });
    return it != others_.end() && it->code_point == c ? it->row : 0;
  }

  size_t words_ = 0;
  size_t rows_ = 0;
  std::array<int32_t, 128> ascii_row_{};
  std::vector<Other> others_;
  std::vector<uint64_t> masks_;
};

}  // namespace

uint64_t lcs_length(std::span<const uint32_t> a, std::span<const uint32_t> b) {
  if (a.size() > b.size()) std::swap(a, b);
  if (a.empty()) return 0;
  thread_local PatternMasks masks;
  thread_local std::vector<uint64_t> v;
  masks.build(a);
  const size_t words = masks.words();
  v.assign(words, ~uint64_t{0});
  // V holds a one for every pattern position not yet used by the longest common subsequence of
  // the text read so far: V' = (V + (V & M)) | (V & ~M), with the carry running across words.
  for (uint32_t c : b) {
    const uint64_t* m = masks.mask(c);
    uint64_t carry = 0;
    for (size_t w = 0; w < words; ++w) {
      const uint64_t u = v[w] & m[w];
      const uint64_t sum = v[w] + u;
      const uint64_t out = sum + carry;
      carry = static_cast<uint64_t>(sum < u) | static_cast<uint64_t>(out < sum);
      v[w] = out | (v[w] & ~m[w]);
    }
  }
  uint64_t unused = 0;
  for (size_t w = 0; w + 1 < words; ++w) unused += static_cast<uint64_t>(std::popcount(v[w]));
  const size_t tail = a.size() - (words - 1) * 64;
  const uint64_t tail_mask = tail == 64 ? ~uint64_t{0} : (uint64_t{1} << tail) - 1;
  unused += static_cast<uint64_t>(std::popcount(v[words - 1] & tail_mask));
  return a.size() - unused;
}

bool lcs_allows(std::span<const uint32_t> a, std::span<const uint32_t> b, double t) {
  const uint64_t need = need_for(t, a.size() + b.size());
  if (need == 0) return true;
  if (std::min(a.size(), b.size()) < need) return false;
  return lcs_length(a, b) >= need;
}

}  // namespace simsieve
