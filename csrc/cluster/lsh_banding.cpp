#include "cluster/lsh_banding.hpp"

#include <algorithm>
#include <bit>

#include "common/internal_error.hpp"
#include "pool/cancel.hpp"

namespace simsieve {
namespace {

// The splitmix64 finaliser: spreads every input bit over the table position.
inline uint64_t mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  x ^= x >> 31;
  return x;
}

constexpr uint32_t kNone = UINT32_MAX;

// Buckets from this many members up look for a pending signal while their pairs are added.
constexpr size_t kPolledBucket = 4096;

}  // namespace

CandidateSet::CandidateSet() : slots_(64, 0), mask_(63) {}

void CandidateSet::grow() {
  std::vector<uint64_t> old = std::move(slots_);
  slots_.assign(old.size() * 2, 0);
  mask_ = slots_.size() - 1;
  for (uint64_t key : old) {
    if (key == 0) continue;
    uint64_t p = mix(key) & mask_;
    while (slots_[p] != 0) p = (p + 1) & mask_;
    slots_[p] = key;
  }
}

void CandidateSet::insert(uint32_t lo, uint32_t hi) {
  ensure(lo < hi, "candidate pair not in ascending order");
  const uint64_t key = (static_cast<uint64_t>(lo) << 32) | hi;
  uint64_t p = mix(key) & mask_;
  while (true) {
    const uint64_t k = slots_[p];
    if (k == key) return;
    if (k == 0) break;
    p = (p + 1) & mask_;
  }
  slots_[p] = key;
  ++size_;
  // Keep the load at or below one half.
  if (2 * size_ > slots_.size()) grow();
}

std::vector<uint64_t> CandidateSet::take_sorted() {
  std::vector<uint64_t> keys;
  keys.reserve(size_);
  for (uint64_t k : slots_)
    if (k != 0) keys.push_back(k);
  slots_.assign(64, 0);
  mask_ = 63;
  size_ = 0;
  std::sort(keys.begin(), keys.end());
  return keys;
}

void add_band_pairs(std::span<const uint64_t> hashes, CandidateSet& candidates, BandScratch& s) {
  const size_t n = hashes.size();
  if (n < 2) return;
  ensure(n <= UINT32_MAX, "too many items for one band");
  // The bucket map: one slot per distinct hash, holding its first and last member and its size;
  // `next` chains the members of a bucket in ascending order.
  const size_t capacity = std::bit_ceil(2 * n);
  const uint64_t mask = capacity - 1;
  s.keys.assign(capacity, 0);
  s.head.assign(capacity, kNone);
  s.tail.resize(capacity);
  s.count.resize(capacity);
  s.next.assign(n, kNone);
  bool shared = false;
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t h = hashes[i];
    uint64_t p = mix(h) & mask;
    while (s.head[p] != kNone && s.keys[p] != h) p = (p + 1) & mask;
    if (s.head[p] == kNone) {
      s.keys[p] = h;
      s.head[p] = s.tail[p] = i;
      s.count[p] = 1;
    } else {
      s.next[s.tail[p]] = i;
      s.tail[p] = i;
      ++s.count[p];
      shared = true;
    }
  }
  if (!shared) return;
  for (size_t p = 0; p < capacity; ++p) {
    if (s.head[p] == kNone || s.count[p] < 2) continue;
    s.members.clear();
    for (uint32_t m = s.head[p]; m != kNone; m = s.next[m]) s.members.push_back(m);
    const size_t k = s.members.size();
    for (size_t x = 0; x + 1 < k; ++x) {
      // A bucket of many members takes long on its own.
      if (k >= kPolledBucket && x % 256 == 0) poll_and_check_cancelled();
      for (size_t y = x + 1; y < k; ++y) candidates.insert(s.members[x], s.members[y]);
    }
  }
}

}  // namespace simsieve
