// Interning of the strings of one batch: every distinct content (exact byte equality) gets a
// dense 32-bit id in order of first appearance, so that per-string work (decoding, indexing) is
// done once however often a string repeats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace simsieve {

// Raised when a batch needs more ids (pairs or distinct strings) than 32 bits can number.
class BatchLimitError : public std::length_error {
 public:
  using std::length_error::length_error;
};

// The largest number of pairs, and of distinct strings, that one interned batch can hold.
inline constexpr uint64_t kMaxInternedItems = 0xFFFFFFFFull;

// Interns views of strings that the caller keeps alive (and unchanged) for as long as the
// interner and the views it hands out are used; no string is copied. The lookup table is an
// open-addressing hash table of ids.
class StringInterner {
 public:
  // Expected number of distinct strings (sizes the table once; more are fine).
  explicit StringInterner(size_t expected = 0);

  // The id of `text`: the existing id when the same bytes were interned before, otherwise the
  // next free id (the number of distinct strings so far). Throws BatchLimitError rather than hand
  // out more than 4294967295 ids.
  uint32_t intern(std::string_view text);

  size_t size() const { return strings_.size(); }

  // Releases the lookup table and hands over the distinct strings, indexed by id; the interner
  // is empty (and usable) afterwards.
  std::vector<std::string_view> take_strings();

 private:
  struct Slot {
    uint32_t id_plus_one = 0;  // 0 marks an empty slot
    uint32_t hash_bits = 0;    // low bits of the hash, to skip most mismatching comparisons
  };
  void grow();

  std::vector<Slot> table_;  // size a power of two, at most half full
  std::vector<std::string_view> strings_;
};

}  // namespace simsieve
