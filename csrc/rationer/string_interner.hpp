// Interning of the strings of one batch: every distinct content gets a dense 32-bit id in order of
// first appearance, so per-string work (decoding, indexing) is done once however often a string
// repeats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace simsieve {

// Raised when a batch needs more ids (pairs or distinct strings) than 32 bits can number.
class BatchLimitError : public std::length_error {
 public:
  using std::length_error::length_error;
};

// The largest number of pairs, and of distinct strings, that one interned batch can hold.
inline constexpr uint64_t kMaxInternedItems = 0xFFFFFFFFull;

class StringInterner {
 public:
  // The id of `text`: its existing id when the same bytes were interned before, otherwise the
  // next free id (the number of distinct strings so far), with a copy of `text` stored under it.
  // Throws BatchLimitError instead of handing out an id above 4294967294.
  uint32_t intern(std::string_view text);

  size_t size() const { return strings_.size(); }

  // Drops the lookup table and hands over the distinct strings, indexed by id. The interner is
  // empty afterwards.
  std::vector<std::string> take_strings();

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> ids_;
  std::vector<std::string> strings_;
};

}  // namespace simsieve
