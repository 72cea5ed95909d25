// Common runs of two strings, decided bit-parallel over the positions of one of them (the pattern,
// at most kRunMaxPattern characters, or kRunMaxCountPattern for the count alone): whether they
// share a substring of a given length, and the gestalt match count itself. The first matching
// block of the gestalt recursion is a longest common substring, so a common run of L characters
// proves a match count of at least L without any search; when it does not, the count runs the
// recursion with every longest match found in a table of byte run lengths (by intersecting
// shifted position sets where the pattern's characters do not fit bytes), for short strings far
// cheaper than the indexed search.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace simsieve {

inline constexpr size_t kRunMaxPattern = 128;
// Longer patterns, up to this many characters, serve the match count alone, by run lengths in
// bytes, when their characters all get bytes and the processor has the vectors for them.
inline constexpr size_t kRunMaxCountPattern = 255;

// One string prepared as a pattern: for every character, the bit set of its positions. Rebuilding
// reuses the storage; the object holds the scratch of its queries, so one thread owns it.
class RunPattern {
 public:
  // `pattern` has at most kRunMaxCountPattern characters; the runs are searched only for those of
  // at most kRunMaxPattern, and counted for longer ones only when countable().
  void build(std::span<const uint32_t> pattern);
  size_t size() const { return length_; }
  // Whether match_count() serves this pattern.
  bool countable() const;

  // True when the pattern (at most kRunMaxPattern characters) and `text` have a common substring
  // of at least `run` characters.
  bool shares_run(std::span<const uint32_t> text, uint64_t run);
  // The same for the pattern's characters from position `start` on and the text's from `start` on.
  bool shares_run_after(std::span<const uint32_t> text, size_t start, uint64_t run);

  // How match_count() finds the count: the fastest way the pattern and the processor allow, or
  // (for tests) always by the run lengths in 16-byte vectors, or always by the position sets.
  enum class CountPath { fastest, bytes_sse2, bitwise };

  // The gestalt match count of (pattern, text), the pattern scanned as the first string: exact
  // when below `limit`, otherwise some value >= limit (the search stops there). The byte paths
  // serve patterns whose characters all get bytes; the others are counted by the position sets.
  uint64_t match_count(std::span<const uint32_t> text, uint64_t limit, CountPath path = CountPath::fastest);

  struct Bits {
    uint64_t lo = 0, hi = 0;
  };

 private:
  struct Other {
    uint32_t code_point;
    Bits bits;
  };
  Bits bits_of(uint32_t c) const;
  template <bool Wide>
  bool scan(std::span<const uint32_t> text, size_t run, Bits allowed);
  template <bool Wide>
  uint64_t count(std::span<const uint32_t> text, uint64_t limit);
  void load_text(std::span<const uint32_t> text);
  uint64_t count_bytes(std::span<const uint32_t> text, uint64_t limit, bool wide);
  uint8_t text_byte(uint32_t c) const;
  template <size_t V>
  uint64_t count_bytes(std::span<const uint32_t> text, uint64_t limit);
  template <size_t V>
  uint64_t count_bytes_avx2(std::span<const uint32_t> text, uint64_t limit);

  size_t length_ = 0;
  std::array<Bits, 128> ascii_{};
  std::vector<Other> others_;
  // The pattern's characters as bytes (when it has few enough distinct non-ASCII ones), padded
  // with one no text character is mapped to.
  bool byte_pattern_ = false;
  std::array<uint8_t, kRunMaxCountPattern + 1> bytes_{};
  // The run lengths of count_bytes(): for every text position, one byte per pattern position.
  std::vector<uint8_t> run_rows_;
  // Level e of the run levels of count(), for a text of n characters (sized by count()).
  Bits* powers_level(size_t e, size_t n) { return powers_.data() + e * n; }

  std::vector<Bits> text_bits_, back_, forth_, powers_;
  struct Range {
    uint32_t alo, ahi, blo, bhi;
    // A count the range is certain to reach (0 where not worked out).
    uint32_t least = 0;
  };
  class ByteRanges;
  std::vector<Range> ranges_;
};

}  // namespace simsieve
