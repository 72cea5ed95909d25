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

namespace {

// Four signature values at once (rows k .. k+3): four independent multiply chains per value.
inline void four_rows(std::span<const uint64_t> values, const uint64_t* mul, const uint64_t* off, uint64_t* out) {
  uint64_t m0 = mul[0], m1 = mul[1], m2 = mul[2], m3 = mul[3];
  uint64_t o0 = off[0], o1 = off[1], o2 = off[2], o3 = off[3];
  uint64_t r0 = UINT64_MAX, r1 = UINT64_MAX, r2 = UINT64_MAX, r3 = UINT64_MAX;
  for (uint64_t v : values) {
    uint64_t h0 = m0 * v + o0, h1 = m1 * v + o1, h2 = m2 * v + o2, h3 = m3 * v + o3;
    r0 = h0 < r0 ? h0 : r0;
    r1 = h1 < r1 ? h1 : r1;
    r2 = h2 < r2 ? h2 : r2;
    r3 = h3 < r3 ? h3 : r3;
  }
  out[0] = r0;
  out[1] = r1;
  out[2] = r2;
  out[3] = r3;
}

inline uint64_t one_row(std::span<const uint64_t> values, uint64_t mul, uint64_t off) {
  uint64_t r = UINT64_MAX;
  for (uint64_t v : values) {
    uint64_t h = mul * v + off;
    r = h < r ? h : r;
  }
  return r;
}

}  // namespace

void minhash_band_hashes(std::span<const uint64_t> values, const MinHashParams& params, uint64_t band_rows,
                         uint64_t* out, size_t stride) {
  const size_t count = params.size();
  ensure(band_rows > 0 && count % band_rows == 0, "permutations do not make whole bands");
  ensure(!values.empty(), "a shingle set is never empty");
  const uint64_t* mul = params.multiplier.data();
  const uint64_t* off = params.offset.data();
  // Rows in order, each folded into its band's hash (FNV-1a over whole 64-bit words, in row
  // order) as soon as it is known.
  uint64_t h = FNV_OFFSET_BASIS;
  uint64_t row_in_band = 0;
  uint64_t* slot = out;
  auto fold = [&](uint64_t w) {
    h = (h ^ w) * FNV_PRIME;
    if (++row_in_band == band_rows) {
      *slot = h;
      slot += stride;
      h = FNV_OFFSET_BASIS;
      row_in_band = 0;
    }
  };
  size_t k = 0;
  uint64_t four[4];
  for (; k + 4 <= count; k += 4) {
    four_rows(values, mul + k, off + k, four);
    for (uint64_t w : four) fold(w);
  }
  for (; k < count; ++k) fold(one_row(values, mul[k], off[k]));
}

}  // namespace simsieve
