#include "gestalt/lcs_bound.hpp"

#include <algorithm>
#include <bit>
#include <memory>

#include "gestalt/bounded.hpp"

namespace simsieve {

void LcsPattern::build(std::span<const uint32_t> pattern) {
  length_ = pattern.size();
  words_ = (pattern.size() + 63) / 64;
  others_.clear();
  // The one-word masks of the previous pattern, cleared entry by entry: cheaper than the whole
  // table when patterns are a few dozen characters and change with nearly every pair.
  for (uint8_t c : ascii_set_) ascii_mask_[c] = 0;
  ascii_set_.clear();
  uint32_t rows = 1;  // row 0 stays all zero: characters absent from the pattern
  if (words_ == 1) {
    for (size_t i = 0; i < pattern.size(); ++i) {
      const uint32_t c = pattern[i];
      if (c < 128) {
        if (ascii_mask_[c] == 0) ascii_set_.push_back(static_cast<uint8_t>(c));
        ascii_mask_[c] |= uint64_t{1} << i;
      } else {
        others_.push_back({c, 0});
      }
    }
  } else {
    ascii_row_.fill(-1);
    for (uint32_t c : pattern) {
      if (c < 128) {
        if (ascii_row_[c] < 0) ascii_row_[c] = static_cast<int32_t>(rows++);
      } else {
        others_.push_back({c, 0});
      }
    }
  }
  auto by_code_point = [](const Other& x, const Other& y) { return x.code_point < y.code_point; };
  std::sort(others_.begin(), others_.end(), by_code_point);
  others_.erase(std::unique(others_.begin(), others_.end(),
                            [](const Other& x, const Other& y) { return x.code_point == y.code_point; }),
                others_.end());
  for (Other& o : others_) o.row = rows++;
  masks_.assign(size_t{rows} * words_, 0);
  // One-word patterns keep their ASCII characters' bits in ascii_mask_ alone.
  if (words_ == 1 && others_.empty()) return;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (words_ == 1 && pattern[i] < 128) continue;
    masks_[row_of(pattern[i]) * words_ + i / 64] |= uint64_t{1} << (i % 64);
  }
}

size_t LcsPattern::row_of(uint32_t c) const {
  if (c < 128) return ascii_row_[c] < 0 ? 0 : static_cast<size_t>(ascii_row_[c]);
  auto it = std::lower_bound(others_.begin(), others_.end(), c,
                             [](const Other& o, uint32_t v) { return o.code_point < v; });
  return it != others_.end() && it->code_point == c ? it->row : 0;
}

template <class Settled>
uint64_t LcsPattern::read(std::span<const uint32_t> text, std::vector<uint64_t>& scratch, size_t step,
                          Settled settled) const {
  const size_t n = text.size();
  if (words_ == 1) {
    // One word, no carry between words: V' = (V + (V & M)) | (V & ~M), and V & ~M = V - (V & M).
    const uint64_t live = length_ == 64 ? ~uint64_t{0} : (uint64_t{1} << length_) - 1;
    uint64_t v = ~uint64_t{0};
    for (size_t done = 0; done < n;) {
      for (const size_t stop = std::min(n, done + step); done < stop; ++done) {
        const uint32_t c = text[done];
        const uint64_t u = v & (c < 128 ? ascii_mask_[c] : masks_[row_of(c)]);
        v = (v + u) | (v - u);
      }
      const auto used = static_cast<uint64_t>(std::popcount(~v & live));
      if (done == n || settled(used, n - done)) return used;
    }
    return 0;
  }
  scratch.assign(words_, ~uint64_t{0});
  uint64_t* v = scratch.data();
  const size_t tail = length_ - (words_ - 1) * 64;
  const uint64_t tail_mask = tail == 64 ? ~uint64_t{0} : (uint64_t{1} << tail) - 1;
  // V holds a one for every pattern position not yet used by the longest common subsequence of
  // the text read so far: V' = (V + (V & M)) | (V & ~M), with the carry running across words.
  for (size_t done = 0; done < n;) {
    for (const size_t stop = std::min(n, done + step); done < stop; ++done) {
      const uint64_t* m = masks_.data() + row_of(text[done]) * words_;
      uint64_t carry = 0;
      for (size_t w = 0; w < words_; ++w) {
        const uint64_t u = v[w] & m[w];
        const uint64_t sum = v[w] + u;
        const uint64_t out = sum + carry;
        carry = static_cast<uint64_t>(sum < u) | static_cast<uint64_t>(out < sum);
        v[w] = out | (v[w] & ~m[w]);
      }
    }
    uint64_t unused = static_cast<uint64_t>(std::popcount(v[words_ - 1] & tail_mask));
    for (size_t w = 0; w + 1 < words_; ++w) unused += static_cast<uint64_t>(std::popcount(v[w]));
    const uint64_t used = length_ - unused;
    if (done == n || settled(used, n - done)) return used;
  }
  return 0;
}

uint64_t LcsPattern::lcs_with(std::span<const uint32_t> text, std::vector<uint64_t>& scratch) const {
  if (length_ == 0) return 0;
  return read(text, scratch, std::max<size_t>(text.size(), 1), [](uint64_t, size_t) { return false; });
}

bool LcsPattern::reaches(std::span<const uint32_t> text, uint64_t need, std::vector<uint64_t>& scratch) const {
  if (need == 0) return true;
  if (length_ < need || text.size() < need) return false;
  // Every character of the text adds at most one position, so after some characters the length
  // ends between the positions used so far and that plus the characters left; checked every 8, or
  // every 32 for patterns of several words, whose count of used positions takes a word count per
  // word (a library call where the processor's own count is not assumed).
  auto settled = [need](uint64_t used, size_t left) { return used >= need || used + left < need; };
  return read(text, scratch, words_ == 1 ? 8 : 32, settled) >= need;
}

namespace {

// The pattern of the previous call is kept with its text: callers that walk the candidates of
// one string in a row build it once. The text is compared, not its address, since storage can
// be reused for other text.
struct PatternCache {
  LcsPattern pattern;
  std::vector<uint32_t> pattern_text;
  std::vector<uint64_t> scratch;

  // Makes one of a and b the pattern and returns the other, the text.
  std::span<const uint32_t> prepare(std::span<const uint32_t> a, std::span<const uint32_t> b) {
    auto is_pattern = [&](std::span<const uint32_t> s) {
      return s.size() == pattern_text.size() && std::equal(s.begin(), s.end(), pattern_text.begin());
    };
    if (is_pattern(a)) return b;
    if (pattern_text.size() <= kLcsMaxPattern && is_pattern(b)) return a;
    // The first string becomes the pattern unless that takes more words than the other: a caller
    // walking the pairs of one first string then builds its pattern once.
    if ((a.size() + 63) / 64 > (b.size() + 63) / 64) std::swap(a, b);
    pattern.build(a);
    pattern_text.assign(a.begin(), a.end());
    return b;
  }
};

// Held through a pointer: a pattern's tables in thread-local storage would take much of the
// loader's small static TLS block of a module loaded at run time.
PatternCache& pattern_cache() {
  thread_local std::unique_ptr<PatternCache> cache;
  if (!cache) cache = std::make_unique<PatternCache>();
  return *cache;
}

}  // namespace

bool lcs_reaches(std::span<const uint32_t> a, std::span<const uint32_t> b, uint64_t need) {
  PatternCache& cache = pattern_cache();
  const std::span<const uint32_t> text = cache.prepare(a, b);
  return cache.pattern.reaches(text, need, cache.scratch);
}

uint64_t lcs_length(std::span<const uint32_t> a, std::span<const uint32_t> b) {
  PatternCache& cache = pattern_cache();
  const std::span<const uint32_t> text = cache.prepare(a, b);
  return cache.pattern.lcs_with(text, cache.scratch);
}

bool lcs_may_reach(std::span<const uint32_t> a, std::span<const uint32_t> b, uint64_t need, size_t max_pattern) {
  const size_t shorter = std::min(a.size(), b.size());
  if (need == 0) return true;
  if (shorter < need) return false;
  return shorter > max_pattern || lcs_reaches(a, b, need);
}

bool lcs_allows(std::span<const uint32_t> a, std::span<const uint32_t> b, double t, size_t max_pattern) {
  return lcs_may_reach(a, b, need_for(t, a.size() + b.size()), max_pattern);
}

}  // namespace simsieve
