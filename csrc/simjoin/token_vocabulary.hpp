// The token vocabulary of a corpus build: an open-addressing hash table from token text to a dense
// feature id (0, 1, 2, ... in order of first insertion). Keys are views into strings that the
// caller keeps alive for the table's lifetime; nothing is copied.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace simsieve::detail {

// A keyed 64-bit hash of a byte string (multiply-fold mixing over 8-byte words). The key is
// chosen at random per table; no result of the build depends on it.
class ByteHasher {
 public:
  explicit ByteHasher(uint64_t key) noexcept : key_(key ^ 0x9e3779b97f4a7c15ull) {}

  uint64_t operator()(std::string_view s) const noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size();
    uint64_t h = key_ ^ (static_cast<uint64_t>(n) * 0xff51afd7ed558ccdull);
    while (n >= 8) {
      h = fold(h ^ load(p, 8), 0xa0761d6478bd642full);
      p += 8;
      n -= 8;
    }
    // Tail of 0..7 bytes; its length is already in the seed, so zero padding is unambiguous.
    h = fold(h ^ load(p, n), 0xe7037ed1a0b428dbull);
    return fold(h, key_ | 1);
  }

 private:
  static uint64_t load(const unsigned char* p, size_t n) noexcept {
    uint64_t v = 0;
    std::memcpy(&v, p, n);
    return v;
  }
  static uint64_t fold(uint64_t a, uint64_t b) noexcept {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
  }

  uint64_t key_;
};

// A fresh random hash key (from the OS entropy source, with a clock-based fallback).
uint64_t random_hash_key() noexcept;

class TokenVocabulary {
 public:
  TokenVocabulary() : hasher_(random_hash_key()), slots_(kInitialSlots, kEmpty), mask_(kInitialSlots - 1) {}

  // The id of `token`, inserting it with the next id if it is new. `inserted` tells which.
  uint32_t find_or_insert(std::string_view token, bool& inserted) {
    const uint64_t h = hasher_(token);
    size_t pos = static_cast<size_t>(h) & mask_;
    while (true) {
      const uint32_t slot = slots_[pos];
      if (slot == kEmpty) break;
      if (hashes_[slot] == h && keys_[slot] == token) {
        inserted = false;
        return slot;
      }
      pos = (pos + 1) & mask_;
    }
    const auto id = static_cast<uint32_t>(keys_.size());
    keys_.push_back(token);
    hashes_.push_back(h);
    slots_[pos] = id;
    inserted = true;
    if (keys_.size() * 2 > slots_.size()) grow();
    return id;
  }

  size_t size() const noexcept { return keys_.size(); }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  static constexpr size_t kInitialSlots = 1024;

  void grow() {
    std::vector<uint32_t> bigger(slots_.size() * 2, kEmpty);
    const size_t mask = bigger.size() - 1;
    for (uint32_t id = 0; id < keys_.size(); ++id) {
      size_t pos = static_cast<size_t>(hashes_[id]) & mask;
      while (bigger[pos] != kEmpty) pos = (pos + 1) & mask;
      bigger[pos] = id;
    }
    slots_.swap(bigger);
    mask_ = mask;
  }

  ByteHasher hasher_;
  std::vector<uint32_t> slots_;  // feature id per slot, or kEmpty
  size_t mask_;
  std::vector<std::string_view> keys_;  // by feature id
  std::vector<uint64_t> hashes_;        // by feature id
};

}  // namespace simsieve::detail
