// Banding of MinHash signatures: how many bands a signature has, and the set of candidate pairs,
// i.e. the pairs of items whose hashes agree in at least one band. (The band hash itself, FNV-1a
// over the band's 64-bit words, is computed along with the signature: minhash.hpp.)
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace simsieve {

// Number of bands of band_rows rows that fit in num_perm rows; the remaining rows belong to no
// band. 0 when band_rows is 0 or there is nothing to band.
inline uint64_t band_count(uint64_t items, uint64_t num_perm, uint64_t band_rows) {
  if (items == 0 || band_rows == 0) return 0;
  return num_perm / band_rows;
}

// A set of item pairs (lo < hi, both below 2^32), each stored once however often it is inserted.
// Open addressing over 64-bit keys with a fixed mixing function, so that its layout depends only on
// the insertions, never on a random seed.
class CandidateSet {
 public:
  CandidateSet();

  void insert(uint32_t lo, uint32_t hi);
  uint64_t size() const { return size_; }

  // Every pair as the key (lo << 32) | hi, ascending. Empties the set.
  std::vector<uint64_t> take_sorted();

  static uint32_t lo_of(uint64_t key) { return static_cast<uint32_t>(key >> 32); }
  static uint32_t hi_of(uint64_t key) { return static_cast<uint32_t>(key); }

 private:
  void grow();

  std::vector<uint64_t> slots_;  // 0 marks a free slot (no pair has lo = hi = 0)
  uint64_t mask_ = 0;
  uint64_t size_ = 0;
};

// Adds to `candidates` every pair of items whose band hashes are equal: hashes[i] is item i's hash
// of one band. `scratch` is reused between bands.
struct BandScratch {
  std::vector<uint64_t> keys;
  std::vector<uint32_t> head, tail, count, next;
  std::vector<uint32_t> members;
};
void add_band_pairs(std::span<const uint64_t> hashes, CandidateSet& candidates, BandScratch& scratch);

}  // namespace simsieve
