// MinHash signatures of canonicals: the set of nine-byte shingles of a canonical's UTF-8 bytes,
// FNV-1a 64 as the shingle hash, and a fixed family of (multiplier, offset) hash permutations
// derived from one seed, so that a canonical has the same signature in every process.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace simsieve {

// Width of one shingle window, in bytes.
inline constexpr size_t SHINGLE_BYTES = 9;
// Start state of the xorshift generator of the permutation family.
inline constexpr uint64_t MINHASH_SEED = 0x9e3779b97f4a7c15ull;

inline constexpr uint64_t FNV_OFFSET_BASIS = 0xcbf29ce484222325ull;
inline constexpr uint64_t FNV_PRIME = 0x100000001b3ull;

// FNV-1a 64 of a byte sequence.
inline uint64_t fnv1a64(std::string_view bytes) {
  uint64_t h = FNV_OFFSET_BASIS;
  for (unsigned char c : bytes) h = (h ^ c) * FNV_PRIME;
  return h;
}

// The permutations k = 0 ... count-1: value v maps to multiplier[k] * v + offset[k] (mod 2^64).
// Every multiplier is odd. Read-only once built, shared by all workers.
struct MinHashParams {
  std::vector<uint64_t> multiplier;
  std::vector<uint64_t> offset;
  size_t size() const { return multiplier.size(); }
};

// The first `count` permutations of the family: the 13/7/17 xorshift from MINHASH_SEED, stepped
// once for each multiplier (forced odd) and once for each offset.
MinHashParams minhash_params(uint64_t count);

// The distinct FNV-1a hashes of the nine-byte windows of `bytes`, or the single hash of all of it
// when it is shorter than ten bytes (the empty string included). Never empty. Written into `out`
// (replaced) in ascending order.
void shingle_hashes(std::string_view bytes, std::vector<uint64_t>& out);

// The MinHash signature of a shingle set: value k is the smallest multiplier[k] * v + offset[k]
// (mod 2^64) over the shingle values v. It is only ever used through its band hashes (band_hash
// of each run of band_rows consecutive values), so it is computed row by row and each value is
// folded into its band's hash at once: band t goes to out[t * stride]. params.size() must be a
// multiple of band_rows (> 0); `values` must not be empty.
void minhash_band_hashes(std::span<const uint64_t> values, const MinHashParams& params, uint64_t band_rows,
                         uint64_t* out, size_t stride);

}  // namespace simsieve
