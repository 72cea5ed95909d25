#include "cluster/minhash.hpp"

#include <algorithm>

#include "common/internal_error.hpp"

namespace simsieve {
namespace {

uint64_t xorshift_step(uint64_t x) {
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

// FNV-1a of exactly nine bytes, unrolled.
inline uint64_t window_hash(const unsigned char* p) {
  uint64_t h = FNV_OFFSET_BASIS;
  h = (h ^ p[0]) * FNV_PRIME;
  h = (h ^ p[1]) * FNV_PRIME;
  h = (h ^ p[2]) * FNV_PRIME;
  h = (h ^ p[3]) * FNV_PRIME;
  h = (h ^ p[4]) * FNV_PRIME;
  h = (h ^ p[5]) * FNV_PRIME;
  h = (h ^ p[6]) * FNV_PRIME;
  h = (h ^ p[7]) * FNV_PRIME;
  h = (h ^ p[8]) * FNV_PRIME;
  return h;
}
static_assert(SHINGLE_BYTES == 9, "window_hash is unrolled for nine-byte windows");

}  // namespace

MinHashParams minhash_params(uint64_t count) {
  MinHashParams params;
  params.multiplier.resize(count);
  params.offset.resize(count);
  uint64_t x = MINHASH_SEED;
  for (uint64_t k = 0; k < count; ++k) {
    x = xorshift_step(x);
    params.multiplier[k] = x | 1;
    x = xorshift_step(x);
    params.offset[k] = x;
  }
  return params;
}

void shingle_hashes(std::string_view bytes, std::vector<uint64_t>& out) {
  out.clear();
  if (bytes.size() <= SHINGLE_BYTES) {
    out.push_back(fnv1a64(bytes));
    return;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t windows = bytes.size() - SHINGLE_BYTES + 1;
  out.resize(windows);
  for (size_t s = 0; s < windows; ++s) out[s] = window_hash(p + s);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
}

void minhash_signature(std::span<const uint64_t> values, const MinHashParams& params, std::span<uint64_t> signature) {
  const size_t count = params.size();
  ensure(signature.size() == count, "signature buffer does not match the permutation count");
  ensure(!values.empty(), "a shingle set is never empty");
  const uint64_t* mul = params.multiplier.data();
  const uint64_t* off = params.offset.data();
  uint64_t* sig = signature.data();
  // The first value initialises every slot; the others lower it. Permutations in the inner loop
  // keep the per-value work a straight, vectorisable pass over the two parameter arrays.
  const uint64_t v0 = values[0];
  for (size_t k = 0; k < count; ++k) sig[k] = mul[k] * v0 + off[k];
  for (size_t s = 1; s < values.size(); ++s) {
    const uint64_t v = values[s];
    for (size_t k = 0; k < count; ++k) {
      const uint64_t h = mul[k] * v + off[k];
      sig[k] = h < sig[k] ? h : sig[k];
    }
  }
}

}  // namespace simsieve
