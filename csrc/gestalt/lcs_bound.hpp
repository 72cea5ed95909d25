// The longest common subsequence of two strings as an upper bound of the gestalt match count: the
// matching blocks of any alignment form a common subsequence, so M <= LCS and a ratio reaches t
// only when the LCS reaches the match count t demands. Computed bit-parallel over the shorter
// string, 64 positions a machine word, in a few operations per character of the longer one; far
// cheaper than the exact test, and on near-duplicate candidates nearly as selective.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace simsieve {

// One string prepared as the bit pattern: the positions of each of its characters as a bit vector.
// ASCII characters find their row through a table, others by binary search among the pattern's
// non-ASCII characters. Rebuilding reuses the storage.
class LcsPattern {
 public:
  void build(std::span<const uint32_t> pattern);
  // Length of the longest common subsequence of the pattern and `text`; `scratch` is the caller's
  // (one per thread), so one pattern serves many threads.
  uint64_t lcs_with(std::span<const uint32_t> text, std::vector<uint64_t>& scratch) const;
  // Whether that length is at least `need`: the same computation, left as soon as the positions
  // used so far reach `need`, or fall short of it by more than the text left can add.
  bool reaches(std::span<const uint32_t> text, uint64_t need, std::vector<uint64_t>& scratch) const;
  size_t size() const { return length_; }

 private:
  struct Other {
    uint32_t code_point;
    uint32_t row;
  };
  // The row of c among the multi-word masks, or of a non-ASCII c in any pattern.
  size_t row_of(uint32_t c) const;
  // The bit-parallel computation over `text`, `step` characters at a time: after each step but the
  // last, settled(positions used so far, characters left) may end it. Returns the positions used.
  template <class Settled>
  uint64_t read(std::span<const uint32_t> text, std::vector<uint64_t>& scratch, size_t step, Settled settled) const;

  size_t length_ = 0;
  size_t words_ = 0;
  std::array<int32_t, 128> ascii_row_{};
  // For a pattern of one word, each ASCII character's bits directly (one load a text character);
  // zero for every character absent from it, and for every character of a multi-word pattern.
  std::array<uint64_t, 128> ascii_mask_{};
  std::vector<uint8_t> ascii_set_;  // the characters with a non-zero entry in ascii_mask_
  std::vector<Other> others_;
  std::vector<uint64_t> masks_;
};

// Length of the longest common subsequence of a and b.
uint64_t lcs_length(std::span<const uint32_t> a, std::span<const uint32_t> b);

// Whether that length is at least `need`.
bool lcs_reaches(std::span<const uint32_t> a, std::span<const uint32_t> b, uint64_t need);

// The bound costs a word operation per 64 characters of the shorter string and character of the
// longer one, so past this length of the shorter string the exact tests are cheaper and the bound
// is not taken.
inline constexpr size_t kLcsMaxPattern = 256;

// Up to this length of the shorter string the bound may still pay for pairs of long strings that
// the exact test finds far from each other: it then gives up early, after part of the longer
// string, where the exact test searches the whole pair. Callers decide when to take it.
inline constexpr size_t kLcsMaxLongPattern = 4096;

// False when the match count of (a, b) is certainly below `need`; true otherwise. The bound is
// computed when the shorter string has at most `max_pattern` code points.
bool lcs_may_reach(std::span<const uint32_t> a, std::span<const uint32_t> b, uint64_t need,
                   size_t max_pattern = kLcsMaxPattern);

// False when the ratio of (a, b), in either orientation, is certainly below t; true otherwise.
bool lcs_allows(std::span<const uint32_t> a, std::span<const uint32_t> b, double t,
                size_t max_pattern = kLcsMaxPattern);

}  // namespace simsieve
